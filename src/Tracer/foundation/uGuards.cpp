#include "Tracer/foundation/uGuards.h"

#include <atomic>
#include <new>
#include <string>

#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uMainThreadWait.h"
#include "Tracer/foundation/uUtils.h"
#include "lib/dgn/windows/DgnHookExcept.h"

namespace {

// The exception being handled as the message a COM caller reads and the HRESULT it gets.
HRESULT CurrentComFailure(std::wstring& message) noexcept {
  try {
    try {
      throw;
    } catch (const EOleSysError& e) {
      message = e.Message();
      return FAILED(e.ErrorCode) ? e.ErrorCode : E_UNEXPECTED;
    } catch (const EAbort& e) {
      message = e.Message();
      return E_ABORT;
    } catch (const Exception& e) {
      message = e.Message();
      return E_UNEXPECTED;
    } catch (const std::bad_alloc&) {
      message = L"Out of memory";
      return E_OUTOFMEMORY;
    } catch (const std::exception& e) {
      message = Utf8ToWide(e.what());
      return E_UNEXPECTED;
    } catch (...) {
      message = L"Unknown exception";
      return E_UNEXPECTED;
    }
  } catch (...) {
    // No room even for the message.
    message.clear();
    return E_OUTOFMEMORY;
  }
}

void SetComErrorInfo(REFIID iid, const std::wstring& description) noexcept {
  TComPtr<ICreateErrorInfo> create;
  if (FAILED(CreateErrorInfo(create.Put()))) return;
  create->SetGUID(iid);
  create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
  TComPtr<IErrorInfo> info;
  if (SUCCEEDED(create.As(info))) SetErrorInfo(0, info.Get());
}

}  // namespace

HRESULT HandleComException(REFIID iid) noexcept {
  std::wstring message;
  const HRESULT hr = CurrentComFailure(message);
  SetComErrorInfo(iid, message);
  return hr;
}

HRESULT HandleInvokeException(EXCEPINFO* excepInfo, WORD code) noexcept {
  std::wstring message;
  CurrentComFailure(message);
  if (excepInfo) {
    ZeroMemory(excepInfo, sizeof(*excepInfo));
    excepInfo->wCode = code;
    try {
      excepInfo->bstrDescription = TBStr(message).Detach();
    } catch (...) {
      // The code alone tells the caller.
    }
  }
  return DISP_E_EXCEPTION;
}

namespace {

std::atomic<TExceptionRoute> GApplicationRoute{nullptr};

}  // namespace

void PrepareProgramEntry() {
  InstallOsExceptionConversion();
  InstallMainThreadWait();
}

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

bool TakeErrorInfoText(std::wstring& text) {
  TComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Put()) != S_OK || !info) return false;
  TBStr description;
  info->GetDescription(description.Put());
  text = description.Str();
  return true;
}

void RaisePluginCallError(HRESULT hr) {
  std::wstring description;
  TakeErrorInfoText(description);
  throw EOleSysError(description.empty() ? OleErrorText(hr) : description, hr);
}

void RaiseLeftErrorInfo() {
  std::wstring text;
  if (!TakeErrorInfoText(text)) return;
  throw EOleSysError(text.empty() ? L"Plugin call failed" : text, E_FAIL);
}
