#include "LogTestSupport.h"

#include "Tracer/com/uMiniComServer.h"
#include "Tracer/engine/uEventQueue.h"
#include "Tracer/engine/uTracerEventParams.h"
#include "Tracer/foundation/uSingletons.h"
#include "Tracer/foundation/uUtils.h"
#include "support/TestSupport.h"

void PrepareLogServices() {
  static bool done = false;
  if (done) return;
  done = true;
  GetMiniComServer()->SetTypeLibFileName(TestBinDir() + L"Calderwisp.tlb");
  AddTestShutdown(FreeInstanceList);
}

void AddDefaultColumns(TTEQColumnManager& columns) {
  for (const wchar_t* name : {L"Thread Id", L"Call", L"Time (ms)", L"Result", L"Parameters"}) columns.AddColumn(name);
}

void AddLogCall(const std::wstring& title, uint32_t threadId, double time, int32_t result,
                const std::vector<TLogParam>& params) {
  TComPtr<ITracerEventParams> list = NewTracerEventParams();
  auto* impl = static_cast<TTracerEventParams*>(list.Get());
  TComPtr<ITracerEventParam> r = impl->AddParam(L"result");
  OleCheck(r->put_Value(TOleVariant(result)));
  OleCheck(r->put_Visible(VARIANT_FALSE));
  for (const TLogParam& p : params) {
    TComPtr<ITracerEventParam> item = impl->AddParam(p.Name);
    OleCheck(item->put_Value(p.Value));
    OleCheck(item->put_Visible(p.Visible ? VARIANT_TRUE : VARIANT_FALSE));
  }
  auto* call = new TCallTracerEvent(title);
  TComPtr<ITracerEvent> event(call);
  call->ThreadId = threadId;
  call->Time = time;
  call->SetParams(list.Get());
  GetTracerEventQueue()->Add(event.Get(), true);
}

TOleVariant ByteArray(const std::string& bytes) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(bytes.size()));
  VARIANT* items = nullptr;
  SafeArrayAccessData(array, reinterpret_cast<void**>(&items));
  for (size_t i = 0; i < bytes.size(); ++i) {
    items[i].vt = VT_UI1;
    items[i].bVal = static_cast<BYTE>(bytes[i]);
  }
  SafeArrayUnaccessData(array);
  TOleVariant result;
  result.vt = VT_ARRAY | VT_VARIANT;
  result.parray = array;
  return result;
}

TLogScope::TLogScope() {
  PrepareLogServices();
  GetTracerEventQueue()->Clear();
  TimeFormatDigits = 0;
}

TLogScope::~TLogScope() {
  GetTracerEventQueue()->Clear();
  TimeFormatDigits = 0;
}
