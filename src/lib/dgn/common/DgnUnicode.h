// UTF-8 and UTF-16 conversion code point by code point, for names the library reads from
// images and debug tables. Positions are 1-based; a position of -1 reports an error.
//
// The whole-string routines live in namespace Dgn: the run-time's lenient Utf8ToWide and
// WideToUtf8 (which never fail) keep their global names.
#pragma once
#include <cstdint>
#include <string>

#include "lib/dgn/common/DgnErrors.h"

CW_DECLARE_EXCEPTION(EDgnStringConversionError, EDgnError);
CW_DECLARE_EXCEPTION(EDgnUnexpectedEOSequenceError, EDgnStringConversionError);

constexpr uint32_t MaximumUCS2 = 0xFFFF;
constexpr uint32_t MaximumUTF16 = 0x10FFFF;
constexpr uint32_t MaximumUCS4 = 0x7FFFFFFF;
constexpr uint32_t SurrogateShift = 10;
constexpr uint32_t SurrogateOffset = 0x10000;
constexpr uint32_t SurrogateMask = 0x3FF;

// The code point at the position; the position moves past it, or becomes -1.
uint32_t Utf8NextCodePoint(const std::string& s, int& pos);
// Writes the code point at the position when it fits: True and the position moved past it.
bool Utf8PutCodePoint(std::string& s, int& pos, uint32_t codePoint);
uint32_t Utf16NextCodePoint(const std::wstring& s, int& pos);
bool Utf16PutCodePoint(std::wstring& s, int& pos, uint32_t codePoint);

// Cuts the string before its first zero byte.
void TruncateAtZero(std::string& s);

namespace Dgn {
// Raises EDgnUnexpectedEOSequenceError "Unexpected end of sequence" on an invalid sequence,
// and also for a value that UTF-16 cannot hold (above U+10FFFF).
std::wstring Utf8ToWide(const std::string& s);
// True and the UTF-8 text; False and an empty text on an invalid surrogate.
bool WideToUtf8(const std::wstring& s, std::string& out);
}  // namespace Dgn
