// The trace log: what the window, the export and plug-ins read from the queue.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "EngineTestSupport.h"
#include "support/TestSupport.h"
#include "Tracer/foundation/uClasses.h"
#include "Tracer/engine/uEventQueue.h"

// Allocation failures on demand, for the logging that must survive running out of memory.
namespace {
thread_local int FailingAllocations = 0;
}

void* operator new(std::size_t size) {
  if (FailingAllocations > 0) {
    --FailingAllocations;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
// The replacements pair malloc with free; the optimiser's check, seeing them inlined, pairs
// new with free.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

class EventQueueTest : public ::testing::Test {
protected:
  void SetUp() override {
    UseProgramTypeLibrary();
    Queue = GetTracerEventQueue();
    Queue->Clear();
  }
  void TearDown() override { Queue->Clear(); }

  static LONG Count(ITracerEvents* list) {
    LONG count = -1;
    EXPECT_EQ(S_OK, list->get_Count(&count));
    return count;
  }
  static TComPtr<ITracerEvent> Item(ITracerEvents* list, LONG index) {
    TComPtr<ITracerEvent> event;
    EXPECT_EQ(S_OK, list->Item(index, event.Put()));
    return event;
  }
  static std::wstring Text(ITracerEvent* event) {
    BSTR text = nullptr;
    EXPECT_EQ(S_OK, event->get_Text(&text));
    std::wstring result = text ? text : L"";
    SysFreeString(text);
    return result;
  }
  static TComPtr<ICallTracerEvent> AsCall(ITracerEvent* event) {
    TComPtr<ICallTracerEvent> call;
    EXPECT_EQ(S_OK, event->QueryInterface(__uuidof(ICallTracerEvent), reinterpret_cast<void**>(call.Put())));
    return call;
  }
  static LONG ThreadIdOf(ITracerEvent* event) {
    LONG id = -1;
    AsCall(event)->get_ThreadId(&id);
    return id;
  }

  void AddCall(const wchar_t* title, uint32_t threadId, bool visible, TComPtr<ITracerEventParams> params = {}) {
    if (!params) params = MakeCallParams(0);
    Queue->AddCalls(title, threadId, 1000, 1000, params.Get(), visible);
  }

  TTracerEventQueue* Queue = nullptr;
};

TEST_F(EventQueueTest, InvisibleCallIsOnlyInAllEventsWhileMessagesAndErrorsAreInBoth) {
  Queue->AddMessage(L"Start");
  AddCall(L"shown", 1, true);
  AddCall(L"hidden", 1, false);
  Queue->AddError(L"cannot resolve");

  ITracerEvents* all = Queue->AllEvents();
  ITracerEvents* visible = Queue->VisibleEvents();
  ASSERT_EQ(4, Count(all));
  ASSERT_EQ(3, Count(visible));
  EXPECT_EQ(L"Start", Text(Item(visible, 0).Get()));
  EXPECT_EQ(L"shown", Text(Item(visible, 1).Get()));
  EXPECT_EQ(L"Error", Text(Item(visible, 2).Get()));
  EXPECT_EQ(L"hidden", Text(Item(all, 2).Get()));
}

TEST_F(EventQueueTest, CallEventCarriesThreadTimeResultAndTheSameParameterList) {
  TComPtr<ITracerEventParams> params = MakeCallParams(17, {{L"hStmt", 5}});
  int64_t start = GetTimeCounter()->GetTimeStamp();
  ScaledSleep(20);
  int64_t stop = GetTimeCounter()->GetTimeStamp();
  Queue->AddCalls(L"OCIStmtExecute", 0x1234, start, stop, params.Get(), true);

  TComPtr<ICallTracerEvent> call = AsCall(Item(Queue->VisibleEvents(), 0).Get());
  LONG threadId = 0;
  double time = 0;
  call->get_ThreadId(&threadId);
  call->get_Time(&time);
  EXPECT_EQ(0x1234, threadId);
  EXPECT_GE(time, 15.0);
  EXPECT_LT(time, ScaledMs(1000));
  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(S_OK, call->get_Result(&result));
  EXPECT_EQ(L"17", VariantText(result));
  TComPtr<ITracerEventParams> logged;
  call->get_Params(logged.Put());
  EXPECT_EQ(params.Get(), logged.Get());
}

TEST_F(EventQueueTest, ThreeDefinitionsAtOneAddressGiveThreeEventsOfOneCall) {
  for (const wchar_t* title : {L"first", L"second", L"third"})
    Queue->AddCalls(title, 77, 100, 250, MakeCallParams(0).Get(), true);
  ITracerEvents* all = Queue->AllEvents();
  ASSERT_EQ(3, Count(all));
  double times[3];
  TComPtr<ITracerEventParams> lists[3];
  for (LONG i = 0; i < 3; ++i) {
    TComPtr<ICallTracerEvent> call = AsCall(Item(all, i).Get());
    EXPECT_EQ(77, ThreadIdOf(Item(all, i).Get()));
    call->get_Time(&times[i]);
    call->get_Params(lists[i].Put());
  }
  EXPECT_EQ(times[0], times[1]);
  EXPECT_EQ(times[1], times[2]);
  EXPECT_NE(lists[0].Get(), lists[1].Get());
  EXPECT_NE(lists[1].Get(), lists[2].Get());
}

TEST_F(EventQueueTest, ResultNeedsAFirstParameterNamedExactlyResult) {
  TComPtr<ITracerEventParams> wrongName = NewParams();
  BSTR name = SysAllocString(L"Result");
  TComPtr<ITracerEventParam> param;
  wrongName->Add(name, param.Put());
  SysFreeString(name);
  Queue->AddCalls(L"wrong name", 1, 0, 0, wrongName.Get(), true);
  Queue->AddCalls(L"no params", 1, 0, 0, NewParams().Get(), true);

  VARIANT result;
  VariantInit(&result);
  EXPECT_TRUE(FAILED(AsCall(Item(Queue->AllEvents(), 0).Get())->get_Result(&result)));
  EXPECT_EQ(L"Assertion failure (src/Tracer/uEventQueue, line 311)", LastErrorInfoText());
  EXPECT_TRUE(FAILED(AsCall(Item(Queue->AllEvents(), 1).Get())->get_Result(&result)));
  EXPECT_EQ(L"Assertion failure (src/Tracer/uEventQueue, line 308)", LastErrorInfoText());
}

TEST_F(EventQueueTest, ErrorEventHoldsItsMessageAsTheOneParameterMsg) {
  Queue->AddError(L"Error executing \"x.js::f\"");
  TComPtr<ITracerEvent> event = Item(Queue->AllEvents(), 0);
  TComPtr<IErrorTracerEvent> error;
  ASSERT_EQ(S_OK, event.As(error));
  TComPtr<ITracerEventParams> params;
  error->get_Params(params.Put());
  EXPECT_EQ(L"msg=Error executing \"x.js::f\"", DescribeParams(params.Get()));
  EXPECT_EQ(L"Error", Text(event.Get()));
  TComPtr<ICallTracerEvent> notACall;
  EXPECT_EQ(E_NOINTERFACE, event.As(notACall));
  // Events serve their vtables only: a late-bound call fails and nothing breaks.
  TComPtr<IDispatch> late;
  ASSERT_EQ(S_OK, event.As(late));
  VARIANT text;
  VariantInit(&text);
  EXPECT_TRUE(FAILED(GetProperty(late.Get(), L"Text", &text)));
}

TEST_F(EventQueueTest, IndexOfFindsTheReferenceItemReturnedAndFocusFollowsTheWindow) {
  AddCall(L"a", 1, true);
  AddCall(L"b", 1, true);
  ITracerEvents* visible = Queue->VisibleEvents();
  LONG index = -5;
  visible->IndexOf(Item(visible, 1).Get(), &index);
  EXPECT_EQ(1, index);
  TComPtr<ITracerEvent> stranger(new TMessageTracerEvent(L"not logged"));
  visible->IndexOf(stranger.Get(), &index);
  EXPECT_EQ(-1, index);

  LONG focused = 0;
  Queue->VisibleEvents()->get_FocusedIndex(&focused);
  EXPECT_EQ(-1, focused);

  struct TFocus : public IVisibleTracerEventsImpl {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    LONG STDMETHODCALLTYPE GetFocusedIndex() override { return 1; }
  } focus;
  Queue->VisibleEvents()->SetImpl(&focus);
  Queue->VisibleEvents()->get_FocusedIndex(&focused);
  Queue->VisibleEvents()->SetImpl(nullptr);
  EXPECT_EQ(1, focused);
}

TEST_F(EventQueueTest, RunningOutOfMemoryWhileLoggingBecomesAnErrorRow) {
  TComPtr<ITracerEventParams> params = MakeCallParams(0);
  const std::wstring call = L"lost call", message = L"lost message";
  FailingAllocations = 1;
  Queue->AddCalls(call, 1, 0, 0, params.Get(), true);
  FailingAllocations = 1;
  Queue->AddMessage(message);
  FailingAllocations = 0;
  ITracerEvents* visible = Queue->VisibleEvents();
  ASSERT_EQ(2, Count(visible));
  EXPECT_EQ(L"msg=Out of memory", [&] {
    TComPtr<IErrorTracerEvent> error;
    Item(visible, 1).As(error);
    TComPtr<ITracerEventParams> list;
    error->get_Params(list.Put());
    return DescribeParams(list.Get());
  }());
  // Logging goes on once memory is back.
  AddCall(L"next", 1, true);
  EXPECT_EQ(L"next", Text(Item(visible, 2).Get()));
}

TEST_F(EventQueueTest, ClearEmptiesBothListsWhileAHeldEventStillAnswers) {
  Queue->AddMessage(L"Finish");
  TComPtr<ITracerEvent> held = Item(Queue->AllEvents(), 0);
  Queue->Clear();
  EXPECT_EQ(0, Count(Queue->AllEvents()));
  EXPECT_EQ(0, Count(Queue->VisibleEvents()));
  EXPECT_EQ(L"Finish", Text(held.Get()));
}

TEST_F(EventQueueTest, ListsAnswerLateBoundCalls) {
  AddCall(L"a", 1, true);
  TComPtr<IDispatch> visible;
  ASSERT_EQ(S_OK, Queue->VisibleEvents()->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(visible.Put())));
  VARIANT count;
  VariantInit(&count);
  ASSERT_EQ(S_OK, GetProperty(visible.Get(), L"Count", &count));
  EXPECT_EQ(L"1", VariantText(count));
}

// One thread logs calls (two of three visible) while the main thread reads the visible list
// and clears the log now and then: each reading sees every visible call once, in order.
TEST_F(EventQueueTest, ReaderAndClearingNeverLoseOrRepeatAnEventOfTheWriter) {
  constexpr uint32_t Calls = 20000;
  TComPtr<ITracerEventParams> params = MakeCallParams(0);
  std::atomic<bool> done{false};
  // Near the end the writer waits until the reader has stopped clearing, so that the tail of
  // the log is there to compare.
  std::atomic<bool> tailReached{false}, clearingStopped{false};
  const TDeadline deadline(60000);
  std::thread writer([&] {
    for (uint32_t i = 1; i <= Calls; ++i) {
      if (i == Calls - 500) {
        tailReached = true;
        while (!clearingStopped && !deadline.Passed()) Sleep(0);
      }
      Queue->AddCalls(L"call", i, 0, 0, params.Get(), i % 3 != 0);
    }
    done = true;
  });

  ITracerEvents* visible = Queue->VisibleEvents();
  LONG read = 0;       // visible events read since the last clear
  LONG lastId = 0;     // thread id of the last event read
  bool cleared = false;  // a clear happened since the last read
  int passes = 0, clears = 0;
  std::vector<std::wstring> faults;
  for (;;) {
    bool finished = done;
    LONG count = Count(visible);
    for (; read < count; ++read) {
      LONG id = ThreadIdOf(Item(visible, read).Get());
      if (id <= lastId) faults.push_back(L"repeated or out of order: " + std::to_wstring(id));
      if (!cleared) {
        // Without a clear in between, the next visible call follows at once.
        LONG expected = lastId + 1;
        if (expected % 3 == 0) ++expected;
        if (id != expected) faults.push_back(L"lost before " + std::to_wstring(id));
      }
      lastId = id;
      cleared = false;
    }
    if (finished) break;
    if (deadline.Passed()) {
      ADD_FAILURE() << "the writer did not finish within " << deadline.Limit() << " ms";
      clearingStopped = true;
      break;
    }
    if (tailReached) clearingStopped = true;
    if (!clearingStopped && ++passes % 7 == 0) {
      Queue->Clear();
      ++clears;
      read = 0;
      cleared = true;
    }
  }
  ASSERT_TRUE(JoinWithin(writer, 60000, "the writer"));
  EXPECT_GT(clears, 0);
  EXPECT_TRUE(faults.empty()) << (faults.empty() ? "" : WideToUtf8(faults.front()));
  EXPECT_EQ(static_cast<LONG>(Calls), lastId);  // the last call is visible (20000 % 3 != 0)

  // What stays after the last clear is a gapless tail of the writer's calls in both lists.
  ITracerEvents* all = Queue->AllEvents();
  LONG allCount = Count(all);
  ASSERT_GT(allCount, 0);
  LONG first = ThreadIdOf(Item(all, 0).Get());
  EXPECT_EQ(static_cast<LONG>(Calls), first + allCount - 1);
  LONG expectedVisible = 0;
  for (LONG id = first; id <= static_cast<LONG>(Calls); ++id)
    if (id % 3 != 0) ++expectedVisible;
  EXPECT_EQ(expectedVisible, Count(visible));
}

}  // namespace
