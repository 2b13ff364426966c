// Writing the trace log for the main window's "Save log..." action: the writer of the type
// chosen in the save dialog, run with the progress window up and the main window disabled.
#pragma once
#include <windows.h>

#include <string>

#include "Tracer/app/uTEQColumns.h"
#include "Tracer/window/uWinForms.h"

// Whether the spreadsheet program can be started (it is told to quit at once).
bool CanWriteExcel();
// The writer of the dialog's filter index (1 CSV, 2 HTML, 3 spreadsheet, replacing an existing
// file: the dialog asked) with the progress window up and the main window disabled; the main
// window is enabled again in every case.
void WriteLogWithProgress(TForm* mainForm, TTEQColumnManager* columns, int filterIndex, const std::wstring& fileName);
// The save dialog's file name: "Calderwisp Log " and the local date and time as yyyymmddhhnnss.
std::wstring DefaultLogFileName();
std::wstring FormatTimeStamp(const SYSTEMTIME& time);
