// The boundaries where a C++ exception must stop. Under this toolchain an exception that leaves
// through a Windows or COM caller's frame ends the program, so each kind of boundary has one
// named guard that catches everything and routes it; a search for the guards lists them all:
//   ComMethodGuard     a method of our own COM objects -> error information + failed HRESULT
//   WindowProcGuard    window procedure, timer, hook, action -> the application's route
//   ExportGuard        a function the module exports -> a failed HRESULT or a default value
//   ProgramEntryGuard  the program's main function -> a plain message box and an exit code
//   PluginCallGuard    the host's side of a call into a plug-in or handler -> an exception
// The thread entry's guard (DgnThreadEntryGuard) lives with the thread class in the diagnostics
// library.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <oleauto.h>

#include <string>
#include <type_traits>
#include <utility>

// ---- COM methods ------------------------------------------------------------------------------

// Call inside a catch block of a COM boundary: records the exception being handled as the
// thread's error information (description = its message) and answers the HRESULT to return
// (the error's own code for EOleSysError, E_ABORT for EAbort, E_OUTOFMEMORY, else E_UNEXPECTED).
HRESULT HandleComException(REFIID iid) noexcept;

// A method of one of our COM objects: runs body and answers S_OK, or what body answers when it
// answers an HRESULT; an exception becomes error information and a failed HRESULT.
template <class F>
HRESULT ComMethodGuard(REFIID iid, F&& body) noexcept {
  try {
    if constexpr (std::is_void_v<std::invoke_result_t<F&>>) {
      body();
      return S_OK;
    } else {
      return body();
    }
  } catch (...) {
    return HandleComException(iid);
  }
}

// Call inside a catch block of IDispatch::Invoke: fills the caller's exception record (when it
// gave one) with code and the exception's message, and answers DISP_E_EXCEPTION.
HRESULT HandleInvokeException(EXCEPINFO* excepInfo, WORD code) noexcept;

// IDispatch::Invoke of an object without type information: its callers read a failure from the
// exception record.
template <class F>
HRESULT ComMethodGuard(EXCEPINFO* excepInfo, WORD code, F&& body) noexcept {
  try {
    body();
    return S_OK;
  } catch (...) {
    return HandleInvokeException(excepInfo, code);
  }
}

// ---- window procedures ------------------------------------------------------------------------

// Where an exception that reaches a window procedure, timer, hook or action ends up: the
// application's exception handler installs its route at start; until then (and in tests) the
// message goes to a message box through the seam. The route is called inside a catch block (it
// may inspect the exception with `throw;` in a try of its own) and must not throw.
using TExceptionRoute = void (*)() noexcept;
// Installs the route (nullptr: the message box again); answers the one it replaced.
TExceptionRoute SetApplicationExceptionRoute(TExceptionRoute route) noexcept;
// Call inside a catch block: hands the exception being handled to the application's route.
void HandleApplicationException() noexcept;
// Call inside a catch block: shows the exception being handled in a plain error message box (an
// abort stays silent).
void ShowExceptionMessage() noexcept;

// A window procedure, timer, hook or action handler: what escapes body goes to the application's
// route and the window system gets defaultResult.
template <class R, class F>
R WindowProcGuard(R defaultResult, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    HandleApplicationException();
    return defaultResult;
  }
}

// The same for a callback that answers nothing.
template <class F>
void WindowProcGuard(F&& body) noexcept {
  try {
    body();
  } catch (...) {
    HandleApplicationException();
  }
}

// ---- exports and the program's entry ----------------------------------------------------------

// A function the module exports: its caller is foreign code, which gets failedResult (a failed
// HRESULT or a default value) for whatever escapes body.
template <class R, class F>
R ExportGuard(R failedResult, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return failedResult;
  }
}

// First thing in a program's main function: from here on a hardware fault in the program's own
// code is an exception (so the guard below shows it), tracking on or not, and the main
// thread's waits go through MainThreadWait.
void PrepareProgramEntry();

// The program's main function: no application handler exists before the main window nor after
// it, so a failure is shown in a plain message box and the process ends with failedExitCode.
template <class F>
int ProgramEntryGuard(int failedExitCode, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    ShowExceptionMessage();
    return failedExitCode;
  }
}

// ---- calls into plug-ins and handlers ---------------------------------------------------------

// Raises EOleSysError for a failed call: the description of the thread's error information,
// or the system's text for hr when there is none.
[[noreturn]] void RaisePluginCallError(HRESULT hr);

// Takes the thread's COM error information, if any, as its description (cleared either way).
bool TakeErrorInfoText(std::wstring& text);
// Raises EOleSysError when the callee left error information without a failed HRESULT to carry
// it (the plug-in contract's methods answer no HRESULT).
void RaiseLeftErrorInfo();

// The host's side of a call into a plug-in or a handler (code outside the program, bound by the
// plug-in contract). The thread's error information is cleared before the call, so that what is
// read after it is the callee's own. A call answering an HRESULT raises when it failed
// (RaisePluginCallError) and answers the successful one; a call answering nothing (return values
// of contract methods are assigned inside it) raises when the callee left error information.
template <class F>
auto PluginCallGuard(F&& call) {
  SetErrorInfo(0, nullptr);
  if constexpr (std::is_void_v<std::invoke_result_t<F&>>) {
    call();
    RaiseLeftErrorInfo();
  } else {
    static_assert(std::is_same_v<std::invoke_result_t<F&>, HRESULT>, "a guarded call answers an HRESULT or nothing");
    const HRESULT hr = call();
    if (FAILED(hr)) RaisePluginCallError(hr);
    return hr;
  }
}
