// The result window, opened by the action on a fixture log: what it shows, the wrap check box
// and the setting it leaves in the host. A screenshot is written for a person to look at.
#include <gtest/gtest.h>

#include "VostikTestSupport.h"
#include "support/Screenshot.h"
#include "support/TestSupport.h"
#include "support/TestTimeScale.h"
#include "vostik/fVostik.h"
#include "vostik/uVostikDialects.h"

namespace {

struct TSeen {
  bool Shown = false;
  std::wstring Caption, Original, Assembled;
  std::vector<std::vector<std::wstring>> Rows;
  bool WrappedAtOpen = false;
  bool WrapsWhenChecked = false;
  bool ScrollsWhenUnchecked = false;
  DWORD OriginalBars = 0, AssembledBars = 0;  // scroll bars at open
  size_t Colors = 0;
};

// The result window while it shows, found among the application's forms (another process's
// window may hold the activation under a shared test display).
TfrmVostik* ShownResultWindow() {
  for (TForm* form : Application()->Forms())
    if (auto* result = dynamic_cast<TfrmVostik*>(form); result && result->Visible() && result->IsModal()) return result;
  return nullptr;
}

std::wstring ItemText(TListView* list, int item, int sub) {
  wchar_t buffer[256] = {};
  ListView_GetItemText(list->Handle(), item, sub, buffer, 256);
  return buffer;
}

DWORD ScrollBars(TEdit* memo) { return GetWindowLongW(memo->Handle(), GWL_STYLE) & (WS_HSCROLL | WS_VSCROLL); }

bool Wraps(TEdit* memo) { return !(GetWindowLongW(memo->Handle(), GWL_STYLE) & (ES_AUTOHSCROLL | WS_HSCROLL)); }

}  // namespace

TEST(ResultWindow, ShowsTheStatementItsParametersAndRemembersWrapping) {
  TFixtureHost host;
  TComPtr<IAppPlugin> plugin = ConnectAssembler<TODBCSQLAssembler>(host);
  host.SetLog({{L"SQLBindParameter", T(L"SQL_SUCCESS"),
                {{L"StatementHandle", I(1)}, {L"ParameterNumber", I(1)}, {L"ValueType", I(-8)}, {L"Value", T(L"O'Brien")}}},
               {L"SQLExecute", T(L"SQL_SUCCESS"),
                {{L"StatementHandle", I(1)}, {L"StatementText", T(L"select * from customers\nwhere name = ? and id = ?")}}}});
  TSeen seen;
  TTimer timer(nullptr, L"probe", 100);
  timer.OnTimer = [&](TTimer* t) {
    TfrmVostik* form = ShownResultWindow();
    if (!form) return;
    t->SetEnabled(false);
    seen.Shown = true;
    seen.Caption = form->Caption();
    seen.Original = form->memOriginalSQL->Text();
    seen.Assembled = form->memAssembledSQL->Text();
    for (int i = 0; i < form->lvwParams->ItemCount(); ++i)
      seen.Rows.push_back({ItemText(form->lvwParams, i, 0), ItemText(form->lvwParams, i, 1),
                           ItemText(form->lvwParams, i, 2)});
    seen.WrappedAtOpen = form->Wrap();
    seen.OriginalBars = ScrollBars(form->memOriginalSQL);
    seen.AssembledBars = ScrollBars(form->memAssembledSQL);
    form->pcl->SetActivePage(form->tshAssembled);
    form->cbxWrapText->SetChecked(true);
    form->cbxWrapTextClick();
    seen.WrapsWhenChecked = Wraps(form->memOriginalSQL) && Wraps(form->memAssembledSQL);
    TRgbImage picture = CaptureWindow(form->Handle());
    seen.Colors = picture.ColorCount();
    WriteTextFile(TestBinDir() + L"vostik-result.png", EncodePng(picture));
    form->cbxWrapText->SetChecked(false);
    form->cbxWrapTextClick();
    seen.ScrollsWhenUnchecked = !Wraps(form->memOriginalSQL);
    form->cbxWrapText->SetChecked(true);
    form->cbxWrapTextClick();
    form->Button1->Click();
  };
  timer.SetEnabled(true);
  host.Added.at(0).Action->Execute();
  timer.SetEnabled(false);

  ASSERT_TRUE(seen.Shown);
  EXPECT_EQ(seen.Caption, L"SQL Assembler");
  EXPECT_EQ(seen.Original, L"select * from customers\r\nwhere name = ? and id = ?\r\n");
  EXPECT_EQ(seen.Assembled, L"select * from customers\r\nwhere name = 'O''Brien' and id = ?\r\n");
  ASSERT_EQ(seen.Rows.size(), 2u);
  EXPECT_EQ(seen.Rows[0], (std::vector<std::wstring>{L"PARAM 01", L"-8", L"O'Brien"}));
  EXPECT_EQ(seen.Rows[1], (std::vector<std::wstring>{L"PARAM 02", L"", L""}));
  EXPECT_FALSE(seen.WrappedAtOpen);
  EXPECT_EQ(seen.OriginalBars, static_cast<DWORD>(WS_HSCROLL | WS_VSCROLL));
  EXPECT_EQ(seen.AssembledBars, static_cast<DWORD>(WS_HSCROLL));
  EXPECT_TRUE(seen.WrapsWhenChecked);
  EXPECT_TRUE(seen.ScrollsWhenUnchecked);
  EXPECT_GT(seen.Colors, 1u);
  // The state it closed with is the host's setting, and the next window opens with it.
  ASSERT_EQ(host.Settings.size(), 1u);
  EXPECT_EQ(host.Settings[0].first, L"SQLAssembler::WrapSQL");
  EXPECT_EQ(host.Settings[0].second.Type(), VT_BOOL);
  bool wrappedNextTime = false;
  timer.OnTimer = [&](TTimer* t) {
    TfrmVostik* form = ShownResultWindow();
    if (!form) return;
    t->SetEnabled(false);
    wrappedNextTime = form->Wrap() && Wraps(form->memOriginalSQL);
    form->btnHelp->Click();
    form->Button1->Click();
  };
  timer.SetEnabled(true);
  host.Added.at(0).Action->Execute();
  timer.SetEnabled(false);
  EXPECT_TRUE(wrappedNextTime);
  EXPECT_EQ(host.HelpTopics, (std::vector<std::wstring>{L"html\\vostik.htm"}));
}
