// zentrel.exe as a user runs it: its standard output, its one error line and its exit code.
#include <gtest/gtest.h>

#include "lib/dgn/windows/DgnWin32.h"
#include "lib/rtl/SysUtils.h"
#include "support/TestSupport.h"
#include "symgen/SymgenTestSupport.h"

namespace {

// The error output is exactly one line.
void ExpectOneErrorLine(const TZentrelRun& run, const std::string& text) {
  EXPECT_EQ(run.Err, text + "\r\n");
}

}  // namespace

TEST(ZentrelProgram, FixtureDllGivesTheCheckedInDocumentByteForByte) {
  TZentrelRun run = RunZentrelExe({L"zentrelfix.dll"});
  EXPECT_EQ(run.ExitCode, 0u);
  EXPECT_EQ(run.Err, "");
  EXPECT_EQ(run.Out, ReadTextFile(ExpectedFixtureDocument()));
}

TEST(ZentrelProgram, EveryFailureGivesOneErrorLineExitCodeOneAndNoOutput) {
  TTempDir dir;
  std::string dll = ReadTextFile(FixtureDll());

  TZentrelRun noArgs = RunZentrelExe({});
  EXPECT_EQ(noArgs.ExitCode, 1u);
  EXPECT_EQ(noArgs.Out, "");
  ExpectOneErrorLine(noArgs, "USAGE: Zentrel dll-file [--full-filename]");

  TZentrelRun missing = RunZentrelExe({L"nosuchlib.dll"});
  EXPECT_EQ(missing.ExitCode, 1u);
  EXPECT_EQ(missing.Out, "");
  ExpectOneErrorLine(missing, "Cannot open file \"nosuchlib.dll\"");

  WriteTextFile(dir.File(L"notes.dll"), "These are notes, not a program.\r\n");
  TZentrelRun text = RunZentrelExe({L"--full-filename", dir.File(L"notes.dll")});
  EXPECT_EQ(text.ExitCode, 1u);
  EXPECT_EQ(text.Out, "");
  ExpectOneErrorLine(text, "This is not a PE format");

  // The same DLL claiming to be built for ARM.
  std::string arm = dll;
  PutWord(arm, GetDword(arm, 0x3C) + 4, 0x01C4);
  WriteTextFile(dir.File(L"arm.dll"), arm);
  TZentrelRun other = RunZentrelExe({dir.File(L"arm.dll"), L"--full-filename"});
  EXPECT_EQ(other.ExitCode, 1u);
  EXPECT_EQ(other.Out, "");
  ExpectOneErrorLine(other, "Unknown PE target");

  // Cut in the middle of the export directory.
  size_t exportDir = ExportDirectoryOffset(FixtureDll()).first;
  WriteTextFile(dir.File(L"cut.dll"), dll.substr(0, exportDir + 20));
  TZentrelRun cut = RunZentrelExe({L"--full-filename", dir.File(L"cut.dll")});
  EXPECT_EQ(cut.ExitCode, 1u);
  EXPECT_EQ(cut.Out, "");
  ExpectOneErrorLine(cut, "Damaged export directory");
}

TEST(ZentrelProgram, FullOutputDeviceGivesTheSystemErrorLine) {
  // Wine maps the Unix full device: every write fails with "disk full".
  TZentrelRun run = RunZentrelExe({L"zentrelfix.dll"}, L"Z:\\dev\\full");
  EXPECT_EQ(run.ExitCode, 1u);
  ExpectOneErrorLine(run, WideToUtf8(DgnSysErrorMessage(ERROR_DISK_FULL)));
}

TEST(ZentrelProgram, SecondDllFailingLeavesTheFirstDocumentComplete) {
  TZentrelRun run = RunZentrelExe({L"zentrelfix.dll", L"nosuchlib.dll", L"zentrelfix.dll"});
  EXPECT_EQ(run.ExitCode, 1u);
  EXPECT_EQ(run.Out, ReadTextFile(ExpectedFixtureDocument()));
  ExpectOneErrorLine(run, "Cannot open file \"nosuchlib.dll\"");
}
