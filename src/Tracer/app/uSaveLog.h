// Saving the trace log, as the main window's "Save log..." action does it: the save dialog
// (CSV, HTML and, when it can be started, the spreadsheet program), the writer for the chosen
// type, the progress window while the main window is disabled, then the saved file opened.
#pragma once
#include <windows.h>

#include <string>

#include "Tracer/app/uTEQColumns.h"
#include "Tracer/window/uWinForms.h"

// What the save dialog is given and, when the user confirms, gives back.
struct TSaveLogDialogParams {
  HWND Owner = nullptr;
  std::wstring Filter;       // "CSV (*.csv)|*.csv|..."
  std::wstring DefaultExt;   // "htm"
  std::wstring InitialDir;
  std::wstring FileName;     // in: the proposed name; out: the full path chosen
  int FilterIndex = 1;       // 1-based
};
// The dialog (nullptr: the system's save dialog, which asks before replacing a file).
using TSaveLogDialogFunc = bool (*)(TSaveLogDialogParams& params);
TSaveLogDialogFunc SetSaveLogDialogFunc(TSaveLogDialogFunc fn);
// Opens the saved file (nullptr: the shell's "open", maximised).
using TOpenSavedLogFunc = void (*)(const std::wstring& fileName);
TOpenSavedLogFunc SetOpenSavedLogFunc(TOpenSavedLogFunc fn);

// Whether the spreadsheet program can be started (it is told to quit at once).
bool CanWriteExcel();
// CSV and HTML, and the spreadsheet type when its application can be started (and is told to
// quit at once).
std::wstring LogSaveFilter();

// The whole flow; false when the user cancelled the dialog or a save is already running (an
// action reached again while the export runs starts nothing). A failure is raised with the
// first line "Error saving log"; the main window is enabled again in every case.
bool ExecuteSaveLog(TForm* mainForm, TTEQColumnManager* columns);
// Whether the flow runs now.
bool IsSavingLog();
// The writer of the dialog's filter index (1 CSV, 2 HTML, 3 spreadsheet, replacing an existing
// file: the dialog asked) with the progress window up and the main window disabled; false,
// writing nothing, while another export runs.
bool WriteLogWithProgress(TForm* mainForm, TTEQColumnManager* columns, int filterIndex, const std::wstring& fileName);
