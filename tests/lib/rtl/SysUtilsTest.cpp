// The run-time basics: wide formatting as the messages use it, the exception family (UTF-8
// what(), copies handed across threads) and the assertion text.
#include "lib/rtl/SysUtils.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "support/TestSupport.h"

namespace {

// Code units as hex (two digits a byte, four a UTF-16 unit), so that a failure shows what a
// console cannot.
template <class TString>
std::string Hex(const TString& s) {
  using TUnit = std::make_unsigned_t<typename TString::value_type>;
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (auto c : s) {
    if (!out.empty()) out += ' ';
    for (int shift = 8 * sizeof(TUnit) - 4; shift >= 0; shift -= 4) out += digits[(static_cast<TUnit>(c) >> shift) & 15];
  }
  return out;
}

}  // namespace

TEST(WideFormat, ConversionsGiveTheTextsTheMessagesShow) {
  struct Case {
    const char* conversion;
    std::wstring result;
    std::wstring expected;
  };
  const Case cases[] = {
      {"%X is upper case", WideFormat(L"%X", 0xDEADBEEFu), L"DEADBEEF"},
      {"%08X pads with zeros", WideFormat(L"%08X", 0xABCu), L"00000ABC"},
      {"%08X of a full word", WideFormat(L"%08X", 0x80000001u), L"80000001"},
      {"%.8X (the %8.8x of the messages)", WideFormat(L"%.8X", 0x1Fu), L"0000001F"},
      {"%ls wide", WideFormat(L"[%ls]", L"wide \u00FC\u20AC"), L"[wide \u00FC\u20AC]"},
      {"%ls empty", WideFormat(L"[%ls]", L""), L"[]"},
      {"%hs narrow", WideFormat(L"[%hs]", "narrow"), L"[narrow]"},
      {"%ls and %hs together", WideFormat(L"%ls.%hs", L"kernel32.dll", "GetTickCount"), L"kernel32.dll.GetTickCount"},
      {"%-12ls left-aligned width", WideFormat(L"{%-12ls}", L"demo.exe"), L"{demo.exe    }"},
      {"%12ls right-aligned width", WideFormat(L"{%12ls}", L"demo.exe"), L"{    demo.exe}"},
      {"%.3ls precision", WideFormat(L"%.3ls", L"abcdef"), L"abc"},
      {"%5d width", WideFormat(L"%5d|%-5d|", 42, 42), L"   42|42   |"},
      {"%d negative", WideFormat(L"%d", -7), L"-7"},
      {"%u of the largest word", WideFormat(L"%u", 0xFFFFFFFFu), L"4294967295"},
      {"%% is a percent sign", WideFormat(L"100%% of %d", 3), L"100% of 3"},
      {"%c of a wide character", WideFormat(L"%c", static_cast<int>(L'\u00E9')), L"\u00E9"},
      {"%02X of a byte", WideFormat(L"%02X%02X", 0x0Au, 0xFFu), L"0AFF"},
      {"no conversion", WideFormat(L"plain text"), L"plain text"},
      {"%hs of ANSI text", WideFormat(L"%hs", "caf\xE9"), L"caf\u00E9"},
      {"%lc", WideFormat(L"%lc", static_cast<wint_t>(L'\u20AC')), L"\u20AC"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, c.result) << c.conversion;
}

// Format reads each argument as the kind it is: what would read one as another kind raises.
TEST(Format, ArgumentsOfAnotherKindOrCountRaiseInsteadOfBeingRead) {
  EXPECT_EQ(L"Record 3 from 10", Format(L"Record %d from %d", {3, 10}));
  EXPECT_EQ(L"[  7|ab |100%|x]", Format(L"[%3d|%-3s|100%%|%ls]", {7, L"ab", L"x"}));
  EXPECT_EQ(L"0000001F", Format(L"%.8X", {0x1F}));
  const std::wstring bad[] = {L"Record %s from %s", L"Record %d from %d of %d", L"Record %d", L"Record %n from %d",
                              L"Record %*d from %d", L"Record %f from %d", L"Record %lld from %d", L"Record %d from %",
                              L"Record %100000d from %d", L"Record %.257d from %d", L"Record %d from %99999999999999999999d"};
  for (const std::wstring& format : bad) {
    try {
      Format(format, {3, 10});
      ADD_FAILURE() << "no error for " << WideToUtf8(format);
    } catch (const EConvertError& e) {
      EXPECT_EQ(L"Format \"" + format + L"\" invalid or incompatible with argument", e.Message());
    }
  }
  EXPECT_EQ("dsd", FormatConversions(L"%5d %-ls %% %X"));
  EXPECT_EQ("?d", FormatConversions(L"%n %d"));
  EXPECT_EQ("", FormatConversions(L"100%%"));
}

// The buffer grows until the text fits: no length may cut it or leave a stray character.
TEST(WideFormat, LongResultsComeWholeAtEveryLength) {
  for (size_t length : {0u, 250u, 251u, 252u, 253u, 254u, 255u, 256u, 1000u, 1021u, 1022u, 1024u, 70000u}) {
    std::wstring argument(length, L'x');
    if (length) argument.back() = L'\u00E9';
    const std::wstring result = WideFormat(L"<%ls>%d", argument.c_str(), 5);
    EXPECT_EQ(L"<" + argument + L">5", result) << "length " << length << ", got " << result.size();
  }
}

TEST(Exception, WhatGivesTheWideMessageAsUtf8) {
  struct Case {
    std::wstring message;
    std::string utf8;
  };
  const Case cases[] = {
      {L"", ""},
      {L"plain", "plain"},
      {L"caf\u00E9", "caf\xC3\xA9"},
      {L"\u20AC 5", "\xE2\x82\xAC 5"},
      {L"\u07FF\u0800", "\xDF\xBF\xE0\xA0\x80"},  // the edges of the two- and three-byte forms
      {L"\xD83D\xDE00", "\xF0\x9F\x98\x80"},       // a pair: one four-byte character
      {L"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF"},       // the last code point
      {L"a\xD800" L"b", "a\xEF\xBF\xBD" "b"},      // unpaired high surrogate
      {L"a\xDC00" L"b", "a\xEF\xBF\xBD" "b"},      // unpaired low surrogate
      {L"\xD800", "\xEF\xBF\xBD"},                 // a high surrogate at the end
      {L"\xDC00\xD800", "\xEF\xBF\xBD\xEF\xBF\xBD"},  // a pair the wrong way round
  };
  for (const Case& c : cases) {
    const Exception e(c.message);
    EXPECT_EQ(Hex(c.utf8), Hex(std::string(e.what()))) << Hex(c.message);
    EXPECT_EQ(c.message, e.Message());
  }
}

TEST(Exception, WhatFollowsTheMessageAsItGrowsLines) {
  try {
    try {
      throw EConvertError(L"'x' is not a valid integer");
    } catch (Exception& e) {
      EXPECT_STREQ("'x' is not a valid integer", e.what());
      e.SetMessage(e.Message() + L"\r\nat reading \u00ABcount\u00BB");
      throw;
    }
  } catch (const EConvertError& e) {
    EXPECT_STREQ("'x' is not a valid integer\r\nat reading \xC2\xAB" "count\xC2\xBB", e.what());
  }
}

// Text that came in as UTF-8 (a file, another exception's what()) is read leniently: whatever
// is not a well-formed character becomes U+FFFD and the reading goes on with the next byte, so
// no character after a bad sequence is swallowed and no invalid UTF-16 comes out.
TEST(Utf8ToWide, WellFormedTextRoundTripsAndBadSequencesBecomeReplacementCharacters) {
  struct Case {
    const char* what;
    std::string utf8;
    std::wstring wide;
  };
  const Case cases[] = {
      {"ascii", "abc", L"abc"},
      {"two bytes", "caf\xC3\xA9", L"caf\u00E9"},
      {"three bytes", "\xE2\x82\xAC", L"\u20AC"},
      {"four bytes become a pair", "\xF0\x9F\x98\x80", L"\xD83D\xDE00"},
      {"the last code point", "\xF4\x8F\xBF\xBF", L"\xDBFF\xDFFF"},
      {"a lone continuation byte", "a\x80" "b", L"a\xFFFD" L"b"},
      {"a lead byte that never starts a character", "a\xFF" "b", L"a\xFFFD" L"b"},
      {"a sequence cut by the end", "a\xC3", L"a\xFFFD"},
      {"a sequence cut by ascii keeps the ascii", "\xE2\x82" "A", L"\xFFFD\xFFFD" L"A"},
      {"an overlong slash is no slash", "\xC0\xAF", L"\xFFFD\xFFFD"},
      {"an overlong three-byte nul", "\xE0\x80\x80", L"\xFFFD\xFFFD\xFFFD"},
      {"an overlong four-byte form", "\xF0\x8F\xBF\xBF", L"\xFFFD\xFFFD\xFFFD\xFFFD"},
      {"an encoded surrogate", "\xED\xA0\x80", L"\xFFFD\xFFFD\xFFFD"},
      {"beyond the last code point", "\xF4\x90\x80\x80", L"\xFFFD\xFFFD\xFFFD\xFFFD"},
      {"a five-byte lead", "\xF8\x88\x80\x80\x80", L"\xFFFD\xFFFD\xFFFD\xFFFD\xFFFD"},
  };
  for (const Case& c : cases) EXPECT_EQ(Hex(c.wide), Hex(Utf8ToWide(c.utf8))) << c.what;
  // Every well-formed wide text comes back from its UTF-8 as it was.
  for (const std::wstring& text : {std::wstring(L"plain"), std::wstring(L"\u00E9\u0800\uFFFD\uFFFF"),
                                   std::wstring(L"x\xD800\xDC00y\xDBFF\xDFFF")})
    EXPECT_EQ(Hex(text), Hex(Utf8ToWide(WideToUtf8(text))));
}

// A worker hands what it caught to the main thread as a copy, which raises it there again as the
// same class with the same message and code: the reports and the error events depend on it.
TEST(Exception, ACloneRaisedInAnotherThreadIsTheSameClassWithTheSameMessage) {
  struct Case {
    const wchar_t* className;
    std::function<void()> raise;
    uint32_t code;
  };
  const Case cases[] = {
      {L"Exception", [] { throw Exception(L"m \u00E9"); }, 0},
      {L"EAbort", [] { throw EAbort(L"m \u00E9"); }, 0},
      {L"EConvertError", [] { throw EConvertError(L"m \u00E9"); }, 0},
      {L"EListError", [] { throw EListError(L"m \u00E9"); }, 0},
      {L"EAssertionFailed", [] { throw EAssertionFailed(L"m \u00E9"); }, 0},
      {L"EStreamError", [] { throw EStreamError(L"m \u00E9"); }, 0},
      {L"EFCreateError", [] { throw EFCreateError(L"m \u00E9"); }, 0},
      {L"EFOpenError", [] { throw EFOpenError(L"m \u00E9"); }, 0},
      {L"EReadError", [] { throw EReadError(L"m \u00E9"); }, 0},
      {L"EWriteError", [] { throw EWriteError(L"m \u00E9"); }, 0},
      {L"EInOutError", [] { throw EInOutError(L"m \u00E9", 103); }, 103},
      {L"EOSError", [] { throw EOSError(L"m \u00E9", 5); }, 5},
  };
  for (const Case& c : cases) {
    std::unique_ptr<Exception> handed;
    const std::type_info* thrownType = nullptr;
    std::thread worker([&] {
      try {
        c.raise();
      } catch (const Exception& e) {
        thrownType = &typeid(e);
        handed.reset(e.Clone());
      }
    });
    ASSERT_TRUE(JoinWithin(worker, 10000));
    ASSERT_TRUE(handed) << WideToUtf8(c.className);
    EXPECT_EQ(*thrownType, typeid(*handed)) << WideToUtf8(c.className);
    try {
      handed->Rethrow();
    } catch (const Exception& e) {
      EXPECT_EQ(*thrownType, typeid(e)) << WideToUtf8(c.className) << " came back as " << WideToUtf8(e.ClassName());
      EXPECT_STREQ(c.className, e.ClassName());
      EXPECT_EQ(L"m \u00E9", e.Message());
      EXPECT_STREQ("m \xC3\xA9", e.what());
      uint32_t code = 0;
      if (auto* io = dynamic_cast<const EInOutError*>(&e)) code = static_cast<uint32_t>(io->ErrorCode);
      if (auto* os = dynamic_cast<const EOSError*>(&e)) code = os->ErrorCode;
      EXPECT_EQ(c.code, code) << WideToUtf8(c.className);
    }
  }
}

TEST(Exception, StreamErrorsAreCaughtAsTheirBase) {
  const std::function<void()> raises[] = {[] { throw EFCreateError(L""); }, [] { throw EFOpenError(L""); },
                                          [] { throw EReadError(L""); }, [] { throw EWriteError(L""); }};
  for (auto& raise : raises) {
    std::unique_ptr<Exception> copy;
    try {
      raise();
    } catch (const Exception& e) {
      copy.reset(e.Clone());
    }
    ASSERT_TRUE(copy);
    EXPECT_THROW(copy->Rethrow(), EStreamError) << WideToUtf8(copy->ClassName());
  }
}

TEST(Assertion, AFailureNamesTheUnitAndTheLine) {
  struct Case {
    const wchar_t* unit;
    int line;
    const wchar_t* message;
  };
  const Case cases[] = {
      {L"src/Tracer/uProcDefs", 903, L"Assertion failure (src/Tracer/uProcDefs, line 903)"},
      {L"DgnDebugInfo", 1, L"Assertion failure (DgnDebugInfo, line 1)"},
      {L"", 0, L"Assertion failure (, line 0)"},
  };
  for (const Case& c : cases) {
    try {
      CW_ASSERT(c.line < 0, c.unit, c.line);
      ADD_FAILURE() << "no exception for " << WideToUtf8(c.message);
    } catch (const EAssertionFailed& e) {
      EXPECT_EQ(c.message, e.Message());
      EXPECT_STREQ(L"EAssertionFailed", e.ClassName());
    }
  }
  // A condition that holds raises nothing, and it is evaluated once.
  int evaluated = 0;
  EXPECT_NO_THROW(CW_ASSERT(++evaluated == 1, L"unit", 1));
  EXPECT_EQ(1, evaluated);
}
