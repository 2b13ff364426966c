// The highlight rules under Xvfb: the list with its rows in the rules' colours, the editor
// of one rule (its swatches, preview and colour picker), new, edit, delete, and the rules put
// back when the list dialog ends with Cancel.
#include "Tracer/app/fStmtColorDlg.h"

#include <gtest/gtest.h>

#include "LogTestSupport.h"
#include "Tracer/app/fSelColorsDlg.h"
#include "Tracer/app/uInterfaceServices.h"
#include "Tracer/window/WindowTestImages.h"
#include "Tracer/window/WindowTestSupport.h"
#include "support/TestSupport.h"

namespace {

COLORREF GPicked = RGB(0, 0, 255);
int GPickerCalls = 0;
bool PickColor(HWND, COLORREF& color) {
  ++GPickerCalls;
  color = GPicked;
  return true;
}

struct TRule {
  std::wstring search;
  int32_t fore, back;
  bool operator==(const TRule&) const = default;
};

std::vector<TRule> Rules() {
  std::vector<TRule> rules;
  for (int i = 0; i < GetColorInfos()->GetCount(); ++i) {
    TColorInfo* r = GetColorInfos()->GetItem(i);
    rules.push_back({r->SearchStr, r->ForeColor, r->BackColor});
  }
  return rules;
}

void SetRules(const std::vector<TRule>& rules) {
  GetColorInfos()->Clear();
  for (const TRule& r : rules) {
    TColorInfo* rule = GetColorInfos()->Add();
    rule->SearchStr = r.search;
    rule->ForeColor = r.fore;
    rule->BackColor = r.back;
  }
}

class HighlightRules : public testing::Test {
protected:
  void SetUp() override {
    PrepareLogServices();
    SetRules({{L"select", 0x0000FF, 0x00FFFF}, {L"fetch", 0x008000, 0xFFFFFF}});
    FOld = SetChooseColorFunc(PickColor);
    GPickerCalls = 0;
    Images = MakeTestImages(nullptr);
  }
  void TearDown() override {
    SetChooseColorFunc(FOld);
    GetColorInfos()->Clear();
    delete Images;
  }
  std::unique_ptr<TStmtColorDlg> ShowList() {
    auto dlg = CreateForm<TStmtColorDlg>(nullptr, Images, nullptr);
    dlg->Show();
    PumpFor(20);
    return dlg;
  }
  TImageList* Images = nullptr;
  TChooseColorFunc FOld = nullptr;
};

}  // namespace

TEST_F(HighlightRules, TheEditorShowsTheRuleAndItsPreviewAndTakesPickedColours) {
  auto editor = CreateForm<TSelColorsDlg>(nullptr);
  editor->RuleIndex = 0;
  editor->Show();
  EXPECT_EQ(editor->WindowText(), L"Choose colors");
  EXPECT_EQ(editor->edt->Text(), L"select");
  EXPECT_EQ(editor->lblFore->Color(), 0x0000FFu);
  EXPECT_EQ(editor->lblBack->Color(), 0x00FFFFu);
  EXPECT_EQ(editor->lblSample->Color(), 0x00FFFFu);
  EXPECT_EQ(editor->lblSample->FontColor(), 0x0000FFu);
  EXPECT_EQ(editor->lblSample->Left(), (editor->ClientWidth() - editor->lblSample->Width()) / 2) << "centred";
  EXPECT_EQ(GetFocus(), editor->edt->Handle());

  editor->lblForeClick(editor->lblFore);
  EXPECT_EQ(GPickerCalls, 1);
  EXPECT_EQ(editor->lblFore->Color(), GPicked);
  EXPECT_EQ(editor->lblSample->FontColor(), GPicked);
  PumpFor(50);
  SaveWindowScreenshot(editor->Handle(), L"HighlightRuleEditor");

  // A new rule starts black on white with no text.
  auto fresh = CreateForm<TSelColorsDlg>(nullptr);
  fresh->Show();
  EXPECT_EQ(fresh->edt->Text(), L"");
  EXPECT_EQ(fresh->lblFore->Color(), 0u);
  EXPECT_EQ(fresh->lblBack->Color(), 0xFFFFFFu);
}

TEST_F(HighlightRules, NewEditAndDeleteChangeTheListInPlace) {
  auto dlg = ShowList();
  EXPECT_EQ(dlg->lvw->ItemCount(), 2);
  EXPECT_EQ(dlg->lvw->ItemText(0, 0), L"select");
  EXPECT_EQ(dlg->lvw->ItemText(0, 1), L"PREVIEW");
  dlg->alsRules->UpdateActions();
  EXPECT_FALSE(dlg->actEdit->Enabled()) << "no row selected";
  EXPECT_TRUE(dlg->actNew->Enabled());

  {
    // OK on a new rule appends it, so it is tried last.
    TFormDriver driver;
    driver.Then(OnForm<TSelColorsDlg>([](TSelColorsDlg* e) {
      e->edt->SetText(L"commit");
      e->lblBack->SetColor(0x123456);
      e->SetModalResult(mrOK);
    }));
    dlg->actNew->Execute();
    EXPECT_TRUE(driver.Done());
  }
  EXPECT_EQ(Rules().back(), (TRule{L"commit", 0, 0x123456}));
  EXPECT_EQ(dlg->lvw->ItemCount(), 3);
  {
    // Cancel leaves the rule as it was.
    TFormDriver driver;
    driver.Then(OnForm<TSelColorsDlg>([](TSelColorsDlg* e) {
      e->edt->SetText(L"changed");
      e->SetModalResult(mrCancel);
    }));
    dlg->lvw->SetItemIndex(1);
    dlg->actEdit->Execute();
    EXPECT_TRUE(driver.Done());
  }
  EXPECT_EQ(Rules()[1], (TRule{L"fetch", 0x008000, 0xFFFFFF}));
  {
    // A double click edits the selected row; an empty search text is accepted.
    TFormDriver driver;
    driver.Then(OnForm<TSelColorsDlg>([](TSelColorsDlg* e) {
      EXPECT_EQ(e->edt->Text(), L"fetch");
      e->edt->SetText(L"");
      e->SetModalResult(mrOK);
    }));
    dlg->lvw->OnDblClick(dlg->lvw);
    EXPECT_TRUE(driver.Done());
  }
  EXPECT_EQ(Rules()[1].search, L"");
  PumpFor(50);
  SaveWindowScreenshot(dlg->Handle(), L"HighlightRules");

  // Deleting down to nothing disables Edit and Delete.
  for (int i = 0; i < 3; ++i) {
    dlg->lvw->SetItemIndex(0);
    dlg->alsRules->UpdateActions();
    ASSERT_TRUE(dlg->actDelete->Enabled());
    dlg->actDelete->Execute();
  }
  EXPECT_TRUE(Rules().empty());
  dlg->alsRules->UpdateActions();
  EXPECT_FALSE(dlg->actEdit->Enabled());
  EXPECT_FALSE(dlg->actDelete->Enabled());
}

TEST_F(HighlightRules, TheRulesAreRestoredUnlessTheListEndsWithOK) {
  const std::vector<TRule> before = Rules();
  auto deleteFirst = [](TStmtColorDlg* d, int result) {
    d->lvw->SetItemIndex(0);
    d->actDelete->Execute();
    d->SetModalResult(result);
  };
  {
    TFormDriver driver;
    driver.Then(OnForm<TStmtColorDlg>([&](TStmtColorDlg* d) { deleteFirst(d, mrCancel); }));
    EXPECT_FALSE(EditHighlightRules(nullptr, Images, nullptr));
  }
  EXPECT_EQ(Rules(), before);
  {
    TFormDriver driver;
    driver.Then(OnForm<TStmtColorDlg>([&](TStmtColorDlg* d) { deleteFirst(d, mrOK); }));
    EXPECT_TRUE(EditHighlightRules(nullptr, Images, nullptr));
  }
  EXPECT_EQ(Rules(), std::vector<TRule>(before.begin() + 1, before.end()));
}
