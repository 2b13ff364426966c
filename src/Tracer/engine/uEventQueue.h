// The trace log: events (messages, errors, calls) as automation objects in two self-locking
// lists, all events and the visible ones, filled by the debugging thread and read by the
// main thread, which polls the visible count at idle time.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "Tracer/com/CalderwispTlb.h"
#include "Tracer/com/uAutoObject.h"
#include "Tracer/com/uInterfaceList.h"
#include "Tracer/foundation/uSingletons.h"
#include "Tracer/engine/uTracerEventParams.h"

// The main window answers which row of the log view has the focus.
struct IVisibleTracerEventsImpl : public IUnknown {
  virtual LONG STDMETHODCALLTYPE GetFocusedIndex() = 0;
};
__CRT_UUID_DECL(IVisibleTracerEventsImpl, 0x756EE474, 0xD329, 0x42E1, 0x8F, 0x82, 0xAE, 0x3E, 0x77,
                0xCB, 0x9A, 0xF9)

// ---- events ----------------------------------------------------------------------------------

template <class Intf>
class TTracerEventBase : public TAutoIntfObject<Intf> {
public:
  explicit TTracerEventBase(const std::wstring& text);
  explicit TTracerEventBase(TSharedText text);
  HRESULT STDMETHODCALLTYPE get_Text(BSTR* Text) override;
  virtual std::wstring GetText() const { return *FText; }

protected:
  TSharedText FText;
};

// Its parameter list is handed over by its maker (a call's list, shared, not copied).
template <class Intf>
class TParamTracerEventBase : public TTracerEventBase<Intf> {
public:
  using TTracerEventBase<Intf>::TTracerEventBase;
  HRESULT STDMETHODCALLTYPE get_Params(ITracerEventParams** Params) override;
  ITracerEventParams* Params() const { return FParams.Get(); }
  void SetParams(ITracerEventParams* params) { FParams = TComPtr<ITracerEventParams>(params); }

protected:
  TComPtr<ITracerEventParams> FParams;
};

using TTracerEvent = TTracerEventBase<ITracerEvent>;

class TMessageTracerEvent : public TTracerEvent {
public:
  using TTracerEvent::TTracerEvent;
};

using TParamTracerEvent = TParamTracerEventBase<IParamTracerEvent>;

class TErrorTracerEvent : public TParamTracerEventBase<IErrorTracerEvent> {
public:
  explicit TErrorTracerEvent(const std::wstring& message);
  // The translated word for "Error"; the message is the parameter "msg".
  std::wstring GetText() const override;
};

class TCallTracerEvent : public TParamTracerEventBase<ICallTracerEvent> {
public:
  explicit TCallTracerEvent(TSharedText title);
  explicit TCallTracerEvent(const std::wstring& title) : TCallTracerEvent(InternText(title)) {}
  HRESULT STDMETHODCALLTYPE get_ThreadId(LONG* ThreadId) override;
  HRESULT STDMETHODCALLTYPE get_Time(double* Time) override;
  HRESULT STDMETHODCALLTYPE get_Result(VARIANT* Result) override;

  uint32_t ThreadId = 0;
  double Time = 0;
};

// ---- event lists -----------------------------------------------------------------------------

using TTracerEventList = TInterfaceList<ITracerEvent>;

template <class Intf>
class TTracerEventsBase : public TAutoIntfObject<Intf> {
public:
  TTracerEventsBase();
  HRESULT STDMETHODCALLTYPE get_Count(LONG* Count) override;
  HRESULT STDMETHODCALLTYPE Item(LONG Index, ITracerEvent** Event) override;
  HRESULT STDMETHODCALLTYPE IndexOf(ITracerEvent* Event, LONG* Index) override;
  TTracerEventList& List() { return FList; }

protected:
  TTracerEventList FList;
};

using TTracerEvents = TTracerEventsBase<ITracerEvents>;

class TVisibleTracerEvents : public TTracerEventsBase<IVisibleTracerEvents> {
public:
  HRESULT STDMETHODCALLTYPE get_FocusedIndex(LONG* Index) override;
  void SetImpl(IVisibleTracerEventsImpl* impl);

private:
  std::mutex FImplLock;
  TComPtr<IVisibleTracerEventsImpl> FImpl;
};

// ---- queue -----------------------------------------------------------------------------------

class TTracerEventQueue : public TObject {
public:
  class TFactory;
  TTracerEventQueue();
  ~TTracerEventQueue() override;

  void Add(ITracerEvent* event, bool visible);
  void AddMessage(const std::wstring& text);
  // Also sounds the error beep.
  void AddError(const std::wstring& text);
  // One call event: the call's title, its thread, the time between the two stamps of the time
  // counter and the parameter list the entry, return and handler filled (shared, not copied).
  void AddCalls(const std::wstring& title, uint32_t threadId, int64_t startTime, int64_t endTime,
                ITracerEventParams* params, bool visible);
  void Clear();
  // What this thread adds from now on is dropped: a trace that a Stop ended without it has its
  // "Finish" in the log already.
  void SealThread(uint32_t threadId) { FSealedThread = threadId; }
  // Once that thread's end is seen: the system may give its id to a thread of a later trace.
  void UnsealThread(uint32_t threadId) { FSealedThread.compare_exchange_strong(threadId, 0); }
  uint32_t SealedThread() const { return FSealedThread; }

  TTracerEvents* AllEvents() const { return FAllEvents.Get(); }
  TVisibleTracerEvents* VisibleEvents() const { return FVisibleEvents.Get(); }

private:
  std::mutex FLock;
  std::atomic<uint32_t> FSealedThread{0};
  TComPtr<TTracerEvents> FAllEvents;
  TComPtr<TVisibleTracerEvents> FVisibleEvents;
  // Kept aside so that running out of memory can still be shown in the log.
  TComPtr<ITracerEvent> FOutOfMemoryEvent;

  void ReportOutOfMemory() noexcept;
};

TTracerEventQueue* GetTracerEventQueue();
