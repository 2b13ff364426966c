#include "Tracer/app/fMainPluginBar.h"

#include <string>

namespace {

// A plug-in's command as an action of the window: texts and state come from the plug-in.
class TPluginToolAction : public TAction {
public:
  TPluginToolAction(TComponent* owner, TActionList* list, std::unique_ptr<TAppPluginAction> action)
      : TAction(owner, list, std::wstring()), FPluginAction(std::move(action)) {
    SetCaption(FPluginAction->GetCaption());
    SetHint(FPluginAction->GetHint());
    SetImageIndex(FPluginAction->GetImageIndex());
    OnUpdate = [this](TAction*) {
      FPluginAction->Update();
      SetEnabled(FPluginAction->GetEnabled());
      SetVisible(FPluginAction->GetVisible());
    };
    // The plug-in may remove this action inside Execute: nothing of it is touched afterwards.
    OnExecute = [this](TAction*) { FPluginAction->Execute(); };
  }
  TAppPluginAction* PluginAction() const { return FPluginAction.get(); }

private:
  std::unique_ptr<TAppPluginAction> FPluginAction;
};

}  // namespace

HIMAGELIST TToolbarPluginActionsImpl::GetImages() {
  return FToolBar->Images() ? FToolBar->Images()->Handle() : nullptr;
}

void TToolbarPluginActionsImpl::AddAction(std::unique_ptr<TAppPluginAction> Action) {
  auto* button = new TToolButton(FToolBar, FToolBar, std::wstring());
  // The button owns its action: freeing the button frees both.
  auto* action = new TPluginToolAction(button, FActionList, std::move(Action));
  button->SetAction(action);
  FToolBar->SetVisible(true);
  if (FToolBar->Parent()) FToolBar->Parent()->AlignControls();
}

void TToolbarPluginActionsImpl::RemoveActions(IAppPluginAction* Action) {
  for (int i = FToolBar->ButtonCount() - 1; i >= 0; --i) {
    TToolButton* button = FToolBar->Button(i);
    auto* action = dynamic_cast<TPluginToolAction*>(button->Action());
    if (action && action->PluginAction()->GetPluginAction() == Action) delete button;
  }
  FToolBar->SetVisible(FToolBar->ButtonCount() > 1);
  if (FToolBar->Parent()) FToolBar->Parent()->AlignControls();
}
