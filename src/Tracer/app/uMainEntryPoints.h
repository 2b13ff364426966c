// Connects the main window's actions to the windows and writers of their own units: the
// event-properties window, the highlight rules, the options, the about box and the log export.
#pragma once

// Fills MainWindowEntryPoints (start-up calls it before the main window is made).
void InstallMainWindowEntryPoints();
