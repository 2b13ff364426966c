// The error dialog's window: a dialog built in code (no resource), its controls made and sized
// to the texts when it opens.
#pragma once
#include <windows.h>

#include "Tracer/foundation/uErrorReport.h"

// Shows dialog modally, owned by owner: IDOK, or IDCANCEL for the report button, Escape and the
// close box. The application hands this to the exception handler (SetErrorDialogWindowFunc).
int ShowErrorDialogWindow(const TErrorDialog& dialog, HWND owner);
