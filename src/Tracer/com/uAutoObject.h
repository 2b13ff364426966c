// The automation-object base of every object that scripts and plug-ins reach, and the small COM
// helpers around it: owners of interface references and BSTRs, the OLE error exception, and the
// guard that keeps C++ exceptions from crossing a COM call.
//
// A C++ exception that leaves through a COM caller's frame ends the program under this
// toolchain, so every COM method body runs inside `ComMethodGuard`: an exception becomes error
// information (IErrorInfo with its wide message) and a failed HRESULT.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <atomic>
#include <string>
#include <type_traits>
#include <utility>

#include "Tracer/com/CalderwispTlb.h"
#include "Tracer/com/uMiniComServer.h"
#include "Tracer/foundation/uGuards.h"
#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uSingletons.h"
#include "lib/rtl/SysUtils.h"

// Late binding through the type information of one interface of the program's type library.
// Without type information (an object served through its vtable only) every late-bound call
// fails with E_NOTIMPL.
class TAutoDispatch {
public:
  // Binds to the description of dispIid in the COM server object's type library; raises
  // when the library cannot be loaded or does not describe the interface.
  void Bind(REFIID dispIid);
  bool Bound() const { return static_cast<bool>(FTypeInfo); }

  HRESULT GetTypeInfoCount(UINT* count);
  HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info);
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids);
  // self: the interface pointer whose vtable the type information describes.
  HRESULT Invoke(void* self, DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excepInfo, UINT* argErr);

private:
  TComPtr<ITypeInfo> FTypeInfo;  // the vtable (interface) view
};

// QueryInterface over an interface and the chain of its parents.
template <class Intf>
bool IsInterfaceOrParent(REFIID riid) {
  if (IsEqualIID(riid, __uuidof(Intf))) return true;
  if constexpr (std::is_same_v<Intf, IUnknown>) {
    return false;
  } else if constexpr (std::is_same_v<Intf, IDispatch>) {
    return IsEqualIID(riid, IID_IUnknown);
  } else {
    return IsInterfaceOrParent<typename Intf::Parent>(riid);
  }
}

// Automation object implementing the dual interface Intf (and its parents), reference counted
// by TInterfacedObject (atomically; the release of the last reference deletes it). It starts
// with no reference: the creator takes the first one. Late-bound calls go through the type
// information of dispIid. A derived class answers further interfaces by extending
// GetInterface.
template <class Intf>
class TAutoIntfObject : public TInterfacedObject, public Intf, public ISupportErrorInfo {
public:
  using Interface = Intf;
  // Bound to the type library's description of dispIid (usually Intf's own id).
  explicit TAutoIntfObject(REFIID dispIid) : FErrorIid(__uuidof(Intf)) { FDispatch.Bind(dispIid); }
  // Served through the vtable only.
  TAutoIntfObject() : FErrorIid(__uuidof(Intf)) {}

  CW_IUNKNOWN_COUNTED

  void* GetInterface(REFIID riid) override {
    if (IsInterfaceOrParent<Intf>(riid)) return static_cast<Intf*>(this);
    if (IsEqualIID(riid, IID_ISupportErrorInfo)) return static_cast<ISupportErrorInfo*>(this);
    return TInterfacedObject::GetInterface(riid);
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    return ComMethodGuard([&] { return FDispatch.GetTypeInfoCount(count); });
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
    return ComMethodGuard([&] { return FDispatch.GetTypeInfo(index, lcid, info); });
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override {
    return ComMethodGuard([&] { return FDispatch.GetIDsOfNames(riid, names, count, lcid, ids); });
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) override {
    return ComMethodGuard([&] {
      return FDispatch.Invoke(static_cast<Intf*>(this), id, riid, lcid, flags, params, result, excepInfo, argErr);
    });
  }

  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
    return IsInterfaceOrParent<Intf>(riid) && !IsEqualIID(riid, IID_IUnknown) ? S_OK : S_FALSE;
  }

protected:
  // Runs a method body: an exception becomes error information for this object's interface and
  // a failed HRESULT.
  template <class F>
  HRESULT ComMethodGuard(F&& body) noexcept {
    return ::ComMethodGuard(FErrorIid, std::forward<F>(body));
  }

private:
  IID FErrorIid;
  TAutoDispatch FDispatch;
};

// Counts the live objects of a creatable class with the COM server object (so that a library
// is not unloaded under them).
class TComObjectCounter {
public:
  TComObjectCounter();
  ~TComObjectCounter();
  TComObjectCounter(const TComObjectCounter&) = delete;
  TComObjectCounter& operator=(const TComObjectCounter&) = delete;
};

// Automation object made by a class factory: counted with the server object.
template <class Intf>
class TAutoObject : public TAutoIntfObject<Intf> {
public:
  TAutoObject() : TAutoIntfObject<Intf>(__uuidof(Intf)) {}

private:
  TComObjectCounter FCounter;
};

// The names a creatable class registers come from its entry (coclass) in the type library:
// the class name and its help string as description.
class TTypeLibClassInfo {
public:
  static std::wstring ClassName(TComServerObject& server, REFCLSID classId);
  static std::wstring Description(TComServerObject& server, REFCLSID classId);
};

// Class factory of an automation class T (a TAutoObject); the type library is read only when
// the names are needed (registration), not when the factory is made.
template <class T>
class TAutoObjectFactory : public TComObjectFactory {
public:
  TAutoObjectFactory(TComServerObject& server, REFCLSID classId, TComInstancing instancing,
                     TComThreadingModel threadingModel)
      : TComObjectFactory(server, classId, L"", L"", instancing, threadingModel) {}
  std::wstring ClassName() override { return TTypeLibClassInfo::ClassName(ComServer(), ClassID()); }
  std::wstring Description() override { return TTypeLibClassInfo::Description(ComServer(), ClassID()); }

protected:
  IUnknown* CreateComObject() override { return static_cast<typename T::Interface*>(new T()); }
};
