#include "Tracer/foundation/uVariants.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

namespace {

// A variant the test owns.
struct TVar {
  VARIANT V;
  TVar() { VariantInit(&V); }
  ~TVar() { VariantClear(&V); }
  TVar(const TVar&) = delete;
  TVar& operator=(const TVar&) = delete;
};

void SetText(VARIANT& v, const wchar_t* s) {
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = SysAllocString(s);
}

// A one-dimensional array of variants; each element is filled by fill(index, element).
template <class F>
void SetVariantArray(VARIANT& v, LONG count, F fill) {
  SAFEARRAY* sa = SafeArrayCreateVector(VT_VARIANT, 0, count);
  for (LONG i = 0; i < count; ++i) {
    TVar e;
    fill(i, e.V);
    SafeArrayPutElement(sa, &i, &e.V);
  }
  V_VT(&v) = VT_ARRAY | VT_VARIANT;
  V_ARRAY(&v) = sa;
}

void SetByte(VARIANT& v, BYTE b) {
  V_VT(&v) = VT_UI1;
  V_UI1(&v) = b;
}

std::wstring Sep() {
  wchar_t buf[8] = {};
  GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, buf, 8);
  return buf;
}

}  // namespace

TEST(VariantToText, MarkersForValuesWithoutText) {
  TVar v;
  EXPECT_EQ(VariantToText(v.V), L"(unassigned)");
  V_VT(&v.V) = VT_NULL;
  EXPECT_EQ(VariantToText(v.V), L"(null)");
  V_VT(&v.V) = VT_DISPATCH;
  V_DISPATCH(&v.V) = nullptr;
  EXPECT_EQ(VariantToText(v.V), L"(automation object)");
  V_VT(&v.V) = VT_UNKNOWN;
  V_UNKNOWN(&v.V) = nullptr;
  EXPECT_EQ(VariantToText(v.V), L"(com object)");
  V_VT(&v.V) = VT_ERROR;
  V_ERROR(&v.V) = DISP_E_PARAMNOTFOUND;
  EXPECT_EQ(VariantToText(v.V), L"(error object)");
  VariantInit(&v.V);
}

TEST(VariantToText, StringsAreQuotedOnlyWhenTheyAreWideStrings) {
  TVar s;
  SetText(s.V, L"abc");
  EXPECT_EQ(VariantToText(s.V), L"abc");
  EXPECT_EQ(VariantToQuotedText(s.V), L"'abc'");

  TVar n;
  V_VT(&n.V) = VT_I4;
  V_I4(&n.V) = 5;
  EXPECT_EQ(VariantToText(n.V), L"5");
  EXPECT_EQ(VariantToQuotedText(n.V), L"5");

  // A reference to a string shows its text, unquoted.
  BSTR target = SysAllocString(L"by ref");
  VARIANT ref;
  V_VT(&ref) = VT_BSTR | VT_BYREF;
  V_BSTRREF(&ref) = &target;
  EXPECT_EQ(VariantToText(ref), L"by ref");
  EXPECT_EQ(VariantToQuotedText(ref), L"by ref");
  SysFreeString(target);

  TVar empty;
  SetText(empty.V, L"");
  EXPECT_EQ(VariantToQuotedText(empty.V), L"''");
}

TEST(VariantToText, NumbersUseTheUsersSeparatorAndBooleansAreWords) {
  TVar d;
  V_VT(&d.V) = VT_R8;
  V_R8(&d.V) = 1.5;
  EXPECT_EQ(VariantToText(d.V), L"1" + Sep() + L"5");
  TVar b;
  V_VT(&b.V) = VT_BOOL;
  V_BOOL(&b.V) = VARIANT_TRUE;
  EXPECT_EQ(VariantToText(b.V), L"True");
  TVar u;
  LongWordToVariant(0xFFFFFFFFu, u.V);
  EXPECT_EQ(V_VT(&u.V), VT_UI4);
  EXPECT_EQ(VariantToText(u.V), L"4294967295");
  TVar i;
  SmallIntToVariant(-2, i.V);
  EXPECT_EQ(V_VT(&i.V), VT_I2);
  EXPECT_EQ(VariantToText(i.V), L"-2");
  VARIANT null = NullOleVariant();
  EXPECT_EQ(V_VT(&null), VT_NULL);
  EXPECT_EQ(VariantToText(null), L"(null)");
}

TEST(VariantToText, TextGoesThroughTheAnsiCodePage) {
  if (GetACP() != 1252) GTEST_SKIP() << "expects the Western code page";
  TVar v;
  SetText(v.V, L"caf\u00E9 \u4E2D");
  EXPECT_EQ(VariantToText(v.V), L"caf\u00E9 ?");
}

TEST(VariantArrayToText, ArraysOfVariantsAreJoinedOthersAreMarked) {
  TVar bytes;
  SetVariantArray(bytes.V, 3, [](LONG i, VARIANT& e) { SetByte(e, std::initializer_list<BYTE>{1, 171, 16}.begin()[i]); });
  EXPECT_EQ(VariantToText(bytes.V), L"01 AB 10");

  // The Empty element adds nothing but its blank: two blanks between x and FF.
  TVar mixed;
  SetVariantArray(mixed.V, 3, [](LONG i, VARIANT& e) {
    if (i == 0) SetText(e, L"x");
    if (i == 2) SetByte(e, 255);
  });
  EXPECT_EQ(VariantToText(mixed.V), L"x  FF");
  EXPECT_EQ(VariantToQuotedText(mixed.V), L"x  FF");

  // Leading empty texts add no blank.
  TVar leading;
  SetVariantArray(leading.V, 3, [](LONG i, VARIANT& e) {
    if (i == 2) SetText(e, L"z");
  });
  EXPECT_EQ(VariantToText(leading.V), L"z");

  TVar none;
  SetVariantArray(none.V, 0, [](LONG, VARIANT&) {});
  EXPECT_EQ(VariantToText(none.V), L"(empty variant array)");

  TVar plainBytes;
  V_VT(&plainBytes.V) = VT_ARRAY | VT_UI1;
  V_ARRAY(&plainBytes.V) = SafeArrayCreateVector(VT_UI1, 0, 4);
  EXPECT_EQ(VariantToText(plainBytes.V), L"(variant array)");
}

TEST(VariantArrayToText, ArraysThatCannotBeWalkedAreErroneous) {
  SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
  TVar twoDim;
  V_VT(&twoDim.V) = VT_ARRAY | VT_VARIANT;
  V_ARRAY(&twoDim.V) = SafeArrayCreate(VT_VARIANT, 2, bounds);
  EXPECT_EQ(VariantToText(twoDim.V), L"(erroneous data)");

  TVar withNull;
  SetVariantArray(withNull.V, 2, [](LONG i, VARIANT& e) {
    if (i == 1) V_VT(&e) = VT_NULL;
  });
  EXPECT_EQ(VariantToText(withNull.V), L"(erroneous data)");

  VARIANT noArray;
  V_VT(&noArray) = VT_ARRAY | VT_VARIANT;
  V_ARRAY(&noArray) = nullptr;
  EXPECT_EQ(VariantToText(noArray), L"(erroneous data)");

  VARIANT record;
  V_VT(&record) = VT_RECORD;
  V_RECORD(&record) = nullptr;
  V_RECORDINFO(&record) = nullptr;
  EXPECT_EQ(VariantToText(record), L"(erroneous data)");
}
