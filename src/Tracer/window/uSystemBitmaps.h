// Check-box and radio-button pictures for owner-drawn lists: the visual theme's when themes are
// on, the classic ones otherwise.
#pragma once
#include <windows.h>
#include <commctrl.h>
#include <unknwn.h>

#include <memory>

#include "Tracer/foundation/uSingletons.h"
#include "lib/rtl/SysUtils.h"

// Each operation draws a 15 x 15 picture at the top left corner of the bitmap (which must not
// be selected into a device context).
struct ISystemBitmaps : public IUnknown {
  virtual void DrawCheckBox(bool checked, HBITMAP bitmap) = 0;
  virtual void DrawRadioButton(bool checked, HBITMAP bitmap) = 0;
};

class TSystemBitmapsImpl : public TObject {
public:
  virtual void DrawCheckBox(bool checked, HBITMAP bitmap) = 0;
  virtual void DrawRadioButton(bool checked, HBITMAP bitmap) = 0;
};

// The classic pictures (DrawFrameControl).
class TNonThemedSystemBitmapsImpl : public TSystemBitmapsImpl {
public:
  void DrawCheckBox(bool checked, HBITMAP bitmap) override;
  void DrawRadioButton(bool checked, HBITMAP bitmap) override;
};

// The visual theme's button pictures; construction raises EAbort when themes are not
// available or not switched on.
class TThemedSystemBitmapsImpl : public TSystemBitmapsImpl {
public:
  TThemedSystemBitmapsImpl();
  ~TThemedSystemBitmapsImpl() override;
  TThemedSystemBitmapsImpl(const TThemedSystemBitmapsImpl&) = delete;
  TThemedSystemBitmapsImpl& operator=(const TThemedSystemBitmapsImpl&) = delete;
  void DrawCheckBox(bool checked, HBITMAP bitmap) override;
  void DrawRadioButton(bool checked, HBITMAP bitmap) override;

private:
  void DrawPart(int part, int state, HBITMAP bitmap);
  void* FTheme = nullptr;
};

// Themed pictures when themes are on at construction, classic ones otherwise.
class TSystemBitmaps : public TInterfacedObject, public ISystemBitmaps {
public:
  TSystemBitmaps();
  CW_IUNKNOWN_COUNTED
  void* GetInterface(REFIID iid) override;
  void DrawCheckBox(bool checked, HBITMAP bitmap) override { FImpl->DrawCheckBox(checked, bitmap); }
  void DrawRadioButton(bool checked, HBITMAP bitmap) override { FImpl->DrawRadioButton(checked, bitmap); }
  bool Themed() const;

private:
  std::unique_ptr<TSystemBitmapsImpl> FImpl;
};

// The four pictures added to an image list of 16 x 16 images.
class TSystemImagesStorage : public TObject {
public:
  TSystemImagesStorage(ISystemBitmaps* systemBitmaps, HIMAGELIST imageList);
  int CheckBoxImageIndex(bool checked) const { return FIndices[checked ? 1 : 0]; }
  int RadioButtonImageIndex(bool checked) const { return FIndices[checked ? 3 : 2]; }

private:
  int FIndices[4] = {-1, -1, -1, -1};
};
