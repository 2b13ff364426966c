// What the user sees when the program fails, and what he can send back: the translated context
// line of an exception, the one-line description of the running Windows, the error report with
// its stack trace, and the application's exception handler with what its error dialog asks.
#pragma once
#include <windows.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "Tracer/foundation/uSingletons.h"
#include "lib/dgn/windows/DgnStackInfo.h"
#include "lib/rtl/SysUtils.h"

class TDgnDebugThread;

// Puts the translated text of the message messageName (defaultText when it has none) in front
// of e's message; the caller raises e again.
void PrependTranslatedExceptionLine(Exception& e, const std::string& messageName, const std::wstring& defaultText);

// "<name>[ <service pack>] Build <major>.<minor>.<build>[ x64]"; empty (but for " x64") when
// the system does not tell its version.
std::wstring GetWindowsVersionText();
// The same line from the system's answers: info nullptr when the version call failed, wow64
// when the program runs in the 32-bit layer of a 64-bit system.
std::wstring FormatWindowsVersionText(const OSVERSIONINFOW* info, bool wow64);

// Recipient of every error report mail, also named in the fallback message and linked by the
// about box.
extern const wchar_t* const SupportAddress;
// Longest mail link handed to the shell: longer links are cut by the shell or the mail
// program, so such a report goes to the temporary file instead.
constexpr size_t MaxMailtoLength = 2083;

class TErrorReport : public TObject {
public:
  // The begin marker, each line followed by CR LF, the end marker (no line break after it).
  void GetText(std::wstring& text) const;
  std::vector<std::wstring> Lines;
};

// The whole report: Windows line, build line, "(class) message", the stack dump (innermost
// call first; the two markers alone without a stack list), framed by the report markers.
void BuildErrorReport(const Exception& e, const TDgnStackInfoList* stackList, std::wstring& text);
// A "mailto:" link to SupportAddress; subject and body percent-encoded as UTF-8 (everything
// but letters, digits and "-._~").
std::wstring FormatMailtoURL(const std::wstring& subject, const std::wstring& body);
// Hands the link to the shell; False when the shell fails or the link is too long for it.
bool OpenMailto(const std::wstring& url);

// What the error dialog asks: error icon and title, the message, OK and the report button (the
// cancel button, relabelled). The window layer shows it (uErrorDialog).
class TErrorDialog : public TObject {
public:
  TErrorDialog(std::wstring caption, std::wstring message, std::wstring reportCaption);
  // Modal, owned by owner; IDOK, or IDCANCEL for the report button, Escape and the close box.
  // With a dialog function set (tests), that function answers instead; without a window to
  // show it in, the message goes to the plain message box and the answer is IDOK.
  int ShowModal(HWND owner);
  const std::wstring& Caption() const { return FCaption; }
  const std::wstring& Message() const { return FMessage; }
  const std::wstring& ReportCaption() const { return FReportCaption; }

private:
  std::wstring FCaption;
  std::wstring FMessage;
  std::wstring FReportCaption;
};

// The dialog for e, its report button captioned with the message "SSendErrorReport".
std::unique_ptr<TErrorDialog> CreateErrorDialog(const Exception& e);
// Error dialogs go through this function, so tests can answer them (nullptr: the real dialog).
using TErrorDialogFunc = int (*)(const TErrorDialog& dialog);
TErrorDialogFunc SetErrorDialogFunc(TErrorDialogFunc fn);
// The window that shows the real dialog; the window layer's application sets it.
using TErrorDialogWindowFunc = int (*)(const TErrorDialog& dialog, HWND owner);
TErrorDialogWindowFunc SetErrorDialogWindowFunc(TErrorDialogWindowFunc fn);

// Every exception that reaches a window boundary, and every exception a worker thread hands to
// the main thread, ends here: an error dialog whose report button mails the error report.
class TExceptionHandler : public TObject {
public:
  // Turns exception tracking on; as its first user, takes the worker threads' reports; routes
  // the window boundaries' exceptions here.
  TExceptionHandler();
  // Gives back the route and the worker reports, and turns tracking off.
  ~TExceptionHandler() override;
  TExceptionHandler(const TExceptionHandler&) = delete;
  TExceptionHandler& operator=(const TExceptionHandler&) = delete;

  // An exception of the calling thread, with that thread's last trace.
  void HandleApplicationException(TObject* sender, const Exception& e);
  // A worker's reported exception, in the main thread (its trace is the worker's meanwhile).
  void HandleThreadException(TDgnDebugThread* thread);
  // Nothing for EAbort and its descendants; the error dialog for anything else.
  void HandleException(const Exception& e, const TDgnStackInfoList* stackList);
  // The mail subject: "Error report", after Title and ": " when there is a title.
  std::wstring GetErrorReportTitle() const;

  // The application's title; the main window sets it.
  std::wstring Title;

  using TFactory = TServiceFactory<TExceptionHandler, TSimpleObjectFactory>;

private:
  void ShowErrorDialog(const Exception& e, const TDgnStackInfoList* stackList);
  void ReportError(const Exception& e, const TDgnStackInfoList* stackList);
  bool MailReport(const Exception& e, const TDgnStackInfoList* stackList);
  void SaveAndMailReport(const Exception& e, const TDgnStackInfoList* stackList);

  bool FOwnsThreadReports = false;
  bool FOwnsRoute = false;
};

TExceptionHandler* GetExceptionHandler();
