// The boundaries where a C++ exception must stop. Under this toolchain an exception that leaves
// through a Windows or COM caller's frame ends the program, so each kind of boundary has one
// named guard that catches everything and routes it; a search for the guards lists them all.
#pragma once
#include <windows.h>

// Call inside a catch block of a COM boundary: records the exception being handled as the
// thread's error information (description = its message) and answers the HRESULT to return
// (the error's own code for EOleSysError, E_ABORT for EAbort, E_OUTOFMEMORY, else E_UNEXPECTED).
HRESULT HandleComException(REFIID iid) noexcept;

// Runs body and answers S_OK, or the failed HRESULT of the exception it raised.
template <class F>
HRESULT ComGuard(REFIID iid, F&& body) noexcept {
  try {
    body();
    return S_OK;
  } catch (...) {
    return HandleComException(iid);
  }
}

// Where an exception that reaches a window procedure, timer, hook or action ends up: the
// application's exception handler installs its route at start; until then (and in tests) the
// message goes to a message box through the seam. The route is called inside a catch block (it
// may inspect the exception with `throw;` in a try of its own) and must not throw.
using TExceptionRoute = void (*)() noexcept;
// Installs the route (nullptr: the message box again); answers the one it replaced.
TExceptionRoute SetApplicationExceptionRoute(TExceptionRoute route) noexcept;
// Call inside a catch block: hands the exception being handled to the application's route.
void HandleApplicationException() noexcept;
