#include "Tracer/foundation/uGuards.h"

#include <atomic>
#include <new>

#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uUtils.h"

namespace {

void SetComErrorInfo(REFIID iid, const std::wstring& description) noexcept {
  ICreateErrorInfo* create = nullptr;
  if (FAILED(CreateErrorInfo(&create))) return;
  create->SetGUID(iid);
  create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
  IErrorInfo* info = nullptr;
  if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
    SetErrorInfo(0, info);
    info->Release();
  }
  create->Release();
}

}  // namespace

HRESULT HandleComException(REFIID iid) noexcept {
  // Nothing in here may throw again: the caller is a COM boundary.
  try {
    throw;
  } catch (const EOleSysError& e) {
    SetComErrorInfo(iid, e.Message());
    return FAILED(e.ErrorCode) ? e.ErrorCode : E_UNEXPECTED;
  } catch (const EAbort& e) {
    SetComErrorInfo(iid, e.Message());
    return E_ABORT;
  } catch (const Exception& e) {
    SetComErrorInfo(iid, e.Message());
    return E_UNEXPECTED;
  } catch (const std::bad_alloc&) {
    SetComErrorInfo(iid, L"Out of memory");
    return E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    try {
      SetComErrorInfo(iid, Utf8ToWide(e.what()));
    } catch (...) {
    }
    return E_UNEXPECTED;
  } catch (...) {
    SetComErrorInfo(iid, L"Unknown exception");
    return E_UNEXPECTED;
  }
}

namespace {

std::atomic<TExceptionRoute> GApplicationRoute{nullptr};

void ShowExceptionMessage() noexcept {
  try {
    try {
      throw;
    } catch (const EAbort&) {
      // Silent by design: an abort is a quiet way out.
    } catch (const Exception& e) {
      ShowMessageBox(e.Message(), MB_OK | MB_ICONERROR);
    } catch (const std::bad_alloc&) {
      ShowMessageBox(L"Out of memory", MB_OK | MB_ICONERROR);
    } catch (const std::exception& e) {
      ShowMessageBox(Utf8ToWide(e.what()), MB_OK | MB_ICONERROR);
    } catch (...) {
      ShowMessageBox(L"Unknown exception", MB_OK | MB_ICONERROR);
    }
  } catch (...) {
  }
}

}  // namespace

TExceptionRoute SetApplicationExceptionRoute(TExceptionRoute route) noexcept {
  return GApplicationRoute.exchange(route);
}

void HandleApplicationException() noexcept {
  TExceptionRoute route = GApplicationRoute.load();
  if (route)
    route();
  else
    ShowExceptionMessage();
}
