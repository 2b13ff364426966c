// Standard controls: buttons, check boxes, radio buttons, edits and memos, labels, bevels,
// radio and check groups, and the splitter.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "Tracer/window/uWinActions.h"
#include "Tracer/window/uWinBase.h"

// Modal results of forms and buttons.
enum : int { mrNone = 0, mrOK = IDOK, mrCancel = IDCANCEL, mrYes = IDYES, mrNo = IDNO };

class TButton : public TCaptionControl, public TActionClient {
public:
  TButton(TComponent* owner, TControl* parent, const std::wstring& name, const std::wstring& caption, int left,
          int top, int width = 75, int height = 25);
  ~TButton() override;
  // The button Enter presses (BS_DEFPUSHBUTTON).
  void SetDefault(bool value);
  bool Default() const { return FDefault; }
  // The button Escape presses.
  void SetCancel(bool value) { FCancel = value; }
  bool Cancel() const { return FCancel; }
  // Set on the parent form when clicked.
  void SetModalResult(int result) { FModalResult = result; }
  int ModalResult() const { return FModalResult; }
  TAction* Action() const { return FAction; }
  void SetAction(TAction* action);
  TComponent* ActionComponent() const override { return FAction; }
  // The action (updated first) or the click handler, then the modal result.
  void Click();
  void SetEnabled(bool enabled) override;
  std::function<void(TButton*)> OnClick;

  bool Command(WORD code, WORD id) override;
  void ActionChanged() override;
  void ActionDestroyed() override { FAction = nullptr; }

private:
  bool FDefault = false, FCancel = false;
  int FModalResult = mrNone;
  TAction* FAction = nullptr;
};

class TCheckBox : public TCaptionControl {
public:
  TCheckBox(TComponent* owner, TControl* parent, const std::wstring& name, const std::wstring& caption, int left,
            int top, int width, int height = 17, bool radio = false);
  bool Checked() const { return Perform(BM_GETCHECK) == BST_CHECKED; }
  void SetChecked(bool checked) { Perform(BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED); }
  std::function<void(TCheckBox*)> OnClick;
  bool Command(WORD code, WORD id) override;
};

class TRadioButton : public TCheckBox {
public:
  TRadioButton(TComponent* owner, TControl* parent, const std::wstring& name, const std::wstring& caption, int left,
               int top, int width, int height = 17)
      : TCheckBox(owner, parent, name, caption, left, top, width, height, true) {}
};

// A single-line edit; its translatable text is "Text".
class TEdit : public TControl {
public:
  TEdit(TComponent* owner, TControl* parent, const std::wstring& name, int left, int top, int width, int height = 21,
        DWORD extraStyle = 0);
  std::wstring Text() const { return WindowText(); }
  void SetText(const std::wstring& text) { PutWindowText(text); }
  void SetReadOnly(bool readOnly) { Perform(EM_SETREADONLY, readOnly); }
  void SelectAll() { Perform(EM_SETSEL, 0, -1); }
  std::function<void(TEdit*)> OnChange;
  bool Command(WORD code, WORD id) override;
  static const TPropTable& ClassPropTable();
  const TPropTable& GetPropTable() const override { return ClassPropTable(); }
};

// A multi-line edit without word wrap; lines end with CR LF.
class TMemo : public TEdit {
public:
  TMemo(TComponent* owner, TControl* parent, const std::wstring& name, int left, int top, int width, int height,
        bool wordWrap = false);
  void AddLine(const std::wstring& line);
  void Clear() { SetText(std::wstring()); }
  int LineCount() const { return static_cast<int>(Perform(EM_GETLINECOUNT)); }
};

enum class TTextAlign : uint8_t { Left, Center, Right };

// Static text. Text from data should be shown with Literal set (no "&" hot keys).
class TLabel : public TCaptionControl {
public:
  // Without a width the label sizes itself to its text, now and whenever its text or font
  // changes (a translation, a font of its own or its parent's).
  TLabel(TComponent* owner, TControl* parent, const std::wstring& name, const std::wstring& caption, int left, int top,
         int width = 0, int height = 0, TTextAlign align = TTextAlign::Left, bool literal = false);
  void SetCaption(const std::wstring& caption) override;
  void SetSunken(bool sunken);
  void SetTransparent(bool transparent) { FTransparent = transparent; }
  HBRUSH CtlColor(HDC dc) override;
  std::function<void(TLabel*)> OnClick;
  bool Command(WORD code, WORD id) override;
  // The size text takes as the label draws it, in the label's font.
  SIZE TextExtent(const std::wstring& text) const;

protected:
  void FontChanged() override;

private:
  void FitText();
  bool FAutoSize;
  bool FTransparent = false;
};

// A frame (raised or sunken edge) around a part of a window.
class TBevel : public TControl {
public:
  TBevel(TComponent* owner, TControl* parent, const std::wstring& name, int left, int top, int width, int height);
};

// A framed group of radio buttons (one chosen) or check boxes, one per item, stacked.
class TButtonGroup : public TCustomWindow {
public:
  TButtonGroup(TComponent* owner, TControl* parent, const std::wstring& name, const std::wstring& caption, int left,
               int top, int width, int height, bool radio);
  void SetCaption(const std::wstring& caption) override;
  void AddItem(const std::wstring& text);
  int Count() const { return static_cast<int>(FButtons.size()); }
  TCheckBox* Button(int index) const { return FButtons[index]; }

protected:
  void Resized() override;

private:
  HWND FFrame = nullptr;  // the BS_GROUPBOX child, owned by this window
  bool FRadio;
  std::vector<TCheckBox*> FButtons;
};

class TRadioGroup : public TButtonGroup {
public:
  TRadioGroup(TComponent* owner, TControl* parent, const std::wstring& name, const std::wstring& caption, int left,
              int top, int width, int height)
      : TButtonGroup(owner, parent, name, caption, left, top, width, height, true) {}
  // The chosen item, -1 when none.
  int ItemIndex() const;
  void SetItemIndex(int index);
};

class TCheckGroup : public TButtonGroup {
public:
  TCheckGroup(TComponent* owner, TControl* parent, const std::wstring& name, const std::wstring& caption, int left,
              int top, int width, int height)
      : TButtonGroup(owner, parent, name, caption, left, top, width, height, false) {}
  bool Checked(int index) const { return Button(index)->Checked(); }
  void SetChecked(int index, bool checked) { Button(index)->SetChecked(checked); }
};

// Drags the edge between the control aligned before it (on the same side) and the rest.
class TSplitter : public TCustomWindow {
public:
  TSplitter(TComponent* owner, TControl* parent, const std::wstring& name, TAlign align, int size = 3);
  int MinSize = 30;

protected:
  LRESULT OnMessage(UINT msg, WPARAM wp, LPARAM lp) override;

private:
  TControl* Target() const;
  bool FDragging = false;
  int FStart = 0, FStartSize = 0;
};
