// Worker threads: their work runs in a single-threaded apartment, and an exception of the work
// is reported once in the main thread.
#include <gtest/gtest.h>

#include <objbase.h>

#include "Tracer/foundation/uAppThread.h"
#include "lib/dgn/windows/DgnStackInfo.h"
#include "support/TestSupport.h"

namespace {

class TProbeThread : public TAppThread {
public:
  explicit TProbeThread(bool raise, Exception* error = nullptr) : FRaise(raise), FError(error) {}
  APTTYPE Apartment = APTTYPE_CURRENT;
  HRESULT AfterWork = S_OK;

protected:
  void DoExecute() override {
    APTTYPEQUALIFIER qualifier;
    CoGetApartmentType(&Apartment, &qualifier);
    if (FRaise) {
      if (FError) FError->Rethrow();
      throw Exception(L"work failed");
    }
  }

private:
  bool FRaise;
  Exception* FError;
};

// Counts the reports the main thread receives while it waits for the thread.
struct TReportCounter {
  TReportCounter() {
    GetDebugThreadList()->OnDebugThreadException = [this](TDgnDebugThread* t) {
      ++Reports;
      if (t->ReportedException()) Message = t->ReportedException()->Message();
    };
  }
  ~TReportCounter() { GetDebugThreadList()->OnDebugThreadException = nullptr; }
  int Reports = 0;
  std::wstring Message;
};

}  // namespace

TEST(AppThread, WorkRunsInASingleThreadedApartment) {
  TReportCounter counter;
  TProbeThread thread(false);
  thread.Start();
  ASSERT_TRUE(WaitForWorker(thread, 10000));
  EXPECT_EQ(thread.Apartment, APTTYPE_STA);
  EXPECT_EQ(counter.Reports, 0);
}

TEST(AppThread, AnExceptionOfTheWorkIsReportedOnceInTheMainThread) {
  TReportCounter counter;
  TProbeThread thread(true);
  thread.Start();
  ASSERT_TRUE(WaitForWorker(thread, 10000));
  EXPECT_EQ(counter.Reports, 1);
  EXPECT_EQ(counter.Message, L"work failed");
  EXPECT_FALSE(thread.FatalException());
  // The apartment was left: a new one can be entered on the same thread no more, but the
  // thread ended normally.
  EXPECT_TRUE(thread.Finished());
}

TEST(AppThread, AnAbortIsNotReported) {
  TReportCounter counter;
  EAbort abort(L"quiet");
  TProbeThread thread(true, &abort);
  thread.Start();
  ASSERT_TRUE(WaitForWorker(thread, 10000));
  EXPECT_EQ(counter.Reports, 0);
  EXPECT_FALSE(thread.FatalException());
}
