// Actions: a caption, hint, picture and state with execute and update handlers, shown by the
// menu items, tool buttons and buttons bound to them. The application's idle pass updates the
// actions of every visible form; executing updates first and runs only when enabled.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "Tracer/window/uWinBase.h"

class TAction;
class TImageList;

// A menu item, tool button or button that shows an action.
class TActionClient {
public:
  // The action's texts or state changed.
  virtual void ActionChanged() = 0;
  // The action is being freed: forget it.
  virtual void ActionDestroyed() = 0;

protected:
  ~TActionClient() = default;
};

class TActionList : public TComponent {
public:
  explicit TActionList(TComponent* owner) : TComponent(owner) {}
  ~TActionList() override;
  TImageList* Images() const { return FImages; }
  void SetImages(TImageList* images) { FImages = images; }
  const std::vector<TAction*>& Actions() const { return FActions; }
  // Runs every action's update handler.
  void UpdateActions();

private:
  friend class TAction;
  TImageList* FImages = nullptr;
  std::vector<TAction*> FActions;
};

class TAction : public TComponent {
public:
  using THandler = std::function<void(TAction* sender)>;
  TAction(TComponent* owner, TActionList* list, const std::wstring& name);
  ~TAction() override;

  const std::wstring& Caption() const { return FCaption; }
  void SetCaption(const std::wstring& caption);
  const std::wstring& Hint() const { return FHint; }
  void SetHint(const std::wstring& hint);
  const std::wstring& Category() const { return FCategory; }
  void SetCategory(const std::wstring& category) { FCategory = category; }
  int ImageIndex() const { return FImageIndex; }
  void SetImageIndex(int index);
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool enabled);
  // Shown pressed (tool buttons) or with a check mark (menu items).
  bool Checked() const { return FChecked; }
  // Checking an action of a group (GroupIndex > 0) unchecks the others of its list's group.
  void SetChecked(bool checked);
  bool Visible() const { return FVisible; }
  void SetVisible(bool visible);
  int GroupIndex() const { return FGroupIndex; }
  void SetGroupIndex(int index) { FGroupIndex = index; }
  TActionList* ActionList() const { return FList; }

  // The update handler, when there is one.
  void Update();
  // Update, then the execute handler when the action is enabled; true when it ran.
  bool Execute();

  THandler OnExecute;
  THandler OnUpdate;

  void AddClient(TActionClient* client);
  void RemoveClient(TActionClient* client);

  static const TPropTable& ClassPropTable();
  const TPropTable& GetPropTable() const override { return ClassPropTable(); }

private:
  friend class TActionList;
  void Changed();

  TActionList* FList;
  std::wstring FCaption, FHint, FCategory;
  int FImageIndex = -1;
  bool FEnabled = true;
  bool FChecked = false;
  bool FVisible = true;
  int FGroupIndex = 0;
  std::vector<TActionClient*> FClients;
};
