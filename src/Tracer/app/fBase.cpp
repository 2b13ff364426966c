#include "Tracer/app/fBase.h"

#include "Tracer/app/uInterfaceServices.h"
#include "Tracer/foundation/uMultiLanguage.h"
#include "Tracer/foundation/uWideStrUtils.h"
#include "Tracer/window/uWinTranslate.h"

namespace {

THelpTopicFunc GHelpTopicFunc = nullptr;

}  // namespace

void ShowHelpTopic(const std::wstring& topic) {
  if (GHelpTopicFunc)
    GHelpTopicFunc(topic);
  else
    GetHTMLHelp()->ShowTopic(topic);
}

THelpTopicFunc SetHelpTopicFunc(THelpTopicFunc fn) {
  THelpTopicFunc old = GHelpTopicFunc;
  GHelpTopicFunc = fn;
  return old;
}

const std::vector<std::wstring>& TranslatedPropNames() {
  static const std::vector<std::wstring> names{L"Caption", L"Hint", L"Text"};
  return names;
}

TfrmBase::TfrmBase(TComponent* owner, const wchar_t* className, int clientWidth, int clientHeight,
                   TBorderStyle border)
    : TForm(owner, className, clientWidth, clientHeight, border) {
  AddClassSection("TfrmBase");
  SetFormFont(L"Arial", -11);
  SetPosition(TFormPosition::ScreenCenter);
}

std::wstring TfrmBase::GetHelpKeyword() { return HelpKeyword(); }

void TfrmBase::FormCreate() { TranslateCaption = true; }

void TfrmBase::FormShow() { TranslateOnShow(); }

void TfrmBase::FormShortCut(const MSG& msg, bool& handled) {
  handled = msg.message == WM_KEYDOWN && msg.wParam == VK_F1;
  if (handled) ShowHelp();
}

bool TfrmBase::DoShortCut(const MSG& msg) {
  bool handled = false;
  FormShortCut(msg, handled);
  return handled;
}

void TfrmBase::WMHelp() { ShowHelp(); }

void TfrmBase::ShowHelp() {
  const std::wstring keyword = GetHelpKeyword();
  if (!keyword.empty()) ShowHelpTopic(keyword);
}

void TfrmBase::Translate() { TranslateClass(); }

void TfrmBase::TranslateClass() {
  RestoreBuiltInTexts(*this, TranslatedPropNames());
  for (const std::string& section : FSections) TranslateSection(section);
}

void TfrmBase::TranslateSection(const std::string& section) {
  if (TranslateCaption) TranslatePropertiesOf(section, *this, {L"Caption"}, std::string());
  for (int i = 0; i < ComponentCount(); ++i) {
    TComponent* c = Component(i);
    if (!c->IsForm()) TranslateComponentTree(section, *c, TranslatedPropNames(), std::string());
  }
}

void TfrmBase::TranslateOnShow() {
  // Redraw is switched off only while the form is on the screen: on a hidden window the
  // switch back would mark it visible without showing it.
  const bool visible = IsWindowVisible(Handle()) != FALSE;
  if (visible) Perform(WM_SETREDRAW, FALSE);
  try {
    Translate();
  } catch (...) {
    if (visible) Perform(WM_SETREDRAW, TRUE);
    RedrawWindow(Handle(), nullptr, nullptr, RDW_FRAME | RDW_ALLCHILDREN | RDW_INVALIDATE);
    throw;
  }
  if (visible) Perform(WM_SETREDRAW, TRUE);
  RedrawWindow(Handle(), nullptr, nullptr, RDW_FRAME | RDW_ALLCHILDREN | RDW_INVALIDATE);
}

void TfrmBase::TranslateColumns(TListView& listView) {
  for (int i = 0; i < listView.ColumnCount(); ++i) {
    const std::wstring memoKey = L"Col" + std::to_wstring(i);
    const std::wstring builtIn = listView.TranslationDefault(memoKey, listView.ColumnCaption(i));
    const std::string key = WideToAnsi(listView.Name()) + "Col" + std::to_string(i) + ".Caption";
    std::wstring caption;
    GetMultiLanguage()->Translate(ClassSection(), key, caption, builtIn);
    listView.SetColumnCaption(i, caption);
    listView.RememberTranslation(memoKey, builtIn, caption);
  }
}
