// Hooks that see every exception at the moment it is raised, in any thread, before any
// handler runs, and hand it to a list of notifiers ordered by priority.
//
// C++ throws do not pass through RaiseException here, so the raise hook is a wrapper of the
// run-time's __cxa_throw (every program linking this library is linked with
// --wrap=__cxa_throw). Hardware exceptions (access violation, division by zero...) raised in
// the module's own code are turned into exception objects (DgnOsExceptions.h) by a vectored
// exception handler and thrown from the faulting instruction.
#pragma once
#include <cstdint>
#include <typeinfo>

#include "lib/rtl/SysUtils.h"

// Called with the thrown object and its type, the address the exception was raised at,
// whether it came from the operating system, and the frame a stack walk starts from.
using TExceptNotifyProc = void (*)(void* excObj, const std::type_info* excType, void* excAddr, bool osException,
                                   void* stackBase);

constexpr uint8_t npNormal = 0;
constexpr uint8_t npHigh = 1;

// True when the hooks are in place; False when this program was linked without the wrapper.
bool InstallExceptionHooks();
// False for a nil procedure; otherwise appends it (the same procedure may be listed twice).
bool AddExceptionNotifier(TExceptNotifyProc notifyProc, uint8_t priority = npNormal);
// False for a nil procedure; otherwise removes every item of it and answers True.
bool RemoveExceptionNotifier(TExceptNotifyProc notifyProc);
// A single notifier is always called; otherwise priority 1 first, then priority 0, each in list
// order. Exceptions raised inside a notifier are not reported, and one escaping a notifier is
// dropped: it never replaces the exception being raised.
void NotifyExceptionNotifiers(void* excObj, const std::type_info* excType, void* excAddr, bool osException,
                              void* stackBase);

// The Exception inside a thrown object, or nullptr when the object is none (an int, a std::exception).
Exception* ExceptionOfThrownObject(void* excObj, const std::type_info* excType);
// True when the thrown object would be caught as `base`.
bool ThrownObjectIsA(void* excObj, const std::type_info* excType, const std::type_info& base);

// Exported at ordinal 1 by the deliverables (DgnHookExcept.def); zero for the whole run.
extern "C" volatile uint32_t __DgnHookExcept;
