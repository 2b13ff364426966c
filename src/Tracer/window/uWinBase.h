// The window layer's base: components (name, owner, owned components, translatable texts in
// a property table), controls (a window handle with one-line methods over its messages) and
// windows of our own classes, whose one window procedure hands each message to the object's
// OnMessage and reflects the notifications of child controls back to them.
#pragma once
#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Tracer/foundation/uPersistent.h"
#include "Tracer/window/uWinHandles.h"

class TPopupMenu;

// A named object owned by another; the owner frees what it owns, the last created first.
// The module (program or library) the window layer is linked into; its windows' instance.
HINSTANCE ThisModule();

class TComponent : public TPersistent {
public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  const std::wstring& Name() const { return FName; }
  void SetName(const std::wstring& name) { FName = name; }
  TComponent* Owner() const { return FOwner; }
  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Component(int index) const { return FComponents[index]; }
  // The action whose texts this component shows (nil: none); such components take their
  // texts from the action, which is translated as a component of its own.
  virtual TComponent* ActionComponent() const { return nullptr; }
  virtual bool IsForm() const { return false; }

  // Translation starts from the built-in text each time: the default of a text that was
  // translated before and not changed since is the text it was translated from, so switching
  // back to a language (English included) never starts from another language's words.
  std::wstring TranslationDefault(const std::wstring& key, const std::wstring& current) const;
  void RememberTranslation(const std::wstring& key, const std::wstring& defaultText, const std::wstring& translated);

  static const TPropTable& ClassPropTable();
  const TPropTable& GetPropTable() const override { return ClassPropTable(); }

protected:
  // Frees the owned components now (a window frees its children before its own handle).
  void DestroyComponents();

private:
  struct TTranslatedText {
    std::wstring Default, Translated;
  };
  TComponent* FOwner;
  std::wstring FName;
  std::vector<TComponent*> FComponents;
  std::vector<std::pair<std::wstring, TTranslatedText>> FTranslated;
};

enum class TAlign : uint8_t { alNone, alTop, alBottom, alLeft, alRight, alClient };
enum TAnchors : uint8_t { akLeft = 1, akTop = 2, akRight = 4, akBottom = 8 };

// A window: a standard or common control, or one of our own classes (TCustomWindow).
// Position and size are in pixels of the parent's client area.
class TControl : public TComponent {
public:
  TControl(TComponent* owner, TControl* parent);
  ~TControl() override;

  HWND Handle() const { return FHandle.Get(); }
  TControl* Parent() const { return FParent; }
  const std::vector<TControl*>& Controls() const { return FControls; }
  // The control behind a window of this layer, nil for others.
  static TControl* FromHandle(HWND window);

  void SetBounds(int left, int top, int width, int height);
  RECT BoundsRect() const;
  int Left() const { return BoundsRect().left; }
  int Top() const { return BoundsRect().top; }
  int Width() const;
  int Height() const;
  RECT ClientRect() const;
  int ClientWidth() const { return ClientRect().right; }
  int ClientHeight() const { return ClientRect().bottom; }
  void SetAlign(TAlign align);
  TAlign Align() const { return FAlign; }
  // Anchors are taken relative to the parent's client size at the time they are set.
  void SetAnchors(uint8_t anchors);

  bool Visible() const { return (GetWindowLongW(Handle(), GWL_STYLE) & WS_VISIBLE) != 0; }
  virtual void SetVisible(bool visible);
  bool Enabled() const { return IsWindowEnabled(Handle()) != FALSE; }
  virtual void SetEnabled(bool enabled) { EnableWindow(Handle(), enabled); }
  std::wstring WindowText() const;
  void PutWindowText(const std::wstring& text) { ::SetWindowTextW(Handle(), text.c_str()); }
  void SetFocus() { ::SetFocus(Handle()); }
  void Invalidate() { InvalidateRect(Handle(), nullptr, TRUE); }
  void Repaint() { RedrawWindow(Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN); }
  LRESULT Perform(UINT msg, WPARAM wp = 0, LPARAM lp = 0) const { return SendMessageW(Handle(), msg, wp, lp); }

  // The font in use: the control's own, else its parent's.
  HFONT Font() const;
  // Gives the control a font of its own (and hands it on to its children).
  void SetFont(const std::wstring& name, int height, bool bold = false, bool underline = false);
  void SetFontHandle(HFONT font);
  COLORREF FontColor() const { return FFontColor; }
  void SetFontColor(COLORREF color);
  // CLR_NONE: the system's colour.
  COLORREF Color() const { return FColor; }
  void SetColor(COLORREF color);
  void SetCursor(LPCWSTR systemCursor) { FCursor = systemCursor; }
  LPCWSTR Cursor() const { return FCursor; }

  const std::wstring& Hint() const { return FHint; }
  void SetHint(const std::wstring& hint) { FHint = hint; }
  bool ShowHint() const { return FShowHint; }
  void SetShowHint(bool show) { FShowHint = show; }
  // The hint text at a point of the client area (tool buttons have their own).
  virtual std::wstring HintAt(POINT /*clientPoint*/) const { return FHint; }
  TPopupMenu* PopupMenu() const { return FPopupMenu; }
  void SetPopupMenu(TPopupMenu* menu) { FPopupMenu = menu; }

  // Notifications of this control, reflected by its parent; true when handled.
  virtual bool Command(WORD /*code*/, WORD /*id*/) { return false; }
  virtual bool Notify(NMHDR* /*header*/, LRESULT& /*result*/) { return false; }
  virtual bool DrawItem(DRAWITEMSTRUCT* /*item*/) { return false; }
  virtual bool MeasureItem(MEASUREITEMSTRUCT* /*item*/) { return false; }
  // WM_CTLCOLOR*: the colours of the control's text and background.
  virtual HBRUSH CtlColor(HDC dc);
  // The size changed (by layout or SetBounds).
  virtual void Resized();
  // The font in use changed (its own, or the parent's that it shows).
  virtual void FontChanged() {}
  // Lays out the aligned and anchored children in the client area.
  void AlignControls();

  std::function<void(TControl*)> OnResize;

  static const TPropTable& ClassPropTable();
  const TPropTable& GetPropTable() const override { return ClassPropTable(); }

protected:
  // Makes the window: a child of the parent (a top-level window without one), invisible
  // unless style says WS_VISIBLE, with the parent chain's font.
  void CreateHandle(const wchar_t* className, DWORD style, DWORD exStyle, int left, int top, int width,
                    int height, const std::wstring& text = std::wstring(), void* createParam = nullptr);
  // Adopts a window made by the caller (top-level windows).
  void AttachHandle(HWND window);
  void ApplyFont(HFONT font);

private:
  void RememberAnchors();

  TWindowHandle FHandle;
  TControl* FParent;
  std::vector<TControl*> FControls;
  TAlign FAlign = TAlign::alNone;
  uint8_t FAnchors = akLeft | akTop;
  int FAnchorRight = 0;   // parent client width - right edge
  int FAnchorBottom = 0;  // parent client height - bottom edge
  TFontHandle FOwnFont;
  HFONT FFont = nullptr;  // own font, or one set by SetFontHandle
  COLORREF FFontColor = CLR_NONE;
  COLORREF FColor = CLR_NONE;
  TBrushHandle FBrush;
  LPCWSTR FCursor = nullptr;
  std::wstring FHint;
  bool FShowHint = false;
  TPopupMenu* FPopupMenu = nullptr;
};

// Controls whose window text is a caption (labels, buttons, check boxes, forms, tab sheets).
class TCaptionControl : public TControl {
public:
  using TControl::TControl;
  std::wstring Caption() const { return WindowText(); }
  virtual void SetCaption(const std::wstring& caption) { PutWindowText(caption); }
  static const TPropTable& ClassPropTable();
  const TPropTable& GetPropTable() const override { return ClassPropTable(); }
};

// A window of one of our own classes. The class is registered on first use under the given
// name; the one window procedure calls OnMessage inside the window boundary guard.
class TCustomWindow : public TCaptionControl {
public:
  TCustomWindow(TComponent* owner, TControl* parent, const wchar_t* className);
  ~TCustomWindow() override;
  const std::wstring& WindowClassName() const { return FClassName; }

protected:
  // Registers the class (once per name) and makes the window.
  void CreateWindowOfClass(DWORD style, DWORD exStyle, int left, int top, int width, int height,
                           const std::wstring& text = std::wstring(), UINT classStyle = 0);
  // The messages of the window; the base reflects child notifications, lays out children
  // on WM_SIZE, pops up context menus and leaves the rest to DefWindowProcW.
  virtual LRESULT OnMessage(UINT msg, WPARAM wp, LPARAM lp);
  LRESULT DefaultMessage(UINT msg, WPARAM wp, LPARAM lp) { return DefWindowProcW(Handle(), msg, wp, lp); }

private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT msg, WPARAM wp, LPARAM lp);
  std::wstring FClassName;
  SIZE FClientSize{-1, -1};  // the last WM_SIZE: only real changes are passed on
  bool FDetached = false;  // set in the destructor: no message reaches the object any more
};

// A plain container: the parent of aligned or anchored controls.
class TPanel : public TCustomWindow {
public:
  TPanel(TComponent* owner, TControl* parent, int left, int top, int width, int height);
};

// Menu command and control ids are unique in the program.
WORD NewCommandId();
WORD NewControlId();
// Rectangle of a control in the coordinates of another window.
RECT MapRect(HWND from, HWND to, RECT r);
