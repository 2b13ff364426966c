// The main window's log view on long logs: the real window, shown (a display is needed: Xvfb),
// its queue filled in-process the way the window test of a million rows fills it, and End,
// Home, Page Down and a scroll-bar drag timed from a second thread, from the key to the
// repainted rows, while the window's thread runs the program's message loop.
#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <exception>
#include <memory>
#include <string>
#include <thread>

#include "Bench.h"
#include "LogViewNavigation.h"
#include "Tracer/app/fMain.h"
#include "Tracer/app/uMainEntryPoints.h"
#include "Tracer/com/uMiniComServer.h"
#include "Tracer/engine/uEventQueue.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/window/uWinForms.h"

namespace {

constexpr int Runs = 5;

std::string Thousands(int n) {
  std::string s = std::to_string(n);
  for (int i = static_cast<int>(s.size()) - 3; i > 0; i -= 3) s.insert(static_cast<size_t>(i), ",");
  return s;
}

// The window's thread runs the program's loop (idle passes and action updates included) while
// `drive` runs on a second thread; an exception of `drive` comes back here.
template <class F>
void WhileDriving(HWND main, F drive) {
  std::atomic<bool> done{false};
  std::exception_ptr failure;
  std::thread driver([&] {
    try {
      drive();
    } catch (...) {
      failure = std::current_exception();
    }
    done = true;
    PostMessageW(main, WM_NULL, 0, 0);
  });
  while (!done) Application()->HandleMessage();
  driver.join();
  if (failure) std::rethrow_exception(failure);
}

void LogViewNavigation(TBenchGroup& group) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  GetMiniComServer()->SetTypeLibFileName(ProgramFolder() + L"\\Calderwisp.tlb");
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring userFolder = std::wstring(temp) + L"cw_bench_logview_" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(userFolder.c_str(), nullptr);
  SetUserDataFolderOverride(userFolder);
  InstallMainWindowEntryPoints();
  const int rowCounts[] = {10000, 100000, 1000000};
  TNavigationTimes times[3];
  {
    auto main = std::make_unique<TfrmMain>(nullptr);
    main->Create();
    main->Show();
    TTracerEventQueue* queue = GetTracerEventQueue();
    for (int i = 0; i < 3; ++i) {
      while (queue->VisibleEvents()->List().Count() < rowCounts[i]) queue->AddMessage(L"event");
      bool idleDone = true;
      main->AppIdle(idleDone);
      HWND list = main->Layout().lvwTrace->Handle();
      WhileDriving(main->Handle(), [&] { times[i] = MeasureNavigation(main->Handle(), list, Runs); });
    }
    main.reset();
    queue->Clear();
  }
  DeleteFileW((userFolder + L"\\calderwisp.xml").c_str());
  RemoveDirectoryW(userFolder.c_str());
  // Each time's ratio is to the same step at 100,000 rows.
  const std::pair<const char*, double TNavigationTimes::*> steps[] = {{"End", &TNavigationTimes::End},
                                                                      {"Home", &TNavigationTimes::Home},
                                                                      {"Page Down", &TNavigationTimes::PageDown},
                                                                      {"scroll-bar drag", &TNavigationTimes::Drag}};
  for (const auto& [name, field] : steps) {
    const size_t base = group.RowCount() + 1;
    for (int i = 0; i < 3; ++i)
      group.RecordMs(std::string(name) + ", " + Thousands(rowCounts[i]) + " rows (median of 5)", times[i].*field, base);
  }
}

const bool registered =
    RegisterBenchmark("Log view: key to repainted rows (ratio to 100,000 rows; needs a display)", LogViewNavigation, true);

}  // namespace
