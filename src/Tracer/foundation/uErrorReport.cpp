#include "Tracer/foundation/uErrorReport.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <new>

#include "Tracer/foundation/uConfig.h"
#include "Tracer/foundation/uGuards.h"
#include "Tracer/foundation/uMultiLanguage.h"
#include "Tracer/foundation/uRaise.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/foundation/uWideStrUtils.h"
#include "lib/dgn/windows/DgnDebugThread.h"
#include "lib/dgn/windows/DgnSysUtils.h"

static const wchar_t* const UnitPath = L"src/Tracer/uErrorReport";

const wchar_t* const SupportAddress = L"support@calderwisp.org";

void PrependTranslatedExceptionLine(Exception& e, const std::string& messageName, const std::wstring& defaultText) {
  std::wstring text;
  GetMultiLanguage()->MessageText(messageName, defaultText, text);
  PrependExceptionLine(e, text);
}

// ---- the Windows line ---------------------------------------------------------------------

namespace {

struct TWindowsName {
  DWORD Major, Minor;
  const wchar_t* Name;
};

const TWindowsName WindowsNames[] = {
    {5, 0, L"Windows 2000"},
    {5, 1, L"Windows XP"},
    {5, 2, L"Windows Server 2003"},
    {6, 0, L"Windows Vista/Server 2008"},
    {6, 1, L"Windows 7/Server 2008 R2"},
};

void AppendServicePackText(std::wstring& name, const OSVERSIONINFOW& info) {
  const size_t length = wcsnlen(info.szCSDVersion, 128);
  if (length > 0) name += L" " + std::wstring(info.szCSDVersion, length);
}

bool RunsUnderWow64() {
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

}  // namespace

std::wstring FormatWindowsVersionText(const OSVERSIONINFOW* info, bool wow64) {
  std::wstring line;
  if (info) {
    std::wstring name = L"Windows";
    for (const TWindowsName& n : WindowsNames)
      if (n.Major == info->dwMajorVersion && n.Minor == info->dwMinorVersion) name = n.Name;
    AppendServicePackText(name, *info);
    line = WideFormat(L"%ls Build %u.%u.%u", name.c_str(), static_cast<unsigned>(info->dwMajorVersion),
                      static_cast<unsigned>(info->dwMinorVersion), static_cast<unsigned>(info->dwBuildNumber));
  }
  if (wow64) line += L" x64";
  return line;
}

std::wstring GetWindowsVersionText() {
  static_assert(sizeof(OSVERSIONINFOW) == 276, "the wide version record");
  OSVERSIONINFOW info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  const bool known = GetVersionExW(&info) != FALSE;
  return FormatWindowsVersionText(known ? &info : nullptr, RunsUnderWow64());
}

// ---- the report ---------------------------------------------------------------------------

void TErrorReport::GetText(std::wstring& text) const {
  text = L"-----ERROR REPORT BEGIN-----\r\n";
  for (const std::wstring& line : Lines) text += line + L"\r\n";
  text += L"-----ERROR REPORT END-----";
}

namespace {

void AddReportSectionLine(TErrorReport& report, const wchar_t* text) {
  report.Lines.push_back(WideFormat(L"-----%ls-----", text));
}

void AddStackDump(TErrorReport& report, const TDgnStackInfoList* stackList) {
  AddReportSectionLine(report, L"BEGIN STACK DUMP");
  try {
    if (stackList)
      for (int i = 0; i < stackList->GetCount(); ++i)
        report.Lines.push_back(FormatLocationInfo(stackList->EntryAt(i)->GetCallerAddr(), true, true, true, false));
  } catch (...) {
    AddReportSectionLine(report, L"END STACK DUMP");
    throw;
  }
  AddReportSectionLine(report, L"END STACK DUMP");
}

}  // namespace

void BuildErrorReport(const Exception& e, const TDgnStackInfoList* stackList, std::wstring& text) {
  TErrorReport report;
  report.Lines.push_back(GetWindowsVersionText());
  report.Lines.push_back(L"Build " + GetFileVersionText(ModuleFilePath(nullptr)));
  report.Lines.push_back(WideFormat(L"(%ls) %ls", e.ClassName(), e.Message().c_str()));
  AddStackDump(report, stackList);
  report.GetText(text);
}

// ---- the mail road ------------------------------------------------------------------------

namespace {

// Everything but the characters a URL never reserves, byte by byte of the UTF-8 text.
std::wstring PercentEncode(const std::wstring& text) {
  static const char* const Hex = "0123456789ABCDEF";
  std::wstring out;
  for (unsigned char c : WideToUtf8(text)) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '.' || c == '_' || c == '~';
    if (plain) {
      out += static_cast<wchar_t>(c);
    } else {
      out += L'%';
      out += static_cast<wchar_t>(Hex[c >> 4]);
      out += static_cast<wchar_t>(Hex[c & 15]);
    }
  }
  return out;
}

}  // namespace

std::wstring FormatMailtoURL(const std::wstring& subject, const std::wstring& body) {
  return WideFormat(L"mailto:%ls?subject=%ls&body=%ls", SupportAddress, PercentEncode(subject).c_str(),
                    PercentEncode(body).c_str());
}

bool OpenMailto(const std::wstring& url) {
  if (url.size() > MaxMailtoLength) return false;
  return ShellExecuteFile(url) > 32;
}

// ---- the error dialog ---------------------------------------------------------------------

namespace {

std::atomic<TErrorDialogFunc> GErrorDialogFunc{nullptr};
std::atomic<TErrorDialogWindowFunc> GErrorDialogWindowFunc{nullptr};

}  // namespace

TErrorDialogFunc SetErrorDialogFunc(TErrorDialogFunc fn) { return GErrorDialogFunc.exchange(fn); }

TErrorDialogWindowFunc SetErrorDialogWindowFunc(TErrorDialogWindowFunc fn) { return GErrorDialogWindowFunc.exchange(fn); }

TErrorDialog::TErrorDialog(std::wstring caption, std::wstring message, std::wstring reportCaption)
    : FCaption(std::move(caption)), FMessage(std::move(message)), FReportCaption(std::move(reportCaption)) {}

int TErrorDialog::ShowModal(HWND owner) {
  if (TErrorDialogFunc fn = GErrorDialogFunc) return fn(*this);
  if (TErrorDialogWindowFunc window = GErrorDialogWindowFunc) return window(*this, owner);
  // No window layer: the message still reaches the user.
  ShowErrorBox(FMessage, MB_OK | MB_ICONERROR);
  return IDOK;
}

std::unique_ptr<TErrorDialog> CreateErrorDialog(const Exception& e) {
  TMultiLanguage* language = GetMultiLanguage();
  return std::make_unique<TErrorDialog>(language->MessageText(SError), e.Message(),
                                        language->MessageText(SSendErrorReport));
}

// ---- the handler --------------------------------------------------------------------------

namespace {

// The handler that the window boundaries' route leads to, and the route it replaced.
std::atomic<TExceptionHandler*> GRouteHandler{nullptr};
TExceptionRoute GPreviousRoute = nullptr;

// Our exceptions as they are; anything else as an exception with its text.
template <class F>
void WithExceptionObject(std::exception_ptr error, F&& fn) {
  try {
    std::rethrow_exception(error);
  } catch (const Exception& e) {
    fn(e);
  } catch (const std::bad_alloc&) {
    fn(Exception(L"Out of memory"));
  } catch (const std::exception& e) {
    fn(Exception(Utf8ToWide(e.what())));
  } catch (...) {
    fn(Exception(L"Unknown exception"));
  }
}

void RouteToHandler() noexcept {
  try {
    TExceptionHandler* handler = GRouteHandler;
    if (handler)
      WithExceptionObject(std::current_exception(),
                          [handler](const Exception& e) { handler->HandleApplicationException(nullptr, e); });
  } catch (...) {
    // The route must not throw: its caller is a window boundary.
  }
}

}  // namespace

TExceptionHandler::TExceptionHandler() {
  if (EnableExceptionStackTracking()) {
    GetDebugThreadList()->OnDebugThreadException = [this](TDgnDebugThread* thread) { HandleThreadException(thread); };
    FOwnsThreadReports = true;
  }
  TExceptionHandler* none = nullptr;
  if (GRouteHandler.compare_exchange_strong(none, this)) {
    GPreviousRoute = SetApplicationExceptionRoute(&RouteToHandler);
    FOwnsRoute = true;
  }
}

TExceptionHandler::~TExceptionHandler() {
  if (FOwnsRoute) {
    SetApplicationExceptionRoute(GPreviousRoute);
    GRouteHandler = nullptr;
  }
  // The registry would otherwise call a freed handler.
  if (FOwnsThreadReports) GetDebugThreadList()->OnDebugThreadException = nullptr;
  DisableExceptionStackTracking();
}

void TExceptionHandler::HandleApplicationException(TObject*, const Exception& e) {
  std::shared_ptr<TDgnStackInfoList> stack = GetLastExceptionStack();
  HandleException(e, stack.get());
}

void TExceptionHandler::HandleThreadException(TDgnDebugThread* thread) {
  CW_ASSERT(GetCurrentThreadId() == DgnMainThreadID(), UnitPath, __LINE__);
  CW_ASSERT(thread != nullptr && thread->ReportedExceptionPtr() != nullptr, UnitPath, __LINE__);
  std::shared_ptr<TDgnStackInfoList> stack = GetLastExceptionStack();
  WithExceptionObject(thread->ReportedExceptionPtr(), [&](const Exception& e) { HandleException(e, stack.get()); });
}

void TExceptionHandler::HandleException(const Exception& e, const TDgnStackInfoList* stackList) {
  if (dynamic_cast<const EAbort*>(&e)) return;
  ShowErrorDialog(e, stackList);
}

std::wstring TExceptionHandler::GetErrorReportTitle() const {
  return Title.empty() ? std::wstring(L"Error report") : Title + L": Error report";
}

void TExceptionHandler::ShowErrorDialog(const Exception& e, const TDgnStackInfoList* stackList) {
  std::unique_ptr<TErrorDialog> dialog = CreateErrorDialog(e);
  const int result = dialog->ShowModal(GetApplicationWindow());
  dialog.reset();
  if (result == IDCANCEL) ReportError(e, stackList);
}

void TExceptionHandler::ReportError(const Exception& e, const TDgnStackInfoList* stackList) {
  if (!MailReport(e, stackList)) SaveAndMailReport(e, stackList);
}

bool TExceptionHandler::MailReport(const Exception& e, const TDgnStackInfoList* stackList) {
  std::wstring text;
  BuildErrorReport(e, stackList, text);
  return OpenMailto(FormatMailtoURL(GetErrorReportTitle(), text));
}

void TExceptionHandler::SaveAndMailReport(const Exception& e, const TDgnStackInfoList* stackList) {
  try {
    std::wstring fileName;
    CreateTempFileName(L"errrpt", 0, fileName);
    {
      // Closed before the mail program is asked to attach it.
      TWideFileStream stream(fileName, fmCreate);
      std::wstring text;
      BuildErrorReport(e, stackList, text);
      const std::string bytes = WideToUtf8(text);
      stream.WriteBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
    }
    const std::wstring body = WideFormat(L"--- Please attach file \"%ls\" to this message --- ", fileName.c_str());
    if (!OpenMailto(FormatMailtoURL(GetErrorReportTitle(), body)))
      ShowErrorBox(WideFormat(L"Error report was saved to \"%ls\". Please send it to %ls", fileName.c_str(),
                              SupportAddress),
                   MB_OK);
  } catch (...) {
    // Nothing more to tell: the report itself failed.
  }
}

TExceptionHandler* GetExceptionHandler() {
  static TObject* instance = nullptr;
  static const TExceptionHandler::TFactory factory;
  return GetServiceInstance<TExceptionHandler>(factory, instance);
}
