// The window layer where it can go wrong: notifications of nested controls reaching their
// handlers, accelerators of the active form only, actions updated before they run, the modal
// loop's idle processing, exceptions stopped at the window boundary, and the keys of a virtual list.
#include "Tracer/window/uWinForms.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Tracer/window/WindowTestSupport.h"
#include "Tracer/window/uWinComCtrls.h"
#include "Tracer/window/uWinMenus.h"

namespace {

// A list view and a button in a panel on a tab sheet; a menu item with F9; an action shown by
// a tool button, a menu item and a button.
class TRoutingForm : public TForm {
public:
  TRoutingForm() : TForm(nullptr, L"TRoutingForm", 400, 300) {
    SetFormFont(L"Arial", -11);
    menu = new TMainMenu(this, L"mmu");
    auto* top = new TMenuItem(this, menu, L"mniTop", L"&Tracer");
    mniRun = new TMenuItem(this, top, L"mniRun", L"&Run");
    mniRun->SetShortCut(TShortCut{VK_F9, 0});
    mniRun->OnClick = [this](TMenuItem*) { ++menuClicks; };
    SetMenu(menu);
    actions = new TActionList(this);
    actTest = new TAction(this, actions, L"actTest");
    actTest->SetCaption(L"Test");
    actTest->SetHint(L"Test hint");
    mniAction = new TMenuItem(this, top, L"mniAction");
    mniAction->SetAction(actTest);
    tbr = new TToolBar(this, this, L"tbr", 0, 0, 400, 26);
    tbr->SetAlign(TAlign::alTop);
    btnTool = new TToolButton(this, tbr, L"btnTool");
    btnTool->SetAction(actTest);
    pcl = new TPageControl(this, this, L"pcl", 0, 0, 400, 274);
    pcl->SetAlign(TAlign::alClient);
    tsh = new TTabSheet(this, pcl, L"tsh", L"Page");
    pcl->SetActivePage(tsh);
    pnl = new TPanel(this, tsh, 0, 0, 200, 200);
    pnl->SetAlign(TAlign::alClient);
    lvw = new TListView(this, pnl, L"lvw", 8, 8, 200, 120, TListViewStyle{});
    lvw->AddColumn(L"Name", 100);
    lvw->AddItem(L"one");
    lvw->AddItem(L"two");
    lvw->OnChange = [this](TListView*, int) { ++listChanges; };
    btn = new TButton(this, pnl, L"btn", L"&Press", 8, 140);
    btn->OnClick = [this](TButton*) { ++buttonClicks; };
    btnAction = new TButton(this, pnl, L"btnAction", L"", 100, 140);
    btnAction->SetAction(actTest);
  }
  TMainMenu* menu;
  TMenuItem *mniRun, *mniAction;
  TActionList* actions;
  TAction* actTest;
  TToolBar* tbr;
  TToolButton* btnTool;
  TPageControl* pcl;
  TTabSheet* tsh;
  TPanel* pnl;
  TListView* lvw;
  TButton *btn, *btnAction;
  int menuClicks = 0, listChanges = 0, buttonClicks = 0;
};


}  // namespace

TEST(WindowRouting, NotificationsOfNestedControlsReachTheirHandlers) {
  auto form = CreateForm<TRoutingForm>();
  form->Show();
  ASSERT_TRUE(ActivateWithin(form->Handle(), 5000));

  form->lvw->SetItemIndex(1);
  EXPECT_GT(form->listChanges, 0) << "list view in a panel on a tab sheet";
  EXPECT_EQ(form->lvw->ItemIndex(), 1);

  SendMessageW(form->btn->Handle(), BM_CLICK, 0, 0);
  EXPECT_EQ(form->buttonClicks, 1) << "button in a panel";

  SendMessageW(form->Handle(), WM_COMMAND, MAKEWPARAM(form->mniRun->CommandId(), 0), 0);
  EXPECT_EQ(form->menuClicks, 1) << "menu command";

  // The panel fills the tab sheet's page area, the sheet the page control below the toolbar.
  EXPECT_EQ(form->pnl->Width(), form->tsh->ClientWidth());
  EXPECT_EQ(form->pcl->Top(), form->tbr->Height());
  SaveWindowScreenshot(form->Handle(), L"RoutingForm");
}

TEST(WindowRouting, AcceleratorsServeOnlyTheActiveEnabledForm) {
  auto first = CreateForm<TRoutingForm>();
  auto second = CreateForm<TRoutingForm>();
  first->Show();
  ASSERT_TRUE(ActivateWithin(first->Handle(), 5000));
  first->lvw->SetFocus();

  PostMessageW(first->lvw->Handle(), WM_KEYDOWN, VK_F9, 0);
  PumpFor(100);
  EXPECT_EQ(first->menuClicks, 1);
  EXPECT_EQ(second->menuClicks, 0) << "a hidden form's short cut";

  EnableWindow(first->Handle(), FALSE);
  PostMessageW(first->lvw->Handle(), WM_KEYDOWN, VK_F9, 0);
  PumpFor(100);
  EXPECT_EQ(first->menuClicks, 1) << "a disabled form takes no short cut";
  EnableWindow(first->Handle(), TRUE);
}

TEST(WindowActions, ExecuteUpdatesFirstAndRunsOnlyWhenEnabled) {
  auto form = CreateForm<TRoutingForm>();
  form->Show();
  std::string log;
  bool allow = true;
  form->actTest->OnUpdate = [&](TAction* a) {
    log += "u";
    a->SetEnabled(allow);
  };
  form->actTest->OnExecute = [&](TAction*) { log += "x"; };

  struct TCase {
    const char* via;
    bool allow;
    bool staleEnabled;  // the state before the update
    const char* expected;
  };
  const TCase cases[] = {
      {"Execute", true, false, "ux"},    {"Execute", false, true, "u"},
      {"menu", true, false, "ux"},       {"menu", false, true, "u"},
      {"tool button", true, false, "ux"}, {"tool button", false, true, "u"},
      {"button", true, true, "ux"},
  };
  for (const TCase& c : cases) {
    log.clear();
    allow = c.allow;
    form->actTest->SetEnabled(c.staleEnabled);
    const std::string via = c.via;
    if (via == "Execute") {
      form->actTest->Execute();
    } else if (via == "menu") {
      SendMessageW(form->Handle(), WM_COMMAND, MAKEWPARAM(form->mniAction->CommandId(), 0), 0);
    } else if (via == "tool button") {
      SendMessageW(form->Handle(), WM_COMMAND, MAKEWPARAM(form->btnTool->CommandId(), BN_CLICKED),
                   reinterpret_cast<LPARAM>(form->tbr->Handle()));
    } else {
      form->actTest->SetEnabled(true);
      SendMessageW(form->btnAction->Handle(), BM_CLICK, 0, 0);
    }
    EXPECT_EQ(log, c.expected) << c.via << (c.allow ? " enabled" : " disabled");
  }
  // Clients follow the action's state and texts.
  allow = false;
  form->actTest->Update();
  EXPECT_FALSE(form->btnTool->Enabled());
  EXPECT_FALSE(form->mniAction->Enabled());
  EXPECT_FALSE(form->btnAction->Enabled());
  EXPECT_EQ(form->btnTool->Hint(), L"Test hint");
  EXPECT_EQ(form->mniAction->Caption(), L"Test");
}

TEST(WindowModal, ModalLoopRunsIdleProcessingAndDisablesTheOtherWindows) {
  auto owner = CreateForm<TRoutingForm>();
  owner->Show();
  auto dialog = CreateForm<TRoutingForm>();
  int updates = 0, idlePasses = 0;
  bool ownerDisabledWhileModal = false;
  dialog->actTest->OnUpdate = [&](TAction*) { ++updates; };
  Application()->OnIdle = [&](bool& done) {
    ++idlePasses;
    if (dialog->IsModal() && dialog->Visible() && updates > 0) {
      ownerDisabledWhileModal = !IsWindowEnabled(owner->Handle());
      dialog->SetModalResult(mrOK);
    }
    done = true;
  };
  // A bound on the wait: the modal loop must end by itself long before.
  TTimer safety(nullptr, L"tmrSafety", ScaledMs(10000));
  safety.OnTimer = [&](TTimer*) { dialog->SetModalResult(IDABORT); };
  const int result = dialog->ShowModal();
  Application()->OnIdle = nullptr;
  EXPECT_EQ(result, mrOK);
  EXPECT_GT(idlePasses, 0);
  EXPECT_GT(updates, 0) << "the modal form's actions are updated in its loop";
  EXPECT_TRUE(ownerDisabledWhileModal);
  EXPECT_TRUE(IsWindowEnabled(owner->Handle())) << "enabled again after the modal loop";
  EXPECT_FALSE(dialog->Visible());
}

TEST(WindowGuard, ExceptionsInHandlersReachTheApplicationHandler) {
  auto form = CreateForm<TRoutingForm>();
  form->Show();
  TCaughtExceptions caught;
  form->btn->OnClick = [](TButton*) { throw Exception(L"button failed"); };
  SendMessageW(form->btn->Handle(), BM_CLICK, 0, 0);
  form->mniRun->OnClick = [](TMenuItem*) { throw std::runtime_error("menu failed"); };
  SendMessageW(form->Handle(), WM_COMMAND, MAKEWPARAM(form->mniRun->CommandId(), 0), 0);
  TTimer timer(nullptr, L"tmr", 10);
  timer.OnTimer = [](TTimer* t) {
    t->SetEnabled(false);
    throw Exception(L"timer failed");
  };
  Application()->OnIdle = [](bool&) { throw Exception(L"idle failed"); };
  PostMessageW(form->Handle(), WM_NULL, 0, 0);
  PumpUntil([&] { return caught.Messages().size() >= 4; }, 2000);
  Application()->HandleMessage();  // one idle pass at least
  Application()->OnIdle = nullptr;
  ASSERT_GE(caught.Messages().size(), 4u);
  EXPECT_EQ(caught.Messages()[0], L"button failed");
  EXPECT_EQ(caught.Messages()[1], L"menu failed");
  std::vector<std::wstring> rest(caught.Messages().begin() + 2, caught.Messages().end());
  EXPECT_NE(std::find(rest.begin(), rest.end(), L"timer failed"), rest.end());
  EXPECT_NE(std::find(rest.begin(), rest.end(), L"idle failed"), rest.end());
  // The window still works.
  form->btn->OnClick = [&](TButton*) { ++form->buttonClicks; };
  SendMessageW(form->btn->Handle(), BM_CLICK, 0, 0);
  EXPECT_EQ(form->buttonClicks, 1);
}

TEST(WindowMenus, DataCaptionsShowTheirAmpersand) {
  TPopupMenu menu(nullptr, L"pmn");
  TMenuItem item(nullptr, &menu, L"", L"C:\\R&D\\app.exe -x");
  item.SetLiteralCaption(true);
  wchar_t text[100] = L"";
  GetMenuStringW(menu.Handle(), 0, text, 100, MF_BYPOSITION);
  EXPECT_STREQ(text, L"C:\\R&&D\\app.exe -x");
  EXPECT_EQ(item.Caption(), L"C:\\R&D\\app.exe -x") << "the caption itself stays the data";
  EXPECT_EQ(StripHotKeys(L"&German"), L"German");
  EXPECT_EQ(StripHotKeys(L"R&&D"), L"R&D");
}

TEST(WindowLists, StateImagesAreOneBasedInTheControl) {
  auto form = CreateForm<TRoutingForm>();
  form->lvw->SetItemStateImage(0, 0);
  form->lvw->SetItemStateImage(1, 3);
  EXPECT_EQ(ListView_GetItemState(form->lvw->Handle(), 0, LVIS_STATEIMAGEMASK), INDEXTOSTATEIMAGEMASK(1));
  EXPECT_EQ(ListView_GetItemState(form->lvw->Handle(), 1, LVIS_STATEIMAGEMASK), INDEXTOSTATEIMAGEMASK(4));
}

// A virtual single-select list of 1,000 rows, as the log view is.
class TVirtualListForm : public TForm {
public:
  TVirtualListForm() : TForm(nullptr, L"TVirtualListForm", 300, 300) {
    TListViewStyle style;
    style.OwnerData = true;
    style.ShowSelAlways = true;
    lvw = new TListView(this, this, L"lvw", 0, 0, 280, 260, style);
    lvw->AddColumn(L"Row", 100);
    lvw->OnData = [](TListView*, int index, std::vector<std::wstring>& texts) { texts = {std::to_wstring(index)}; };
    lvw->SetItemCount(1000);
    lvw->OnChange = [this](TListView* list, int) { lastSeen = list->ItemIndex(); };
  }
  TListView* lvw;
  int lastSeen = -2;
};

TEST(WindowLists, KeysMoveTheOneSelectedRowOfAVirtualList) {
  auto form = CreateForm<TVirtualListForm>();
  form->Show();
  TListView* list = form->lvw;
  const int page = ListView_GetCountPerPage(list->Handle());
  const struct {
    WORD Key;
    int From, To;
  } cases[] = {
      {VK_END, 5, 999}, {VK_END, 999, 999}, {VK_HOME, 999, 0}, {VK_HOME, 0, 0}, {VK_DOWN, 5, 6},
      {VK_UP, 5, 4},    {VK_UP, 0, 0},      {VK_DOWN, 999, 999}, {VK_NEXT, 0, page - 1},
  };
  for (const auto& c : cases) {
    list->SetItemIndex(c.From);
    form->lastSeen = -2;
    SendMessageW(list->Handle(), WM_KEYDOWN, c.Key, 1);
    const std::string step = "key " + std::to_string(c.Key) + " from row " + std::to_string(c.From);
    EXPECT_EQ(list->ItemIndex(), c.To) << step;
    EXPECT_EQ(list->SelCount(), 1) << step;
    EXPECT_EQ(ListView_GetNextItem(list->Handle(), -1, LVNI_FOCUSED), c.To) << step;
    if (c.To != c.From) {
      EXPECT_EQ(form->lastSeen, c.To) << step << ": the change handler's last view";
    }
  }
  list->SetItemIndex(997);
  SendMessageW(list->Handle(), WM_KEYDOWN, VK_END, 1);
  EXPECT_GE(ListView_GetTopIndex(list->Handle()) + page, 1000) << "End shows the last row";
  SaveWindowScreenshot(form->Handle(), L"VirtualListEnd");
}

TEST(WindowHints, HintShowsAfterThePauseAndTheHandlerMayChangeIt) {
  auto form = CreateForm<TRoutingForm>();
  Application()->SetMainForm(form.get());
  Application()->SetShowHint(true);
  Application()->HintPause = 50;
  form->Show();
  ASSERT_TRUE(ActivateWithin(form->Handle(), 5000));
  form->btn->SetShowHint(true);
  form->btn->SetHint(L"Press it");
  std::wstring handlerSaw;
  Application()->OnShowHint = [&](std::wstring& hint, bool& canShow, THintInfo& info) {
    handlerSaw = hint;
    if (info.HintControl == form->btn) hint += L" now";
    canShow = info.HintControl == form->btn;
  };
  auto hover = [&](TControl* c) {
    RECT r = MapRect(c->Handle(), nullptr, c->ClientRect());
    POINT center{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
    SetCursorPos(center.x, center.y);
    POINT client = center;
    ScreenToClient(c->Handle(), &client);
    PostMessageW(c->Handle(), WM_MOUSEMOVE, 0, MAKELPARAM(client.x, client.y));
  };
  hover(form->btn);
  THintWindow* hint = Application()->HintWindow();
  ASSERT_NE(hint, nullptr);
  ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(hint->Handle()) != FALSE; }, 3000));
  EXPECT_EQ(handlerSaw, L"Press it");
  EXPECT_EQ(hint->Text(), L"Press it now");
  SaveWindowScreenshot(hint->Handle(), L"HintWindow");

  // A key hides it; switching hints off and on makes a new window of the current kind.
  PostMessageW(form->btn->Handle(), WM_KEYDOWN, VK_SHIFT, 0);
  PumpFor(50);
  EXPECT_FALSE(IsWindowVisible(hint->Handle()));
  struct TFramedHint : THintWindow {
    explicit TFramedHint(HFONT font) : THintWindow(font, L"TFramedHint") {}
  };
  Application()->SetHintWindowFactory([](HFONT font) { return std::make_unique<TFramedHint>(font); });
  Application()->SetShowHint(false);
  EXPECT_EQ(Application()->HintWindow(), nullptr);
  Application()->SetShowHint(true);
  ASSERT_NE(dynamic_cast<TFramedHint*>(Application()->HintWindow()), nullptr);
  Application()->SetShowHint(false);
  Application()->OnShowHint = nullptr;
  Application()->SetHintWindowFactory([](HFONT font) { return std::make_unique<THintWindow>(font); });
}
