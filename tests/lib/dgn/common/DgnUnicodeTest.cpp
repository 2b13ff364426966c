#include <gtest/gtest.h>

#include "lib/dgn/common/DgnUnicode.h"

TEST(DgnUnicode, TextOfEveryLengthGoesToUtf16AndBack) {
  // One, two, three and four bytes: "A", e acute, euro sign, G clef.
  const std::string utf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E";
  const std::wstring wide = Dgn::Utf8ToWide(utf8);
  EXPECT_EQ(wide, std::wstring(L"A\u00E9\u20AC\xD834\xDD1E"));
  std::string back;
  ASSERT_TRUE(Dgn::WideToUtf8(wide, back));
  EXPECT_EQ(back, utf8);
  EXPECT_EQ(Dgn::Utf8ToWide(""), L"");
  ASSERT_TRUE(Dgn::WideToUtf8(L"", back));
  EXPECT_EQ(back, "");
}

TEST(DgnUnicode, BrokenUtf8RaisesUnexpectedEndOfSequence) {
  for (const std::string& bad : {std::string("ab\xE2\x82"), std::string("\xF0\x9D\x84"), std::string("x\x80"),
                                 std::string("\xFF"), std::string("\xC3\x41")}) {
    try {
      Dgn::Utf8ToWide(bad);
      ADD_FAILURE() << "no error for a broken sequence of " << bad.size() << " bytes";
    } catch (const EDgnStringConversionError& e) {
      EXPECT_EQ(e.Message(), L"Unexpected end of sequence");
      EXPECT_STREQ(e.ClassName(), L"EDgnUnexpectedEOSequenceError");
    }
  }
}

TEST(DgnUnicode, ValueBeyondUtf16RaisesTheConversionError) {
  // A five-byte sequence for 0x200000 decodes fine but UTF-16 cannot hold it.
  EXPECT_THROW(Dgn::Utf8ToWide("ok\xF8\x88\x80\x80\x80"), EDgnUnexpectedEOSequenceError);
  // The largest value UTF-16 holds still converts.
  EXPECT_EQ(Dgn::Utf8ToWide("\xF4\x8F\xBF\xBF"), std::wstring(L"\xDBFF\xDFFF"));
}

TEST(DgnUnicode, LoneSurrogateGivesEmptyTextAndFalse) {
  std::string out = "old";
  EXPECT_FALSE(Dgn::WideToUtf8(std::wstring(L"ab\xDC00" L"cd"), out));
  EXPECT_EQ(out, "");
  EXPECT_FALSE(Dgn::WideToUtf8(std::wstring(L"ab\xD800"), out));
  EXPECT_FALSE(Dgn::WideToUtf8(std::wstring(L"\xD800x"), out));
}

TEST(DgnUnicode, CodePointReadersMovePositionOrReportMinusOne) {
  int pos = 2;
  EXPECT_EQ(Utf8NextCodePoint("a\xE2\x82\xAC" "b", pos), 0x20ACu);
  EXPECT_EQ(pos, 5);
  EXPECT_EQ(Utf8NextCodePoint("a\xE2\x82\xAC" "b", pos), uint32_t('b'));
  EXPECT_EQ(pos, 6);
  EXPECT_EQ(Utf8NextCodePoint("ab", pos), 0u);
  EXPECT_EQ(pos, -1);
  pos = 0;
  Utf8NextCodePoint("ab", pos);
  EXPECT_EQ(pos, -1);
  // Six-byte form of the largest value UTF-8 encodes here; overlong forms pass as they come.
  pos = 1;
  EXPECT_EQ(Utf8NextCodePoint("\xFD\xBF\xBF\xBF\xBF\xBF", pos), 0x7FFFFFFFu);
  pos = 1;
  EXPECT_EQ(Utf8NextCodePoint("\xC0\x80", pos), 0u);
  EXPECT_EQ(pos, 3);

  pos = 1;
  EXPECT_EQ(Utf16NextCodePoint(std::wstring(L"\xD834\xDD1E"), pos), 0x1D11Eu);
  EXPECT_EQ(pos, 3);
  pos = 2;
  Utf16NextCodePoint(std::wstring(L"\xD834\xDD1E"), pos);
  EXPECT_EQ(pos, -1);
}

TEST(DgnUnicode, CodePointWritersWriteOnlyWhatFits) {
  std::string s(3, '.');
  int pos = 2;
  EXPECT_FALSE(Utf8PutCodePoint(s, pos, 0x20AC));  // needs three bytes from position 2
  EXPECT_EQ(s, "...");
  EXPECT_EQ(pos, 2);
  pos = 1;
  EXPECT_TRUE(Utf8PutCodePoint(s, pos, 0x20AC));
  EXPECT_EQ(s, "\xE2\x82\xAC");
  EXPECT_EQ(pos, 4);
  pos = 1;
  EXPECT_FALSE(Utf8PutCodePoint(s, pos, 0x80000000u));
  EXPECT_EQ(pos, -1);

  std::wstring w(1, L'.');
  pos = 1;
  EXPECT_FALSE(Utf16PutCodePoint(w, pos, 0x1D11E));  // a pair does not fit in one unit
  EXPECT_EQ(w, L".");
  pos = 1;
  EXPECT_FALSE(Utf16PutCodePoint(w, pos, 0x110000));
  EXPECT_EQ(pos, -1);
}

TEST(DgnUnicode, TruncateAtZeroCutsAtTheFirstZeroByte) {
  std::string s("name\0rest\0", 10);
  TruncateAtZero(s);
  EXPECT_EQ(s, "name");
  std::string plain = ".text";
  TruncateAtZero(plain);
  EXPECT_EQ(plain, ".text");
}
