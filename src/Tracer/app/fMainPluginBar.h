// The main window's plug-in toolbar: the actions plug-ins add, one tool button each.
#pragma once
#include <windows.h>

#include <memory>

#include "Tracer/app/uAppPlugins.h"
#include "Tracer/window/uWinActions.h"
#include "Tracer/window/uWinComCtrls.h"

// The toolbar that plug-ins add their actions to.
class TToolbarPluginActionsImpl : public IAppPluginActionsImpl {
public:
  TToolbarPluginActionsImpl(TToolBar* toolBar, TActionList* actionList)
      : FToolBar(toolBar), FActionList(actionList) {}
  HIMAGELIST GetImages() override;
  void AddAction(std::unique_ptr<TAppPluginAction> Action) override;
  void RemoveActions(IAppPluginAction* Action) override;

private:
  TToolBar* FToolBar;
  TActionList* FActionList;
};
