// The named guards: whatever a body raises stops at the guard and goes where that kind of
// boundary sends it.
#include "Tracer/foundation/uGuards.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uUtils.h"
#include "support/TestSupport.h"

namespace {

const IID IID_Probe = {0x6A1C0F52, 0x3B7D, 0x4E19, {0x9C, 0x41, 0x27, 0x0D, 0x5E, 0x88, 0x13, 0xA4}};

// The thread's error information, taken (GetErrorInfo clears it).
struct TErrorInfoText {
  bool Present = false;
  std::wstring Description;
  GUID Guid = GUID_NULL;
};

TErrorInfoText TakeErrorInfo() {
  TErrorInfoText result;
  TComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Put()) != S_OK || !info) return result;
  result.Present = true;
  TBStr text;
  info->GetDescription(text.Put());
  result.Description = text.Str();
  info->GetGUID(&result.Guid);
  return result;
}

void SetThreadErrorInfo(const std::wstring& description) {
  TComPtr<ICreateErrorInfo> create;
  ASSERT_EQ(S_OK, CreateErrorInfo(create.Put()));
  create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
  TComPtr<IErrorInfo> info;
  ASSERT_EQ(S_OK, create.As(info));
  SetErrorInfo(0, info.Get());
}

// Message boxes answered by the test.
struct TBoxes {
  static std::vector<std::wstring> Texts;
  static std::vector<UINT> Flags;
  static int Answer(HWND, const std::wstring& text, const std::wstring&, UINT flags) {
    Texts.push_back(text);
    Flags.push_back(flags);
    return IDOK;
  }
  TMessageBoxFunc Old;
  TBoxes() : Old(SetMessageBoxFunc(&Answer)) {
    Texts.clear();
    Flags.clear();
  }
  ~TBoxes() { SetMessageBoxFunc(Old); }
};
std::vector<std::wstring> TBoxes::Texts;
std::vector<UINT> TBoxes::Flags;

// An application route that records what it was handed.
std::vector<std::wstring> gRouted;
void RecordingRoute() noexcept {
  try {
    throw;
  } catch (const Exception& e) {
    gRouted.push_back(e.Message());
  } catch (...) {
    gRouted.push_back(L"?");
  }
}

struct TRoute {
  TExceptionRoute Old;
  TRoute() : Old(SetApplicationExceptionRoute(&RecordingRoute)) { gRouted.clear(); }
  ~TRoute() { SetApplicationExceptionRoute(Old); }
};

struct TFailureCase {
  const char* Name;
  void (*Raise)();
  HRESULT Code;
  const wchar_t* Message;
};

const TFailureCase kFailures[] = {
    {"OLE error keeps its code", [] { throw EOleSysError(L"denied", E_ACCESSDENIED); }, E_ACCESSDENIED, L"denied"},
    {"OLE error with a success code", [] { throw EOleSysError(L"odd", S_FALSE); }, E_UNEXPECTED, L"odd"},
    {"abort", [] { throw EAbort(L"stopped"); }, E_ABORT, L"stopped"},
    {"our exception", [] { throw Exception(L"wide \u00FC\u2713"); }, E_UNEXPECTED, L"wide \u00FC\u2713"},
    {"out of memory", [] { throw std::bad_alloc(); }, E_OUTOFMEMORY, L"Out of memory"},
    {"standard exception", [] { throw std::runtime_error("standard"); }, E_UNEXPECTED, L"standard"},
    {"anything else", [] { throw 42; }, E_UNEXPECTED, L"Unknown exception"},
};

}  // namespace

TEST(ComMethodGuard, EachKindOfExceptionBecomesItsResultAndErrorInformation) {
  for (const TFailureCase& c : kFailures) {
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(c.Code, ComMethodGuard(IID_Probe, c.Raise)) << c.Name;
    TErrorInfoText info = TakeErrorInfo();
    EXPECT_TRUE(info.Present) << c.Name;
    EXPECT_EQ(c.Message, info.Description) << c.Name;
    EXPECT_TRUE(IsEqualGUID(IID_Probe, info.Guid)) << c.Name;
  }
}

TEST(ComMethodGuard, ABodyThatSucceedsAnswersItsOwnResult) {
  EXPECT_EQ(S_OK, ComMethodGuard(IID_Probe, [] {}));
  EXPECT_EQ(S_FALSE, ComMethodGuard(IID_Probe, [] { return S_FALSE; }));
  EXPECT_EQ(DISP_E_UNKNOWNNAME, ComMethodGuard(IID_Probe, [] { return DISP_E_UNKNOWNNAME; }));
}

TEST(ComMethodGuard, AnInvokeReportsThroughTheCallersExceptionRecord) {
  for (const TFailureCase& c : kFailures) {
    TExcepInfo record;
    record.scode = E_FAIL;  // stale content is overwritten
    EXPECT_EQ(DISP_E_EXCEPTION, ComMethodGuard(&record, 1001, c.Raise)) << c.Name;
    EXPECT_EQ(1001, record.wCode) << c.Name;
    EXPECT_EQ(S_OK, record.scode) << c.Name;
    EXPECT_EQ(c.Message, BStrToWide(record.bstrDescription)) << c.Name;
  }
  EXPECT_EQ(DISP_E_EXCEPTION, ComMethodGuard(static_cast<EXCEPINFO*>(nullptr), 1001, kFailures[0].Raise));
  TExcepInfo untouched;
  EXPECT_EQ(S_OK, ComMethodGuard(&untouched, 1001, [] {}));
  EXPECT_EQ(nullptr, untouched.bstrDescription);
}

TEST(WindowProcGuard, AnExceptionGoesToTheApplicationsRouteAndTheDefaultIsAnswered) {
  TRoute route;
  EXPECT_EQ(7, WindowProcGuard(0, [] { return 7; }));
  EXPECT_EQ(-1, WindowProcGuard(-1, []() -> int { throw Exception(L"in a window procedure"); }));
  WindowProcGuard([] { throw Exception(L"in a timer"); });
  EXPECT_EQ((std::vector<std::wstring>{L"in a window procedure", L"in a timer"}), gRouted);
}

TEST(WindowProcGuard, WithoutARouteTheMessageIsShownAndAnAbortIsNot) {
  TBoxes boxes;
  WindowProcGuard([] { throw Exception(L"shown"); });
  WindowProcGuard([] { throw EAbort(L"quiet"); });
  WindowProcGuard([] { throw std::bad_alloc(); });
  EXPECT_EQ((std::vector<std::wstring>{L"shown", L"Out of memory"}), TBoxes::Texts);
  ASSERT_EQ(2u, TBoxes::Flags.size());
  EXPECT_EQ(static_cast<UINT>(MB_OK | MB_ICONERROR), TBoxes::Flags[0]);
}

TEST(ExportGuard, ForeignCallersGetTheFailedResult) {
  EXPECT_EQ(S_OK, ExportGuard(E_UNEXPECTED, [] { return S_OK; }));
  EXPECT_EQ(E_UNEXPECTED, ExportGuard(E_UNEXPECTED, []() -> HRESULT { throw Exception(L"x"); }));
  EXPECT_EQ(0u, ExportGuard(0u, []() -> unsigned { throw 1; }));
}

TEST(ProgramEntryGuard, AFailureIsShownPlainlyEvenWithARouteAndGivesTheExitCode) {
  TBoxes boxes;
  TRoute route;
  EXPECT_EQ(0, ProgramEntryGuard(1, [] { return 0; }));
  EXPECT_EQ(1, ProgramEntryGuard(1, []() -> int { throw Exception(L"Error loading Calderwisp.tlb"); }));
  EXPECT_EQ(std::vector<std::wstring>{L"Error loading Calderwisp.tlb"}, TBoxes::Texts);
  EXPECT_TRUE(gRouted.empty());
}

TEST(PluginCallGuard, AFailedCallRaisesWithTheCalleesOwnDescription) {
  struct TCase {
    const char* Name;
    bool StaleInfoBefore;
    const wchar_t* CalleeDescription;  // nullptr: the callee sets none
    HRESULT Result;
    std::wstring Expected;
  };
  const TCase cases[] = {
      {"the callee's description", false, L"plug-in says no", E_FAIL, L"plug-in says no"},
      {"a stale description is not the callee's", true, nullptr, E_ACCESSDENIED, OleErrorText(E_ACCESSDENIED)},
      {"an empty description gives the system's text", false, L"", E_ACCESSDENIED, OleErrorText(E_ACCESSDENIED)},
  };
  for (const TCase& c : cases) {
    if (c.StaleInfoBefore) SetThreadErrorInfo(L"stale");
    std::wstring message;
    HRESULT code = S_OK;
    try {
      PluginCallGuard([&] {
        if (c.CalleeDescription) SetThreadErrorInfo(c.CalleeDescription);
        return c.Result;
      });
    } catch (const EOleSysError& e) {
      message = e.Message();
      code = e.ErrorCode;
    }
    EXPECT_EQ(c.Result, code) << c.Name;
    EXPECT_EQ(c.Expected, message) << c.Name;
  }
}

TEST(PluginCallGuard, ASuccessfulCallAnswersItsResultAndACallWithoutOneIsBracketed) {
  EXPECT_EQ(S_FALSE, PluginCallGuard([] { return S_FALSE; }));
  SetThreadErrorInfo(L"stale");
  bool called = false;
  PluginCallGuard([&] {
    called = true;
    EXPECT_FALSE(TakeErrorInfo().Present) << "cleared before the call";
  });
  EXPECT_TRUE(called);
}

// A fault in the program's own code before any window exists (no exception tracking yet):
// the plain message box and exit code 1, not the system's crash.
TEST(ProgramEntryGuard, AFaultBeforeAnyWindowIsShownPlainlyAndGivesExitCode1) {
  TTempDir dir;
  const std::wstring messageFile = dir.File(L"box.txt");
  std::wstring cmd = L"\"" + TestBinDir() + L"startfault.exe\" \"" + messageFile + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  DWORD code = 9999;
  if (WaitForSingleObject(pi.hProcess, ScaledMs(30000)) == WAIT_OBJECT_0)
    GetExitCodeProcess(pi.hProcess, &code);
  else
    TerminateProcess(pi.hProcess, 9998);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  EXPECT_EQ(code, 1u) << std::hex << code;
  EXPECT_EQ(ReadTextFile(messageFile).rfind("Access violation", 0), 0u) << ReadTextFile(messageFile);
}
