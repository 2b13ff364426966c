// The one way the main thread waits (for the engine's lock, for the end of a trace, for a
// thread's end). It waits on a kernel object and the message queue together. While it waits,
// cross-thread sends (synchronised calls), paints, timers and posted messages other than input
// go through, so a worker that calls the main thread never deadlocks and the window keeps
// painting; mouse and keyboard input stays in the queue until the wait is over, as in a modal
// loop, so the user cannot start a second action half-way through the first. A WM_QUIT met
// meanwhile is posted again when the wait ends: it belongs to the program's loop.
#pragma once
#include <windows.h>

// True when handle was signalled, false when timeoutMs passed first. On any other thread than
// the main thread: a plain wait. A failing wait raises ("MsgWaitForMultipleObjectsEx").
bool MainThreadWait(HANDLE handle, DWORD timeoutMs = INFINITE);

// The turns the main thread's waits have taken so far (one per look at the queue); tests read
// it to tell a wait that sleeps from one that spins.
unsigned long long MainThreadWaitTurns();

// Every wait of the foundation goes through this function; tests replace it (answers the one
// it replaced; nullptr puts MainThreadWait back).
using TMainThreadWaitFunc = bool (*)(HANDLE handle, DWORD timeoutMs);
TMainThreadWaitFunc SetMainThreadWaitFunc(TMainThreadWaitFunc func);
// Waits through the current function.
bool WaitOnMainThread(HANDLE handle, DWORD timeoutMs = INFINITE);

// Makes this wait the diagnostics library's (a thread's WaitFor on the main thread). The
// program's threads install it when they are made; start-up installs it too.
void InstallMainThreadWait();
