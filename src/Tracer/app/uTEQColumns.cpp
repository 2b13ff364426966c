#include "Tracer/app/uTEQColumns.h"

#include <algorithm>

#include "Tracer/app/uInterfaceServices.h"
#include "Tracer/engine/uEventQueue.h"
#include "Tracer/foundation/uMultiLanguage.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/foundation/uVariants.h"

namespace {

// Assertion texts name the unit these classes always had.
const wchar_t* const UnitPath = L"src/Tracer/uEventQueue";

template <class T>
TComPtr<T> Query(IUnknown* obj) {
  TComPtr<T> result;
  if (obj) obj->QueryInterface(__uuidof(T), reinterpret_cast<void**>(result.Put()));
  return result;
}

void SetDispatch(TOleVariant& value, IUnknown* obj) {
  VARIANT* v = value.Receive();
  IDispatch* disp = nullptr;
  OleCheck(obj->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&disp)));
  v->vt = VT_DISPATCH;
  v->pdispVal = disp;
}

// The first highlight rule whose search text occurs in a cell gives the row's colours.
void ApplyHighlightRules(const TTEQColumnValueStrDynArray& cells, int32_t& textColor, int32_t& backColor) {
  std::vector<std::wstring> texts;
  texts.reserve(cells.size());
  for (const TTEQColumnValueStr& cell : cells) texts.push_back(cell.Text);
  if (TColorInfo* rule = GetColorInfos()->FindRule(texts)) {
    textColor = rule->ForeColor;
    backColor = rule->BackColor;
  }
}

}  // namespace

// ---- TTEQColumn, TTEQColumns -----------------------------------------------------------------

void TTEQColumn::GetCaption(std::wstring& caption) const {
  GetMultiLanguage()->Translate("TfrmMain", "lvwTraceCol" + std::to_string(FColumnId) + ".Caption", caption, FName);
}

const TPropTable& TTEQColumn::ClassPropTable() {
  static const TPropTable table(&TPersistent::ClassPropTable(),
                                {
                                    IntegerProperty<TTEQColumn>(L"ColumnId", &TTEQColumn::ColumnId),
                                    BooleanProperty<TTEQColumn>(L"Visible", &TTEQColumn::Visible, &TTEQColumn::SetVisible),
                                    IntegerProperty<TTEQColumn>(L"Width", &TTEQColumn::Width, &TTEQColumn::SetWidth),
                                });
  return table;
}

TTEQColumns::~TTEQColumns() { Clear(); }

void TTEQColumns::Clear() {
  if (FOwnsColumns)
    for (TTEQColumn* c : FItems) delete c;
  FItems.clear();
}

TTEQColumn* TTEQColumns::GetItem(int index) const {
  TTEQColumn* item = index >= 0 && index < GetCount() ? FItems[index] : nullptr;
  CW_ASSERT(item != nullptr, UnitPath, 679);
  return item;
}

TTEQColumn* TTEQColumns::FindById(int32_t id) const {
  for (TTEQColumn* c : FItems)
    if (c->ColumnId() == id) return c;
  return nullptr;
}

// ---- TTEQColumnManager -----------------------------------------------------------------------

TTEQColumnManager::TTEQColumnManager() = default;

TTEQColumn* TTEQColumnManager::AddColumn(const std::wstring& name) {
  auto* column = new TTEQColumn(FAllColumns.GetCount(), name);
  FAllColumns.Add(column);
  UpdateVisibleColumns();
  return column;
}

void TTEQColumnManager::UpdateVisibleColumns() {
  FVisibleColumns.Clear();
  for (TTEQColumn* c : FAllColumns)
    if (c->Visible()) FVisibleColumns.Add(c);
  ++FGeneration;
}

void TTEQColumnManager::SaveToNode(IXMLDOMNode* node) {
  for (TTEQColumn* c : FAllColumns) {
    // A column that failed at the last load goes back as it was written, by the filer.
    if (std::find(FKeptColumnIds.begin(), FKeptColumnIds.end(), c->ColumnId()) != FKeptColumnIds.end()) continue;
    TXMLNode child;
    AddPropertySet(node, L"column", child);
    SavePublishedProperties(child.Get(), c);
  }
}

void TTEQColumnManager::LoadFromNode(IXMLDOMNode* node) {
  // A column that fails is kept as written; the columns after it are read.
  TFailedParts failed;
  FKeptColumnIds.clear();
  int position = 0;
  for (TXMLNode child = FirstChild(node); child; child = NextSibling(child.Get())) {
    if (!IsPropertySetNode(child.Get())) continue;
    try {
      std::wstring name;
      ReadPropertySetName(child.Get(), name);
      if (name != L"column") continue;
      TOleVariant id;
      ReadProperty(child.Get(), L"ColumnId", VT_I4, id, true);
      if (TTEQColumn* column = FAllColumns.FindById(id.lVal)) {
        // Read into a copy: a column that fails is kept as written, not also half loaded.
        TTEQColumn read(column->ColumnId(), column->Name());
        read.SetVisible(column->Visible());
        read.SetWidth(column->Width());
        try {
          ReadPublishedProperties(child.Get(), &read);
        } catch (...) {
          FKeptColumnIds.push_back(id.lVal);
          throw;
        }
        column->SetVisible(read.Visible());
        column->SetWidth(read.Width());
      }
    } catch (Exception& e) {
      failed.Add(e, child.Get(), position);
    }
    ++position;
  }
  UpdateVisibleColumns();
  failed.RaiseIfAny();
}

// ---- TSimpleTEQReader ------------------------------------------------------------------------

TComPtr<ITracerEvent> VisibleEvent(int index) { return GetTracerEventQueue()->VisibleEvents()->List().Get(index); }

void TSimpleTEQReader::GetParamText(ITracerEventParam* param, std::wstring& text) {
  TOleVariant value;
  OleCheck(param->get_Value(value.Receive()));
  text = VariantToQuotedText(value);
}

void TSimpleTEQReader::GetParamsText(ITracerEventParams* params, std::wstring& text) {
  text.clear();
  if (!params) return;
  LONG count = 0;
  OleCheck(params->get_Count(&count));
  for (LONG i = 0; i < count; ++i) {
    TComPtr<ITracerEventParam> param;
    OleCheck(params->get_Item(i, param.Put()));
    VARIANT_BOOL visible = VARIANT_FALSE;
    OleCheck(param->get_Visible(&visible));
    if (visible != VARIANT_FALSE) AppendParamText(param.Get(), text);
  }
}

void TSimpleTEQReader::ReadValues(ITracerEvent* event, TTEQColumnValueDynArray& values) {
  const TTEQColumns& visible = FColumnManager->VisibleColumns();
  values.clear();
  values.resize(visible.GetCount());
  auto paramEvent = Query<IParamTracerEvent>(event);
  auto errorEvent = Query<IErrorTracerEvent>(event);
  auto callEvent = Query<ICallTracerEvent>(event);
  for (int i = 0; i < visible.GetCount(); ++i) {
    TTEQColumnValue& v = values[i];
    v.Column = visible.GetItem(i);
    switch (v.Column->ColumnId()) {
      case colThreadId:
        if (callEvent) {
          LONG threadId = 0;
          OleCheck(callEvent->get_ThreadId(&threadId));
          v.Value = TOleVariant(static_cast<int32_t>(threadId));
        }
        break;
      case colCall: {
        TBStr text;
        OleCheck(event->get_Text(text.Put()));
        v.Value = TOleVariant(text.Str());
        break;
      }
      case colTime:
        if (callEvent) {
          VARIANT* t = v.Value.Receive();
          OleCheck(callEvent->get_Time(&t->dblVal));
          t->vt = VT_R8;
        }
        break;
      case colResult:
        if (callEvent) OleCheck(callEvent->get_Result(v.Value.Receive()));
        break;
      case colParams:
        if (errorEvent) {
          TComPtr<ITracerEventParams> params;
          OleCheck(errorEvent->get_Params(params.Put()));
          TComPtr<ITracerEventParam> message;
          OleCheck(params->get_Item(0, message.Put()));
          SetDispatch(v.Value, message.Get());
        } else if (paramEvent) {
          TComPtr<ITracerEventParams> params;
          OleCheck(paramEvent->get_Params(params.Put()));
          if (params) SetDispatch(v.Value, params.Get());
        }
        break;
    }
  }
}

void TSimpleTEQReader::ReadStrings(ITracerEvent* event, TTEQColumnValueStrDynArray& strings) {
  TTEQColumnValueDynArray values;
  ReadValues(event, values);
  strings.clear();
  strings.resize(values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    const TTEQColumnValue& v = values[i];
    TTEQColumnValueStr& s = strings[i];
    s.Column = v.Column;
    if (v.Value.IsEmpty()) continue;
    switch (v.Column->ColumnId()) {
      case colThreadId:
      case colResult:
        s.Text = VariantToText(v.Value);
        break;
      case colCall:
        s.Text = v.Value.AsBSTRText();
        break;
      case colTime:
        FormatTimeMsOrEmpty(s.Text, v.Value.dblVal);
        break;
      case colParams: {
        CW_ASSERT(v.Value.Type() == VT_DISPATCH, UnitPath, 551);
        if (auto param = Query<ITracerEventParam>(v.Value.pdispVal))
          GetParamText(param.Get(), s.Text);
        else if (auto params = Query<ITracerEventParams>(v.Value.pdispVal))
          GetParamsText(params.Get(), s.Text);
        break;
      }
    }
  }
}

const TTEQColumnValueStrDynArray& TSimpleTEQReader::CachedStrings(ITracerEvent* event) {
  if (FCachedEvent.Get() == event && FCachedGeneration == FColumnManager->Generation() &&
      FCachedTimeDigits == TimeFormatDigits)
    return FCachedStrings;
  FCachedEvent.Reset();
  ReadStrings(event, FCachedStrings);
  FCachedEvent = TComPtr<ITracerEvent>(event);
  FCachedGeneration = FColumnManager->Generation();
  FCachedTimeDigits = TimeFormatDigits;
  return FCachedStrings;
}

void TSimpleTEQReader::ReadRow(int index, TTEQColumnValueStrDynArray& strings) {
  TComPtr<ITracerEvent> event = VisibleEvent(index);
  strings = CachedStrings(event.Get());
}

void TSimpleTEQReader::GetRowColors(int index, int32_t& textColor, int32_t& backColor) {
  TComPtr<ITracerEvent> event = VisibleEvent(index);
  if (Query<IErrorTracerEvent>(event.Get())) {
    textColor = 0x00FFFFFF;
    backColor = 0x000000FF;
    return;
  }
  backColor = index % 2 ? static_cast<int32_t>(0xFF000005) : 0x00E8FFF8;
  textColor = 0;
  ApplyHighlightRules(CachedStrings(event.Get()), textColor, backColor);
}
