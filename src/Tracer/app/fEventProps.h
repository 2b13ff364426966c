// The window with every value of the focused log row: names and values in a property list,
// a tool bar with the main window's log navigation, ASCII and hexadecimal view and "stay on
// top". It follows the focused row: the main window reloads it (RefreshEventProps) whenever
// the focus moves, by arrow key, click or its navigation actions.
#pragma once
#include <memory>

#include "Tracer/app/fTemplateDlg.h"
#include "Tracer/app/uTEQColumns.h"
#include "Tracer/window/uPropertyListBox.h"
#include "Tracer/window/uWinActions.h"
#include "Tracer/window/uWinComCtrls.h"

// What the window takes from the main window, which implements this.
class IEventPropsHost {
public:
  enum TNavigation { navFirst, navUp, navDown, navLast };
  // The main window's pictures.
  virtual TImageList* Images() = 0;
  // The log's navigation actions, shown on the window's tool bar.
  virtual TAction* NavigationAction(TNavigation which) = 0;
  // The log's columns (the focused row comes from the visible-events list).
  virtual TTEQColumnManager* ColumnManager() = 0;

protected:
  ~IEventPropsHost() = default;
};

class TfrmEventProps : public TfrmBaseDlg {
public:
  TfrmEventProps(TComponent* owner, IEventPropsHost* host);
  ~TfrmEventProps() override;

  void FormCreate() override;
  // Rebuilds the list from the focused row of the visible-events list.
  void LoadFocusedEvent();
  void AddCallEvent(ITracerEvent* event);
  void AddErrorEvent(ITracerEvent* event);
  void AddEventText(ITracerEvent* event);

  TPropertyListBox* pbx = nullptr;
  TToolBar* tbr;
  TActionList* alsEventProps;
  TAction* actASCIIMode;
  TAction* actHexMode;
  TAction* actStayOnTop;
  TToolButton* btnASCII;
  TToolButton* btnHex;
  TToolButton* btnStayOnTop;

protected:
  void DoShow() override;

private:
  void FitHeight();
  IEventPropsHost* FHost;
  std::unique_ptr<TSimpleTEQReader> FReader;
};

// The main window registers itself once; the window is then made on first use, owned by the
// application's main form, and only hidden and shown after that.
void SetEventPropsHost(IEventPropsHost* host);
TfrmEventProps* GetEventPropsForm();
// Shows the window with the focused row (the action "Event properties").
void ShowEventProperties();
// Reloads the window when it is visible (the focused row changed).
void RefreshEventProps();
// Frees the window now, e.g. before its host goes.
void FreeEventPropsForm();
