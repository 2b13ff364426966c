#include "Tracer/window/WindowTestSupport.h"

#include <cstdlib>

#include "Tracer/foundation/uGuards.h"
#include "Tracer/window/uWinForms.h"
#include "lib/rtl/SysUtils.h"
#include "support/Screenshot.h"
#include "support/TestSupport.h"

namespace {

std::vector<std::wstring> GCaught;

void RecordException() noexcept {
  try {
    throw;
  } catch (const Exception& e) {
    GCaught.push_back(e.Message());
  } catch (const std::exception& e) {
    GCaught.push_back(Utf8ToWide(e.what()));
  } catch (...) {
    GCaught.push_back(L"(unknown)");
  }
}

}  // namespace

bool SaveWindowScreenshot(HWND window, const std::wstring& name) {
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
  TRgbImage image = CaptureWindow(window);
  if (image.Width == 0) return false;
  WriteTextFile(TestBinDir() + name + L".png", EncodePng(image));
  return true;
}

bool PumpUntil(const std::function<bool()>& done, int ms) {
  const DWORD start = GetTickCount(), limit = ScaledMs(static_cast<unsigned long>(ms));
  for (;;) {
    Application()->ProcessMessages();
    if (done()) return true;
    if (GetTickCount() - start > limit) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
}

void PumpFor(int ms) {
  PumpUntil([] { return false; }, ms);
}

TCaughtExceptions::TCaughtExceptions() {
  GCaught.clear();
  SetApplicationExceptionRoute(RecordException);
}

TCaughtExceptions::~TCaughtExceptions() { SetApplicationExceptionRoute(nullptr); }

const std::vector<std::wstring>& TCaughtExceptions::Messages() const { return GCaught; }

TFormDriver::TFormDriver(int ms) : FSafety(new TTimer(nullptr, L"tmrDriverSafety", ScaledMs(static_cast<unsigned long>(ms)))) {
  FSafety->OnTimer = [](TTimer*) {
    for (TForm* f : Application()->Forms())
      if (f->IsModal()) f->SetModalResult(mrCancel);
  };
  // A step may open a modal form itself, whose loop calls this handler again: the step is
  // counted as taken before it acts.
  Application()->OnIdle = [this](bool&) {
    if (Done()) return;
    for (TForm* f : std::vector<TForm*>(Application()->Forms()))
      if (f->Visible() && FSteps[FNext].Accepts(f)) {
        const TFormStep step = FSteps[FNext++];
        step.Act(f);
        return;
      }
  };
}

TFormDriver::~TFormDriver() {
  Application()->OnIdle = nullptr;
  delete FSafety;
}

bool ActivateWithin(HWND window, int ms) {
  return PumpUntil(
      [window] {
        if (GetActiveWindow() == window) return true;
        SetForegroundWindow(window);
        SetActiveWindow(window);
        return GetActiveWindow() == window;
      },
      ms);
}

bool PressKeyUntil(HWND window, HWND target, WPARAM key, const std::function<bool()>& done, int ms) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    ActivateWithin(window, ms);
    PostMessageW(target, WM_KEYDOWN, key, 1);
    PostMessageW(target, WM_KEYUP, key, 0xC0000001);
    if (PumpUntil(done, 1000)) return true;
  }
  return false;
}
