// The built Calderwisp.tlb against the hand-written C++ declarations: a method whose vtable slot
// or arguments differ between the two corrupts the stack of every late-bound call.
#include "Tracer/com/CalderwispTlb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include "lib/rtl/SysUtils.h"
#include "support/TestSupport.h"

namespace {

template <class T>
struct ComRef {
  T* p = nullptr;
  ~ComRef() {
    if (p) p->Release();
  }
  T* operator->() const { return p; }
  T** operator&() { return &p; }
};

ITypeLib* LoadLibraryFile() {
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadTypeLibEx((TestBinDir() + L"Calderwisp.tlb").c_str(), REGKIND_NONE, &lib);
  EXPECT_EQ(S_OK, hr) << "Calderwisp.tlb beside the test program";
  return lib;
}

std::wstring NameOf(ITypeInfo* info, MEMBERID id = MEMBERID_NIL) {
  BSTR name = nullptr;
  if (FAILED(info->GetDocumentation(id, &name, nullptr, nullptr, nullptr))) return L"?";
  std::wstring s = name ? name : L"";
  SysFreeString(name);
  return s;
}

// Text of a type as the type library describes it.
std::wstring TypeText(ITypeInfo* info, const TYPEDESC& t) {
  switch (t.vt) {
    case VT_PTR: return TypeText(info, *t.lptdesc) + L"*";
    case VT_USERDEFINED: {
      ComRef<ITypeInfo> ref;
      if (FAILED(info->GetRefTypeInfo(t.hreftype, &ref))) return L"?";
      return NameOf(ref.p);
    }
    case VT_I4:
    case VT_HRESULT: return L"long";
    case VT_BSTR: return L"BSTR";
    case VT_VARIANT: return L"VARIANT";
    case VT_BOOL: return L"VARIANT_BOOL";
    case VT_R8: return L"double";
    case VT_VOID: return L"void";
    default: return L"vt" + std::to_wstring(t.vt);
  }
}

// The same text for a C++ parameter type; interfaces are named by their type library entry.
template <class T>
std::wstring CppTypeText(ITypeLib* lib) {
  if constexpr (std::is_same_v<T, BSTR>) return L"BSTR";
  else if constexpr (std::is_same_v<T, HICON>) return L"void*";
  else if constexpr (std::is_same_v<T, LONG>) return L"long";
  else if constexpr (std::is_same_v<T, VARIANT_BOOL>) return L"VARIANT_BOOL";
  else if constexpr (std::is_same_v<T, double>) return L"double";
  else if constexpr (std::is_same_v<T, VARIANT>) return L"VARIANT";
  else if constexpr (std::is_same_v<T, void>) return L"void";
  else if constexpr (std::is_pointer_v<T>) return CppTypeText<std::remove_pointer_t<T>>(lib) + L"*";
  else if constexpr (std::is_base_of_v<IUnknown, T>) {
    ComRef<ITypeInfo> info;
    if (FAILED(lib->GetTypeInfoOfGuid(__uuidof(T), &info))) return L"(not in the library)";
    return NameOf(info.p);
  } else return L"(unmapped C++ type)";
}

struct CppMethod {
  std::wstring name;  // without get_/put_
  INVOKEKIND kind;
  int slot;
  std::wstring signature;  // "result(arg,arg)"
};

template <class C, class R, class... A>
CppMethod Describe(ITypeLib* lib, const wchar_t* name, R (__stdcall C::*method)(A...)) {
  // A virtual member pointer holds 1 + the byte offset of its vtable entry (Itanium ABI).
  struct {
    uintptr_t ptr;
    ptrdiff_t adj;
  } rep;
  static_assert(sizeof(rep) == sizeof(method));
  std::memcpy(&rep, &method, sizeof rep);
  CppMethod m;
  m.name = name;
  m.kind = INVOKE_FUNC;
  if (m.name.rfind(L"get_", 0) == 0) m.kind = INVOKE_PROPERTYGET;
  if (m.name.rfind(L"put_", 0) == 0) m.kind = INVOKE_PROPERTYPUT;
  if (m.kind != INVOKE_FUNC) m.name = m.name.substr(4);
  m.slot = (rep.ptr & 1) ? static_cast<int>((rep.ptr - 1) / sizeof(void*)) : -1;
  m.signature = CppTypeText<R>(lib) + L"(";
  bool first = true;
  ((m.signature += (first ? L"" : L","), m.signature += CppTypeText<A>(lib), first = false), ...);
  m.signature += L")";
  return m;
}

struct IntfCase {
  const wchar_t* name;
  IID iid;
  IID parent;
  bool dual;
  std::vector<CppMethod> methods;
};

#define CW_M(I, m) Describe(lib, L## #m, &I::m)

std::vector<IntfCase> CppInterfaces(ITypeLib* lib) {
  return {
      {L"IDebuggeeMemory", __uuidof(IDebuggeeMemory), __uuidof(IDebuggeeMemory::Parent), true,
       {CW_M(IDebuggeeMemory, ReadInteger), CW_M(IDebuggeeMemory, ReadWord), CW_M(IDebuggeeMemory, ReadCurrency),
        CW_M(IDebuggeeMemory, ReadSingle), CW_M(IDebuggeeMemory, ReadDouble), CW_M(IDebuggeeMemory, ReadBytes),
        CW_M(IDebuggeeMemory, ReadAnsiStringZ), CW_M(IDebuggeeMemory, ReadAnsiString),
        CW_M(IDebuggeeMemory, ReadWideStringZ), CW_M(IDebuggeeMemory, ReadWideString),
        CW_M(IDebuggeeMemory, ReadDWord), CW_M(IDebuggeeMemory, ReadByte)}},
      {L"ITracerEventParam", __uuidof(ITracerEventParam), __uuidof(ITracerEventParam::Parent), true,
       {CW_M(ITracerEventParam, get_Name), CW_M(ITracerEventParam, put_Name), CW_M(ITracerEventParam, get_Value),
        CW_M(ITracerEventParam, put_Value), CW_M(ITracerEventParam, get_Visible),
        CW_M(ITracerEventParam, put_Visible)}},
      {L"ITracerEventParams", __uuidof(ITracerEventParams), __uuidof(ITracerEventParams::Parent), true,
       {CW_M(ITracerEventParams, get_Count), CW_M(ITracerEventParams, get_Item), CW_M(ITracerEventParams, Add),
        CW_M(ITracerEventParams, Find), CW_M(ITracerEventParams, get_Values)}},
      {L"ITracerEvent", __uuidof(ITracerEvent), __uuidof(ITracerEvent::Parent), true,
       {CW_M(ITracerEvent, get_Text)}},
      {L"IParamTracerEvent", __uuidof(IParamTracerEvent), __uuidof(IParamTracerEvent::Parent), true,
       {CW_M(IParamTracerEvent, get_Params)}},
      {L"IErrorTracerEvent", __uuidof(IErrorTracerEvent), __uuidof(IErrorTracerEvent::Parent), true, {}},
      {L"ICallTracerEvent", __uuidof(ICallTracerEvent), __uuidof(ICallTracerEvent::Parent), true,
       {CW_M(ICallTracerEvent, get_ThreadId), CW_M(ICallTracerEvent, get_Time), CW_M(ICallTracerEvent, get_Result)}},
      {L"ITracerEvents", __uuidof(ITracerEvents), __uuidof(ITracerEvents::Parent), true,
       {CW_M(ITracerEvents, get_Count), CW_M(ITracerEvents, Item), CW_M(ITracerEvents, IndexOf)}},
      {L"IVisibleTracerEvents", __uuidof(IVisibleTracerEvents), __uuidof(IVisibleTracerEvents::Parent), true,
       {CW_M(IVisibleTracerEvents, get_FocusedIndex)}},
      {L"IAppObject", __uuidof(IAppObject), __uuidof(IAppObject::Parent), true,
       {CW_M(IAppObject, get_PluginActions), CW_M(IAppObject, get_AllEvents), CW_M(IAppObject, get_VisibleEvents),
        CW_M(IAppObject, get_MainWindowHandle), CW_M(IAppObject, ShowHelp), CW_M(IAppObject, get_Settings),
        CW_M(IAppObject, get_MemoryManager)}},
      {L"IAppSettings", __uuidof(IAppSettings), __uuidof(IAppSettings::Parent), true,
       {CW_M(IAppSettings, GetValue), CW_M(IAppSettings, SetValue)}},
      {L"IAppDictionary", __uuidof(IAppDictionary), __uuidof(IAppDictionary::Parent), true,
       {CW_M(IAppDictionary, Put), CW_M(IAppDictionary, Get), CW_M(IAppDictionary, Remove)}},
      {L"IAppPlugin", __uuidof(IAppPlugin), __uuidof(IAppPlugin::Parent), false, {CW_M(IAppPlugin, Connect)}},
      {L"IAppPluginActions", __uuidof(IAppPluginActions), __uuidof(IAppPluginActions::Parent), false,
       {CW_M(IAppPluginActions, Add), CW_M(IAppPluginActions, Remove)}},
      {L"IAppPluginAction", __uuidof(IAppPluginAction), __uuidof(IAppPluginAction::Parent), false,
       {CW_M(IAppPluginAction, Execute), CW_M(IAppPluginAction, GetState)}},
  };
}

// The vtable view of an interface: for a dual interface the type library hands out the
// dispatch view by id, and its interface half is reached through impl type -1.
ITypeInfo* VtableView(ITypeInfo* info) {
  TYPEATTR* attr = nullptr;
  info->GetTypeAttr(&attr);
  bool dispatch = attr->typekind == TKIND_DISPATCH;
  info->ReleaseTypeAttr(attr);
  if (!dispatch) {
    info->AddRef();
    return info;
  }
  HREFTYPE ref;
  ITypeInfo* half = nullptr;
  if (SUCCEEDED(info->GetRefTypeOfImplType(-1, &ref))) info->GetRefTypeInfo(ref, &half);
  return half;
}

std::wstring Signature(ITypeInfo* info, const FUNCDESC* f) {
  std::wstring s = TypeText(info, f->elemdescFunc.tdesc) + L"(";
  for (int i = 0; i < f->cParams; ++i) s += (i ? L"," : L"") + TypeText(info, f->lprgelemdescParam[i].tdesc);
  return s + L")";
}

}  // namespace

TEST(TypeLibrary, LibraryIdVersionAndExactlyTheFifteenInterfacesAndTheDictionary) {
  ComRef<ITypeLib> lib;
  lib.p = LoadLibraryFile();
  ASSERT_NE(nullptr, lib.p);
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(S_OK, lib->GetLibAttr(&attr));
  EXPECT_TRUE(IsEqualGUID(LIBID_Calderwisp, attr->guid));
  EXPECT_EQ(CalderwispMajorVersion, attr->wMajorVerNum);
  EXPECT_EQ(CalderwispMinorVersion, attr->wMinorVerNum);
  lib->ReleaseTLibAttr(attr);
  BSTR name = nullptr;
  lib->GetDocumentation(-1, &name, nullptr, nullptr, nullptr);
  EXPECT_STREQ(L"Calderwisp", name);
  SysFreeString(name);

  std::vector<std::wstring> names;
  for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
    ComRef<ITypeInfo> info;
    lib->GetTypeInfo(i, &info);
    names.push_back(NameOf(info.p));
  }
  std::vector<std::wstring> expected;
  for (auto& c : CppInterfaces(lib.p)) expected.push_back(c.name);
  expected.push_back(L"Dictionary");
  std::sort(names.begin(), names.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, names);
}

TEST(TypeLibrary, EveryMethodHasTheVtableSlotAndArgumentsOfItsCppDeclaration) {
  ComRef<ITypeLib> lib;
  lib.p = LoadLibraryFile();
  ASSERT_NE(nullptr, lib.p);
  for (const IntfCase& c : CppInterfaces(lib.p)) {
    SCOPED_TRACE(c.name);
    ComRef<ITypeInfo> byId;
    ASSERT_EQ(S_OK, lib->GetTypeInfoOfGuid(c.iid, &byId)) << "the C++ IID is in the library";
    EXPECT_EQ(c.name, NameOf(byId.p));
    ComRef<ITypeInfo> info;
    info.p = VtableView(byId.p);
    ASSERT_NE(nullptr, info.p);

    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
    EXPECT_EQ(TKIND_INTERFACE, attr->typekind);
    EXPECT_EQ(c.dual, (attr->wTypeFlags & TYPEFLAG_FDUAL) != 0) << "dual flag";
    EXPECT_EQ(c.dual, (attr->wTypeFlags & TYPEFLAG_FOLEAUTOMATION) != 0) << "automation flag";
    EXPECT_EQ(1, attr->cImplTypes);
    const int functions = attr->cFuncs;
    const int vtableBytes = attr->cbSizeVft;
    info->ReleaseTypeAttr(attr);

    // Parent: the same interface as the C++ declaration's Parent.
    HREFTYPE parentRef;
    ASSERT_EQ(S_OK, info->GetRefTypeOfImplType(0, &parentRef));
    ComRef<ITypeInfo> parent;
    ASSERT_EQ(S_OK, info->GetRefTypeInfo(parentRef, &parent));
    TYPEATTR* parentAttr = nullptr;
    parent->GetTypeAttr(&parentAttr);
    EXPECT_TRUE(IsEqualGUID(c.parent, parentAttr->guid)) << "parent " << NameOf(parent.p).c_str();
    parent->ReleaseTypeAttr(parentAttr);

    // Every method of the library is declared in C++ at the same slot with the same arguments.
    ASSERT_EQ(static_cast<int>(c.methods.size()), functions);
    for (int i = 0; i < functions; ++i) {
      FUNCDESC* f = nullptr;
      ASSERT_EQ(S_OK, info->GetFuncDesc(i, &f));
      std::wstring name = NameOf(info.p, f->memid);
      const CppMethod* match = nullptr;
      for (const CppMethod& m : c.methods)
        if (m.name == name && m.kind == f->invkind) match = &m;
      if (!match) {
        ADD_FAILURE() << "no C++ declaration of " << WideToUtf8(name);
      } else {
        SCOPED_TRACE(WideToUtf8(name));
        EXPECT_EQ(match->slot, f->oVft / static_cast<int>(sizeof(void*))) << "vtable slot";
        EXPECT_EQ(WideToUtf8(match->signature), WideToUtf8(Signature(info.p, f)));
        EXPECT_EQ(CC_STDCALL, f->callconv);
      }
      info->ReleaseFuncDesc(f);
    }
    // The C++ interface ends where the library's does.
    int lastSlot = vtableBytes / static_cast<int>(sizeof(void*)) - 1;
    if (!c.methods.empty()) {
      EXPECT_EQ(lastSlot, c.methods.back().slot);
    }
  }
}

TEST(TypeLibrary, DictionaryIsACreatableClassWhoseDefaultInterfaceIsIAppDictionary) {
  ComRef<ITypeLib> lib;
  lib.p = LoadLibraryFile();
  ASSERT_NE(nullptr, lib.p);
  ComRef<ITypeInfo> info;
  ASSERT_EQ(S_OK, lib->GetTypeInfoOfGuid(CLSID_Dictionary, &info));
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
  EXPECT_EQ(TKIND_COCLASS, attr->typekind);
  EXPECT_NE(0, attr->wTypeFlags & TYPEFLAG_FCANCREATE);
  ASSERT_EQ(1, attr->cImplTypes);
  info->ReleaseTypeAttr(attr);
  INT flags = 0;
  ASSERT_EQ(S_OK, info->GetImplTypeFlags(0, &flags));
  EXPECT_NE(0, flags & IMPLTYPEFLAG_FDEFAULT);
  HREFTYPE ref;
  ASSERT_EQ(S_OK, info->GetRefTypeOfImplType(0, &ref));
  ComRef<ITypeInfo> intf;
  ASSERT_EQ(S_OK, info->GetRefTypeInfo(ref, &intf));
  TYPEATTR* intfAttr = nullptr;
  intf->GetTypeAttr(&intfAttr);
  EXPECT_TRUE(IsEqualGUID(__uuidof(IAppDictionary), intfAttr->guid));
  intf->ReleaseTypeAttr(intfAttr);
}
