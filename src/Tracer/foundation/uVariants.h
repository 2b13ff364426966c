// One line of display text for any OLE variant (log rows, hints, property window, export),
// and constructors of variants of fixed types.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <string>

// Never fails: markers in parentheses for Null, Empty, objects and error values, array texts,
// else the standard conversion (user's locale, through the ANSI code page); any failure
// gives "(erroneous data)".
std::wstring VariantToText(const VARIANT& value) noexcept;
// VariantToText, in single quotes when the variant is exactly a wide string (VT_BSTR).
std::wstring VariantToQuotedText(const VARIANT& value) noexcept;
// An array of variants joined by JoinVariantArray; any other array "(variant array)".
std::wstring VariantArrayToText(const VARIANT& value);
// The first dimension's elements, one blank between texts; bytes as two hex digits.
std::wstring JoinVariantArray(const VARIANT& value);

// Write the type and value of dest without releasing what it held: pass fresh variables.
void LongWordToVariant(uint32_t n, VARIANT& dest);
void SmallIntToVariant(int16_t n, VARIANT& dest);
VARIANT NullOleVariant();
