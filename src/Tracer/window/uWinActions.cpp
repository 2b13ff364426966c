#include "Tracer/window/uWinActions.h"

#include <algorithm>

TActionList::~TActionList() {
  for (TAction* a : FActions) a->FList = nullptr;
}

void TActionList::UpdateActions() {
  // An update handler may add or free actions: walk a copy.
  std::vector<TAction*> actions = FActions;
  for (TAction* a : actions) a->Update();
}

TAction::TAction(TComponent* owner, TActionList* list, const std::wstring& name) : TComponent(owner), FList(list) {
  SetName(name);
  if (list) list->FActions.push_back(this);
}

TAction::~TAction() {
  if (FList) {
    auto& v = FList->FActions;
    v.erase(std::remove(v.begin(), v.end(), this), v.end());
  }
  // A client freed later must not reach this action any more.
  std::vector<TActionClient*> clients = std::move(FClients);
  for (TActionClient* c : clients) c->ActionDestroyed();
}

void TAction::Changed() {
  std::vector<TActionClient*> clients = FClients;
  for (TActionClient* c : clients) c->ActionChanged();
}

void TAction::SetCaption(const std::wstring& caption) {
  if (caption == FCaption) return;
  FCaption = caption;
  Changed();
}

void TAction::SetHint(const std::wstring& hint) {
  if (hint == FHint) return;
  FHint = hint;
  Changed();
}

void TAction::SetImageIndex(int index) {
  if (index == FImageIndex) return;
  FImageIndex = index;
  Changed();
}

void TAction::SetEnabled(bool enabled) {
  if (enabled == FEnabled) return;
  FEnabled = enabled;
  Changed();
}

void TAction::SetChecked(bool checked) {
  if (checked == FChecked) return;
  FChecked = checked;
  if (checked && FGroupIndex > 0 && FList)
    for (TAction* other : FList->FActions)
      if (other != this && other->FGroupIndex == FGroupIndex) other->SetChecked(false);
  Changed();
}

void TAction::SetVisible(bool visible) {
  if (visible == FVisible) return;
  FVisible = visible;
  Changed();
}

void TAction::Update() {
  if (OnUpdate) OnUpdate(this);
}

bool TAction::Execute() {
  Update();
  if (!FEnabled || !OnExecute) return false;
  OnExecute(this);
  return true;
}

void TAction::AddClient(TActionClient* client) {
  FClients.push_back(client);
  client->ActionChanged();
}

void TAction::RemoveClient(TActionClient* client) {
  FClients.erase(std::remove(FClients.begin(), FClients.end(), client), FClients.end());
}

const TPropTable& TAction::ClassPropTable() {
  static const TPropTable table(&TComponent::ClassPropTable(),
                                {
                                    StringProperty<TAction>(L"Caption", &TAction::Caption, &TAction::SetCaption),
                                    StringProperty<TAction>(L"Hint", &TAction::Hint, &TAction::SetHint),
                                });
  return table;
}
