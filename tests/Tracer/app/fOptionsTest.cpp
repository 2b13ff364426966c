// The options tree under Xvfb: groups of radio and check options whose state is their picture,
// changed only by a click on the picture; the main window's options flow (time format and
// visible columns) with its callbacks.
#include "Tracer/app/fOptions.h"

#include <gtest/gtest.h>

#include "LogTestSupport.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/window/WindowTestImages.h"
#include "Tracer/window/WindowTestSupport.h"
#include "support/TestSupport.h"

namespace {

class Options : public testing::Test {
protected:
  void SetUp() override {
    PrepareLogServices();
    Images = MakeTestImages(nullptr);
    Bitmaps = TComPtr<ISystemBitmaps>(new TSystemBitmaps());
    Storage = std::make_unique<TSystemImagesStorage>(Bitmaps.Get(), Images->Handle());
    TimeFormatDigits = 0;
  }
  void TearDown() override {
    Storage.reset();
    delete Images;
    TimeFormatDigits = 0;
  }
  std::unique_ptr<TfrmOptions> ShowOptionsForm() {
    auto dlg = CreateForm<TfrmOptions>(nullptr, Images, *Storage);
    dlg->AddRadioGroup(L"Time format", 17, 1, {L"1 ms", L"0.1 ms", L"0.01 ms"});
    dlg->AddCheckGroup(L"Columns", 18, {{L"Call", true}, {L"Time", false}});
    dlg->AddRadioGroup(L"Odd", 17, 7, {L"a", L"b"});
    dlg->Show();
    PumpFor(20);
    return dlg;
  }
  // A click at the node's picture (or, with onText, on its text).
  static void ClickNode(TfrmOptions& dlg, int group, int option, bool onText = false) {
    TTreeView* tree = dlg.tvwOptions;
    HTREEITEM node = tree->Children(tree->Children(tree->Root())[group])[option];
    RECT text = tree->ItemTextRect(node);
    // At a point, not by moving the cursor: the display is shared with suites that use it.
    dlg.ClickAt(POINT{onText ? text.left + 4 : text.left - 8, (text.top + text.bottom) / 2});
  }
  static std::vector<bool> Checks(TfrmOptions& dlg, int group) {
    TOptionDynArray items;
    dlg.GetCheckGroup(group, items);
    std::vector<bool> checks;
    for (const TOption& o : items) checks.push_back(o.Checked);
    return checks;
  }

  TImageList* Images = nullptr;
  TComPtr<ISystemBitmaps> Bitmaps;
  std::unique_ptr<TSystemImagesStorage> Storage;
};

}  // namespace

TEST_F(Options, GroupsAnswerTheirStateAndOnlyAClickOnAPictureChangesIt) {
  auto dlg = ShowOptionsForm();
  EXPECT_EQ(dlg->tvwOptions->ItemText(dlg->tvwOptions->Root()), L"Options") << "the form's caption";
  EXPECT_EQ(dlg->GetRadioGroupIndex(0), 1);
  TOptionDynArray items;
  dlg->GetCheckGroup(1, items);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].Caption, L"Call");
  EXPECT_EQ(Checks(*dlg, 1), (std::vector<bool>{true, false}));
  EXPECT_EQ(dlg->GetRadioGroupIndex(2), -1) << "created with a checked index outside its items";
  PumpFor(50);
  SaveWindowScreenshot(dlg->Handle(), L"Options");

  struct TCase {
    const char* what;
    int group, option;
    bool onText;
    int radio;                // of group 0 afterwards
    std::vector<bool> checks; // of group 1 afterwards
  } cases[] = {
      {"text of a radio option", 0, 2, true, 1, {true, false}},
      {"picture of the checked radio option", 0, 1, false, 1, {true, false}},
      {"picture of another radio option", 0, 2, false, 2, {true, false}},
      {"text of a check option", 1, 1, true, 2, {true, false}},
      {"picture of a check option", 1, 1, false, 2, {true, true}},
      {"the same picture again", 1, 1, false, 2, {true, false}},
  };
  for (const TCase& c : cases) {
    ClickNode(*dlg, c.group, c.option, c.onText);
    EXPECT_EQ(dlg->GetRadioGroupIndex(0), c.radio) << c.what;
    EXPECT_EQ(Checks(*dlg, 1), c.checks) << c.what;
  }
  ClickNode(*dlg, 2, 0);
  EXPECT_EQ(dlg->GetRadioGroupIndex(2), 0) << "a click makes the odd group's choice";
}

TEST_F(Options, TheOptionsFlowReadsTimeFormatAndColumnsBackOnOK) {
  TMainOptions options;
  options.TimeFormatCaption = L"Time format";
  options.TimeFormats = {L"1 ms", L"0.1 ms", L"0.01 ms"};
  options.ColumnsCaption = L"Columns";
  options.ColumnCaptions = {L"Thread Id", L"Call", L"Time (ms)", L"Result", L"Parameters"};
  options.ColumnsVisible = {true, true, true, true, true};
  auto run = [&](int result) {
    TFormDriver driver;
    driver.Then(OnForm<TfrmOptions>([&](TfrmOptions* d) {
      TTreeView* tree = d->tvwOptions;
      // Time format 0.01 ms; the Time column hidden.
      HTREEITEM time = tree->Children(tree->Root())[0], cols = tree->Children(tree->Root())[1];
      const int radioOn = Storage->RadioButtonImageIndex(true), radioOff = Storage->RadioButtonImageIndex(false);
      for (int i = 0; i < 3; ++i) tree->SetItemImage(tree->Children(time)[i], i == 2 ? radioOn : radioOff, 0);
      const int unchecked = Storage->CheckBoxImageIndex(false);
      tree->SetItemImage(tree->Children(cols)[colTime], unchecked, unchecked);
      d->SetModalResult(result);
    }));
    return EditMainOptions(nullptr, Images, *Storage, options);
  };
  EXPECT_FALSE(run(mrCancel));
  EXPECT_EQ(options.TimeFormat, 0);
  EXPECT_EQ(options.ColumnsVisible, (std::vector<bool>{true, true, true, true, true}));

  EXPECT_TRUE(run(mrOK));
  EXPECT_EQ(options.TimeFormat, 2);
  EXPECT_EQ(options.ColumnsVisible, (std::vector<bool>{true, true, false, true, true}));
}
