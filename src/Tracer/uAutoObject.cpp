#include "Tracer/uAutoObject.h"

#include <new>

#include "Tracer/uMiniComServer.h"

TBStr::TBStr(const std::wstring& s) : FValue(SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {
  if (!FValue && !s.empty()) throw std::bad_alloc();
}

TBStr::~TBStr() { SysFreeString(FValue); }

BSTR* TBStr::Put() {
  SysFreeString(std::exchange(FValue, nullptr));
  return &FValue;
}

BSTR TBStr::Detach() { return std::exchange(FValue, nullptr); }

std::wstring TBStr::Str() const { return BStrToWide(FValue); }

std::wstring BStrToWide(BSTR s) { return s ? std::wstring(s, SysStringLen(s)) : std::wstring(); }

std::wstring OleErrorText(HRESULT hr) {
  wchar_t* buffer = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text(buffer ? buffer : L"", n);
  LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' || text.back() == L'.'))
    text.pop_back();
  if (text.empty()) text = WideFormat(L"OLE error %.8X", static_cast<unsigned>(hr));
  return text;
}

void OleCheck(HRESULT hr) {
  if (FAILED(hr)) throw EOleSysError(OleErrorText(hr), hr);
}

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

void TAutoDispatch::Bind(REFIID dispIid) {
  ITypeLib* lib = GetMiniComServer()->TypeLib();
  TComPtr<ITypeInfo> info;
  OleCheck(lib->GetTypeInfoOfGuid(dispIid, info.Put()));
  // A dual interface is handed out as its dispatch view; calls go through its vtable half.
  TYPEATTR* attr = nullptr;
  OleCheck(info->GetTypeAttr(&attr));
  bool dispatchView = attr->typekind == TKIND_DISPATCH && (attr->wTypeFlags & TYPEFLAG_FDUAL);
  info->ReleaseTypeAttr(attr);
  if (dispatchView) {
    HREFTYPE ref;
    OleCheck(info->GetRefTypeOfImplType(-1, &ref));
    TComPtr<ITypeInfo> half;
    OleCheck(info->GetRefTypeInfo(ref, half.Put()));
    info = half;
  }
  FTypeInfo = info;
}

HRESULT TAutoDispatch::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = FTypeInfo ? 1 : 0;
  return S_OK;
}

HRESULT TAutoDispatch::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  if (!FTypeInfo || index != 0) return DISP_E_BADINDEX;
  *info = FTypeInfo.Get();
  (*info)->AddRef();
  return S_OK;
}

HRESULT TAutoDispatch::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (!FTypeInfo) return E_NOTIMPL;
  return DispGetIDsOfNames(FTypeInfo.Get(), names, count, ids);
}

HRESULT TAutoDispatch::Invoke(void* self, DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                              VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (!FTypeInfo) return E_NOTIMPL;
  SetErrorInfo(0, nullptr);
  HRESULT hr = DispInvoke(self, FTypeInfo.Get(), id, flags, params, result, excepInfo, argErr);
  // JScript here calls a property with arguments as a plain method when the result is unused;
  // elsewhere such a call also asks for the property.
  if (hr == DISP_E_MEMBERNOTFOUND && flags == DISPATCH_METHOD) {
    VARIANT unused;
    VariantInit(&unused);
    hr = DispInvoke(self, FTypeInfo.Get(), id, DISPATCH_PROPERTYGET, params, result ? result : &unused, excepInfo,
                    argErr);
    VariantClear(&unused);
  }
  // The method's error information becomes the caller's exception record.
  if (hr == DISP_E_EXCEPTION && excepInfo && !excepInfo->bstrDescription) {
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK) {
      info->GetDescription(&excepInfo->bstrDescription);
      info->Release();
    }
  }
  return hr;
}

TComObjectCounter::TComObjectCounter() {
  if (TMiniComServer* server = TMiniComServer::Current()) server->TrackObject(true);
}

TComObjectCounter::~TComObjectCounter() {
  if (TMiniComServer* server = TMiniComServer::Current()) server->TrackObject(false);
}

namespace {

std::wstring ClassDocumentation(TComServerObject& server, REFCLSID classId, bool name) {
  TComPtr<ITypeInfo> info;
  OleCheck(server.TypeLib()->GetTypeInfoOfGuid(classId, info.Put()));
  TBStr text;
  OleCheck(info->GetDocumentation(MEMBERID_NIL, name ? text.Put() : nullptr, name ? nullptr : text.Put(), nullptr,
                                  nullptr));
  return text.Str();
}

}  // namespace

std::wstring TTypeLibClassInfo::ClassName(TComServerObject& server, REFCLSID classId) {
  return ClassDocumentation(server, classId, true);
}

std::wstring TTypeLibClassInfo::Description(TComServerObject& server, REFCLSID classId) {
  return ClassDocumentation(server, classId, false);
}
