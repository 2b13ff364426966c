#include "Tracer/foundation/uGuards.h"

#include <new>

#include "Tracer/foundation/uHolders.h"

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
