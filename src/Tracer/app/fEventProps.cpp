#include "Tracer/app/fEventProps.h"

#include "Tracer/engine/uEventQueue.h"
#include "Tracer/foundation/uUtils.h"

namespace {

IEventPropsHost* GHost = nullptr;
TfrmEventProps* GForm = nullptr;

// The values of a row; its walk over the visible parameters hands each one to the list.
class TValuesReader : public TSimpleTEQReader {
public:
  using TSimpleTEQReader::TSimpleTEQReader;
  void AppendParamText(ITracerEventParam* param, std::wstring&) override {
    TBStr name;
    OleCheck(param->get_Name(name.Put()));
    TOleVariant value;
    OleCheck(param->get_Value(value.Receive()));
    List->AddValue(name.Str(), value, false);
  }
  TPropertyListBox* List = nullptr;
};

template <class T>
TComPtr<T> Query(IUnknown* obj) {
  TComPtr<T> result;
  result.QueryFrom(obj);
  return result;
}

bool IsTopmost(HWND window) { return (GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0; }

void SetTopmost(TForm& form, bool onTop) {
  form.SetStayOnTop(onTop);
  if (onTop || !IsTopmost(form.Handle())) return;
  // Wine places an owned window next to its owner instead of below the topmost windows, so it
  // stays topmost: the move is made while the window has no owner.
  const HWND owner = GetWindow(form.Handle(), GW_OWNER);
  SetWindowLongPtrW(form.Handle(), GWLP_HWNDPARENT, 0);
  form.SetStayOnTop(false);
  SetWindowLongPtrW(form.Handle(), GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(owner));
}

std::wstring EventText(ITracerEvent* event) {
  TBStr text;
  OleCheck(event->get_Text(text.Put()));
  return text.Str();
}

}  // namespace

TfrmEventProps::TfrmEventProps(TComponent* owner, IEventPropsHost* host)
    : TfrmBaseDlg(owner, L"TfrmEventProps", 398, 238, TBorderStyle::Sizeable), FHost(host) {
  AddClassSection("TfrmEventProps");
  if (!GForm) GForm = this;
  SetCaption(L"Event properties");
  SetHelpKeyword(L"html\\evprop.htm");
  SetMinSize(406, 100);
  Bevel1->SetVisible(false);
  btnCancel->SetVisible(false);
  btnCancel->SetCancel(false);
  btnOK->SetBounds(240, 208, 75, 25);
  btnOK->SetCancel(true);
  btnOK->SetModalResult(mrNone);
  btnOK->OnClick = [this](TButton*) { Close(); };

  alsEventProps = new TActionList(this);
  actASCIIMode = new TAction(this, alsEventProps, L"actASCIIMode");
  actASCIIMode->SetHint(L"ASCII");
  actASCIIMode->SetImageIndex(15);
  actASCIIMode->SetGroupIndex(1);
  actASCIIMode->OnExecute = [this](TAction*) { pbx->SetHexMode(false); };
  actASCIIMode->OnUpdate = [this](TAction* a) { a->SetChecked(!pbx->HexMode()); };
  actHexMode = new TAction(this, alsEventProps, L"actHexMode");
  actHexMode->SetHint(L"HEX");
  actHexMode->SetImageIndex(16);
  actHexMode->SetGroupIndex(1);
  actHexMode->OnExecute = [this](TAction*) { pbx->SetHexMode(true); };
  actHexMode->OnUpdate = [this](TAction* a) { a->SetChecked(pbx->HexMode()); };
  actStayOnTop = new TAction(this, alsEventProps, L"actStayOnTop");
  actStayOnTop->SetHint(L"Stay on top");
  actStayOnTop->SetImageIndex(10);
  actStayOnTop->OnExecute = [this](TAction*) {
    SetTopmost(*this, !IsTopmost(Handle()));
    SetFocus();
    RedrawWindow(Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
  };
  actStayOnTop->OnUpdate = [this](TAction* a) {
    a->SetChecked(IsTopmost(Handle()));
  };

  tbr = new TToolBar(this, this, L"tbr", 8, 206, 225, 27, 29, 25);
  tbr->SetAnchors(akLeft | akBottom);
  tbr->SetShowHint(true);
  if (FHost) tbr->SetImages(FHost->Images());
  auto button = [this](const wchar_t* name, TAction* action, TToolButtonStyle style = TToolButtonStyle::Button) {
    auto* b = new TToolButton(this, tbr, name, style);
    if (action) b->SetAction(action);
    return b;
  };
  if (FHost) {
    button(L"btnFirst", FHost->NavigationAction(IEventPropsHost::navFirst));
    button(L"btnUp", FHost->NavigationAction(IEventPropsHost::navUp));
    button(L"btnDown", FHost->NavigationAction(IEventPropsHost::navDown));
    button(L"btnLast", FHost->NavigationAction(IEventPropsHost::navLast));
    FReader = std::make_unique<TValuesReader>(FHost->ColumnManager());
  }
  button(L"btnSep1", nullptr, TToolButtonStyle::Separator);
  btnASCII = button(L"btnASCII", actASCIIMode, TToolButtonStyle::Check);
  btnHex = button(L"btnHex", actHexMode, TToolButtonStyle::Check);
  button(L"btnSep2", nullptr, TToolButtonStyle::Separator);
  btnStayOnTop = button(L"btnStayOnTop", actStayOnTop, TToolButtonStyle::Check);
}

TfrmEventProps::~TfrmEventProps() {
  if (GForm == this) GForm = nullptr;
}

void TfrmEventProps::FormCreate() {
  TfrmBaseDlg::FormCreate();
  pbx = new TPropertyListBox(this, this, L"pbx", 8, 8, 384, 193);
  pbx->SetAnchors(akLeft | akTop | akRight | akBottom);
}

void TfrmEventProps::DoShow() {
  TfrmBaseDlg::DoShow();
  LoadFocusedEvent();
  FitHeight();
}

void TfrmEventProps::FitHeight() {
  int sum = 0;
  for (int i = 0; i < pbx->Count(); ++i) sum += pbx->ItemHeight(i);
  const int wanted = sum + Height() - pbx->ClientHeight();
  const int most = GetSystemMetrics(SM_CYFULLSCREEN) / 4 * 3;
  const int height = std::min(wanted, most);
  // A window grown past the bottom of the screen moves up, so its buttons stay in reach.
  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  RECT r;
  GetWindowRect(Handle(), &r);
  const int top = std::max<int>(work.top, std::min<int>(r.top, work.bottom - height));
  SetWindowPos(Handle(), nullptr, r.left, top, r.right - r.left, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void TfrmEventProps::LoadFocusedEvent() {
  pbx->Clear();
  TVisibleTracerEvents* visible = GetTracerEventQueue()->VisibleEvents();
  LONG index = -1;
  OleCheck(visible->get_FocusedIndex(&index));
  if (index < 0 || index >= visible->List().Count() || !FReader) return;
  TComPtr<ITracerEvent> event = visible->List().Get(index);
  pbx->BeginUpdate();
  try {
    if (Query<ICallTracerEvent>(event.Get()))
      AddCallEvent(event.Get());
    else if (Query<IErrorTracerEvent>(event.Get()))
      AddErrorEvent(event.Get());
    else
      AddEventText(event.Get());
  } catch (...) {
    pbx->EndUpdate();
    throw;
  }
  pbx->EndUpdate();
}

void TfrmEventProps::AddCallEvent(ITracerEvent* event) {
  TTEQColumnValueDynArray values;
  FReader->ReadValues(event, values);
  for (TTEQColumnValue& v : values) {
    const int32_t id = v.Column->ColumnId();
    if (id == colParams) continue;
    if (id == colTime) {
      std::wstring time;
      FormatTimeMsOrEmpty(time, v.Value.dblVal);
      v.Value = TOleVariant(time);
    }
    std::wstring caption;
    v.Column->GetCaption(caption);
    pbx->AddValue(caption, v.Value, id == colCall || id == colTime);
  }
  auto call = Query<IParamTracerEvent>(event);
  TComPtr<ITracerEventParams> params;
  if (call) OleCheck(call->get_Params(params.Put()));
  auto* reader = static_cast<TValuesReader*>(FReader.get());
  reader->List = pbx;
  std::wstring unused;
  reader->GetParamsText(params.Get(), unused);
}

void TfrmEventProps::AddErrorEvent(ITracerEvent* event) {
  auto error = Query<IErrorTracerEvent>(event);
  TComPtr<ITracerEventParams> params;
  OleCheck(error->get_Params(params.Put()));
  TComPtr<ITracerEventParam> message;
  OleCheck(params->get_Item(0, message.Put()));
  TOleVariant value;
  OleCheck(message->get_Value(value.Receive()));
  pbx->AddValue(EventText(event), value, false);
}

void TfrmEventProps::AddEventText(ITracerEvent* event) {
  pbx->AddValue(std::wstring(), TOleVariant(EventText(event)), false);
}

void SetEventPropsHost(IEventPropsHost* host) { GHost = host; }

TfrmEventProps* GetEventPropsForm() {
  if (!GForm) CreateForm<TfrmEventProps>(Application()->MainForm(), GHost).release();
  return GForm;
}

void ShowEventProperties() { GetEventPropsForm()->Show(); }

void RefreshEventProps() {
  if (GForm && GForm->Visible()) GForm->LoadFocusedEvent();
}

void FreeEventPropsForm() { delete GForm; }
