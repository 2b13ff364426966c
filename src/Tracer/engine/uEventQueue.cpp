#include "Tracer/engine/uEventQueue.h"

#include <new>

#include "Tracer/foundation/uClasses.h"
#include "Tracer/foundation/uMultiLanguage.h"
#include "Tracer/foundation/uOleVariant.h"

namespace {

const wchar_t* const UnitPath = L"src/Tracer/uEventQueue";

}  // namespace

// ---- events ----------------------------------------------------------------------------------

template <class Intf>
TTracerEventBase<Intf>::TTracerEventBase(const std::wstring& text)
    : TAutoIntfObject<Intf>(), FText(std::make_shared<const std::wstring>(text)) {}

template <class Intf>
TTracerEventBase<Intf>::TTracerEventBase(TSharedText text) : TAutoIntfObject<Intf>(), FText(std::move(text)) {}

template <class Intf>
HRESULT STDMETHODCALLTYPE TTracerEventBase<Intf>::get_Text(BSTR* Text) {
  return this->ComMethodGuard([&] { *Text = TBStr(GetText()).Detach(); });
}

template <class Intf>
HRESULT STDMETHODCALLTYPE TParamTracerEventBase<Intf>::get_Params(ITracerEventParams** Params) {
  return this->ComMethodGuard([&] { *Params = TComPtr<ITracerEventParams>(FParams).Detach(); });
}

template class TTracerEventBase<ITracerEvent>;
template class TTracerEventBase<IParamTracerEvent>;
template class TTracerEventBase<IErrorTracerEvent>;
template class TTracerEventBase<ICallTracerEvent>;
template class TParamTracerEventBase<IParamTracerEvent>;
template class TParamTracerEventBase<IErrorTracerEvent>;
template class TParamTracerEventBase<ICallTracerEvent>;

TErrorTracerEvent::TErrorTracerEvent(const std::wstring& message)
    : TParamTracerEventBase<IErrorTracerEvent>(InternText(L"Error")) {
  TComPtr<TTracerEventParams> params = NewTracerEventParamList();
  params->AppendParam(InternText(L"msg"), TOleVariant(message), true);
  FParams = TComPtr<ITracerEventParams>(params.Get());
}

std::wstring TErrorTracerEvent::GetText() const {
  return GetMultiLanguage()->MessageText(SError);
}

TCallTracerEvent::TCallTracerEvent(TSharedText title) : TParamTracerEventBase<ICallTracerEvent>(std::move(title)) {}

HRESULT STDMETHODCALLTYPE TCallTracerEvent::get_ThreadId(LONG* Value) {
  return ComMethodGuard([&] { *Value = static_cast<LONG>(ThreadId); });
}

HRESULT STDMETHODCALLTYPE TCallTracerEvent::get_Time(double* Value) {
  return ComMethodGuard([&] { *Value = Time; });
}

HRESULT STDMETHODCALLTYPE TCallTracerEvent::get_Result(VARIANT* Result) {
  return ComMethodGuard([&] {
    LONG count = 0;
    HRESULT hr = FParams->get_Count(&count);
    OleCheck(hr);
    CW_ASSERT(count > 0, UnitPath, 308);
    TComPtr<ITracerEventParam> first;
    hr = FParams->get_Item(0, first.Put());
    OleCheck(hr);
    TBStr name;
    hr = first->get_Name(name.Put());
    OleCheck(hr);
    CW_ASSERT(name.Str() == L"result", UnitPath, 311);
    hr = first->get_Value(Result);
    OleCheck(hr);
  });
}

// ---- event lists -----------------------------------------------------------------------------

template <class Intf>
TTracerEventsBase<Intf>::TTracerEventsBase()
    : TAutoIntfObject<Intf>(__uuidof(ITracerEvents)) {}

template <class Intf>
HRESULT STDMETHODCALLTYPE TTracerEventsBase<Intf>::get_Count(LONG* Count) {
  return this->ComMethodGuard([&] { *Count = FList.Count(); });
}

template <class Intf>
HRESULT STDMETHODCALLTYPE TTracerEventsBase<Intf>::Item(LONG Index, ITracerEvent** Event) {
  return this->ComMethodGuard([&] {
    TComPtr<ITracerEvent> item = FList.Get(Index);
    OleCheck(item->QueryInterface(__uuidof(ITracerEvent), reinterpret_cast<void**>(Event)));
  });
}

template <class Intf>
HRESULT STDMETHODCALLTYPE TTracerEventsBase<Intf>::IndexOf(ITracerEvent* Event, LONG* Index) {
  return this->ComMethodGuard([&] { *Index = FList.IndexOf(Event); });
}

template class TTracerEventsBase<ITracerEvents>;
template class TTracerEventsBase<IVisibleTracerEvents>;

HRESULT STDMETHODCALLTYPE TVisibleTracerEvents::get_FocusedIndex(LONG* Index) {
  return ComMethodGuard([&] {
    TComPtr<IVisibleTracerEventsImpl> impl;
    {
      std::lock_guard<std::mutex> guard(FImplLock);
      impl = FImpl;
    }
    *Index = impl ? impl->GetFocusedIndex() : -1;
  });
}

void TVisibleTracerEvents::SetImpl(IVisibleTracerEventsImpl* impl) {
  std::lock_guard<std::mutex> guard(FImplLock);
  FImpl = TComPtr<IVisibleTracerEventsImpl>(impl);
}

// ---- queue -----------------------------------------------------------------------------------

class TTracerEventQueue::TFactory : public TServiceFactory<TTracerEventQueue, TSimpleObjectFactory> {};

TTracerEventQueue::TTracerEventQueue()
    : FAllEvents(new TTracerEvents()), FVisibleEvents(new TVisibleTracerEvents()) {
  FOutOfMemoryEvent = TComPtr<ITracerEvent>(new TErrorTracerEvent(L"Out of memory"));
}

TTracerEventQueue::~TTracerEventQueue() = default;

void TTracerEventQueue::Add(ITracerEvent* event, bool visible) {
  if (FSealedThread != 0 && FSealedThread == GetCurrentThreadId()) return;
  std::lock_guard<std::mutex> guard(FLock);
  FAllEvents->List().Add(event);
  if (visible) {
    try {
      FVisibleEvents->List().Add(event);
    } catch (...) {
      // Both lists or neither: take it back out of the first.
      FAllEvents->List().RemoveLast(event);
      throw;
    }
  }
}

void TTracerEventQueue::AddMessage(const std::wstring& text) {
  try {
    TComPtr<ITracerEvent> event(new TMessageTracerEvent(text));
    Add(event.Get(), true);
  } catch (const std::bad_alloc&) {
    ReportOutOfMemory();
  }
}

void TTracerEventQueue::AddError(const std::wstring& text) {
  try {
    TComPtr<ITracerEvent> event(new TErrorTracerEvent(text));
    Add(event.Get(), true);
  } catch (const std::bad_alloc&) {
    ReportOutOfMemory();
    return;
  }
  MessageBeep(MB_ICONHAND);
}

void TTracerEventQueue::AddCalls(const std::wstring& title, uint32_t threadId, int64_t startTime,
                                 int64_t endTime, ITracerEventParams* params, bool visible) {
  try {
    // Titles repeat with every call of a function: one copy serves them all.
    auto* call = new TCallTracerEvent(InternText(title));
    TComPtr<ICallTracerEvent> event(call);
    call->Time = static_cast<double>(GetTimeCounter()->ElapsedMs(startTime, endTime));
    call->SetParams(params);
    call->ThreadId = threadId;
    Add(event.Get(), visible);
  } catch (const std::bad_alloc&) {
    ReportOutOfMemory();
  }
}

void TTracerEventQueue::Clear() {
  std::lock_guard<std::mutex> guard(FLock);
  FAllEvents->List().Clear();
  FVisibleEvents->List().Clear();
}

// The debugging thread goes on: the log shows the loss as an error row.
void TTracerEventQueue::ReportOutOfMemory() noexcept {
  try {
    if (FOutOfMemoryEvent) {
      Add(FOutOfMemoryEvent.Get(), true);
      FOutOfMemoryEvent.Reset();
      FOutOfMemoryEvent = TComPtr<ITracerEvent>(new TErrorTracerEvent(L"Out of memory"));
    }
  } catch (...) {
  }
  MessageBeep(MB_ICONHAND);
}

static TObject* TracerEventQueueInstance = nullptr;

TTracerEventQueue* GetTracerEventQueue() {
  static const TTracerEventQueue::TFactory factory;
  return GetServiceInstance<TTracerEventQueue>(factory, TracerEventQueueInstance);
}
