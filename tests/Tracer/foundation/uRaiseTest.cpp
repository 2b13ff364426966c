#include "Tracer/foundation/uRaise.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "Tracer/foundation/uWideStrUtils.h"

TEST(Win32CheckApi, TrueResultRaisesNothingAndKeepsTheLastError) {
  SetLastError(1234);
  EXPECT_NO_THROW(Win32CheckApi(true, "OpenProcess"));
  EXPECT_EQ(GetLastError(), 1234u);
}

TEST(Win32CheckApi, FailedCallNamesTheCodeTheSystemTextAndTheCall) {
  SetLastError(ERROR_ACCESS_DENIED);
  try {
    Win32CheckApi(false, "OpenProcess");
    FAIL() << "no exception";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.ErrorCode, 5u);
    EXPECT_EQ(e.Message(), L"System Error.  Code: 5.\r\n" + SysErrorMessage(5) + L"\r\nat OpenProcess");
    EXPECT_NE(SysErrorMessage(5), L"");
  }
}

TEST(Win32CheckApi, LastErrorZeroGivesTheGenericText) {
  SetLastError(0);
  try {
    Win32CheckApi(false, "EnumProcesses");
    FAIL() << "no exception";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.Message(), L"System Error.  Code: 0.\r\nA call to an OS function failed\r\nat EnumProcesses");
  }
}

TEST(ExceptionLines, ContextAddedOnTheWayUpStandsInFront) {
  try {
    try {
      try {
        throw EConvertError(L"bad value");
      } catch (Exception& e) {
        PrependExceptionLine(e, L"Error loading c:\\a.xml");
        throw;
      }
    } catch (Exception& e) {
      PrependExceptionLine(e, L"Error loading symbols from \"c:\\a.xml\"");
      AppendExceptionLine(e, L"(2 entries skipped)");
      throw;
    }
  } catch (const EConvertError& e) {  // still the same object and class
    EXPECT_EQ(e.Message(),
              L"Error loading symbols from \"c:\\a.xml\"\r\nError loading c:\\a.xml\r\nbad value\r\n(2 entries skipped)");
    EXPECT_STREQ(e.what(),
                 "Error loading symbols from \"c:\\a.xml\"\r\nError loading c:\\a.xml\r\nbad value\r\n(2 entries skipped)");
  }
}

TEST(ExceptionLines, PrependOnAnEmptyMessageLeavesALineBreakAtTheEnd) {
  Exception e;
  PrependExceptionLine(e, L"context");
  EXPECT_EQ(e.Message(), L"context\r\n");
  Exception f(L"first");
  AppendExceptionLine(f, L"");
  EXPECT_EQ(f.Message(), L"first\r\n");
}
