// The owners of interface references, BSTRs, safe arrays and variants: each reference taken is
// dropped exactly once, whichever way it leaves its owner.
#include "Tracer/foundation/uHolders.h"

#include <gtest/gtest.h>
#include <ocidl.h>

#include "Tracer/foundation/uOleVariant.h"

namespace {

// An object that counts its references and answers IUnknown and IPersist.
class TCounted : public IPersist {
public:
  LONG Refs = 0;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** obj) override {
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IPersist)) {
      *obj = nullptr;
      return E_NOINTERFACE;
    }
    *obj = static_cast<IPersist*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++Refs); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--Refs); }
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID*) override { return E_NOTIMPL; }
};

}  // namespace

TEST(ComPtr, CopiesCountMovesAndDetachesDoNot) {
  TCounted obj;
  {
    TComPtr<IPersist> first(&obj);
    EXPECT_EQ(1, obj.Refs);
    TComPtr<IPersist> copy = first;
    EXPECT_EQ(2, obj.Refs);
    TComPtr<IPersist> moved(std::move(copy));
    EXPECT_EQ(2, obj.Refs);
    EXPECT_FALSE(copy);
    moved = first;  // assigning the same object again keeps the count
    EXPECT_EQ(2, obj.Refs);
    IPersist* given = moved.Detach();
    EXPECT_EQ(2, obj.Refs);
    TComPtr<IPersist> adopted;
    adopted.Attach(given);
    EXPECT_EQ(2, obj.Refs);
    *adopted.Put() = nullptr;  // Put drops the reference it held
    EXPECT_EQ(1, obj.Refs);
  }
  EXPECT_EQ(0, obj.Refs);
}

TEST(ComPtr, AsAsksTheHeldObjectAndAFailureLeavesTheTargetEmpty) {
  TCounted obj;
  {
    TComPtr<IPersist> persist(&obj);
    TComPtr<IUnknown> unknown;
    EXPECT_EQ(S_OK, persist.As(unknown));
    EXPECT_EQ(2, obj.Refs);
    TComPtr<IPersistFile> file;
    file.QueryFrom(&obj);
    EXPECT_EQ(E_NOINTERFACE, persist.As(file));
    EXPECT_FALSE(file);
    EXPECT_EQ(E_POINTER, file.QueryFrom(nullptr));
    // Asking again drops what the target held.
    EXPECT_EQ(S_OK, unknown.QueryFrom(&obj));
    EXPECT_EQ(2, obj.Refs);
  }
  EXPECT_EQ(0, obj.Refs);
}

TEST(BStr, HoldsTextWithNulsAndHandsItOut) {
  const std::wstring text(L"a\0b", 3);
  TBStr s(text);
  EXPECT_EQ(3u, SysStringLen(s.Get()));
  EXPECT_EQ(text, s.Str());
  EXPECT_EQ(text, BStrToWide(s.Get()));
  EXPECT_EQ(L"", BStrToWide(nullptr));
  BSTR given = s.Detach();
  EXPECT_EQ(nullptr, s.Get());
  TBStr back;
  *back.Put() = given;  // adopted: freed with back
  EXPECT_EQ(text, back.Str());
}

TEST(SafeArray, CreatesAVectorAndMovesItsOwnership) {
  TSafeArray a = TSafeArray::CreateVector(VT_VARIANT, 0, 2);
  ASSERT_TRUE(a);
  LONG high = -1;
  ASSERT_EQ(S_OK, SafeArrayGetUBound(a.Get(), 1, &high));
  EXPECT_EQ(1, high);
  TSafeArray b(std::move(a));
  EXPECT_FALSE(a);
  EXPECT_TRUE(b);
  SAFEARRAY* raw = b.Detach();
  TSafeArray c(raw);
  EXPECT_EQ(raw, c.Get());
}

TEST(OleVariant, AdoptTakesTheCallersValueAndLeavesItEmpty) {
  TCounted obj;
  VARIANT callers;
  VariantInit(&callers);
  callers.vt = VT_UNKNOWN;
  callers.punkVal = &obj;
  obj.AddRef();
  {
    TOleVariant owned = TOleVariant::Adopt(callers);
    EXPECT_EQ(VT_EMPTY, callers.vt);
    EXPECT_EQ(VT_UNKNOWN, owned.vt);
    EXPECT_EQ(1, obj.Refs);
  }
  EXPECT_EQ(0, obj.Refs);
}

TEST(OleErrorText, SystemTextWithoutTrailingPeriodOrTheCodeWhenThereIsNone) {
  const std::wstring known = OleErrorText(E_OUTOFMEMORY);
  ASSERT_FALSE(known.empty());
  EXPECT_NE(L'.', known.back());
  EXPECT_NE(L'\n', known.back());
  EXPECT_EQ(L"OLE error 8004FFFE", OleErrorText(static_cast<HRESULT>(0x8004FFFE)));
}
