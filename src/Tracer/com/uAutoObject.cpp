#include "Tracer/com/uAutoObject.h"

#include <new>

#include "Tracer/com/uMiniComServer.h"
#include "Tracer/foundation/uOleVariant.h"

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
  *info = TComPtr<ITypeInfo>(FTypeInfo).Detach();
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
    TOleVariant unused;
    hr = DispInvoke(self, FTypeInfo.Get(), id, DISPATCH_PROPERTYGET, params, result ? result : &unused, excepInfo,
                    argErr);
  }
  // The method's error information becomes the caller's exception record.
  if (hr == DISP_E_EXCEPTION && excepInfo && !excepInfo->bstrDescription) {
    TComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Put()) == S_OK && info) info->GetDescription(&excepInfo->bstrDescription);
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
