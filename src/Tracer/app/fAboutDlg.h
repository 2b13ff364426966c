// The about box: the product, its links and a memo with the system, the versions of the
// program's files and of the script engine. Never translated.
#pragma once
#include "Tracer/app/fBase.h"
#include "Tracer/window/uWinCtrls.h"

class TAboutDlg : public TfrmBase {
public:
  explicit TAboutDlg(TComponent* owner);
  ~TAboutDlg() override;

  void FormCreate() override;
  void Translate() override {}
  // Opens the label's text with the shell ("mailto:" in front of an address).
  void lblEMailClick(TLabel* sender);
  void LinkMouseEnter(TLabel* sender);
  void LinkMouseLeave(TLabel* sender);

  TControl* img;
  TLabel* Label1;
  TLabel* lblAppVersion;
  TLabel* Label8;
  TLabel* lblHTTP1;
  TLabel* Label4;
  TLabel* lblEMail;
  TMemo* mem;
  TButton* btnOK;

  static constexpr COLORREF LinkColor = 10706469;
  static constexpr COLORREF LinkHoverColor = 2385385;

protected:
  LRESULT OnMessage(UINT msg, WPARAM wp, LPARAM lp) override;
};

// The about action: the box, modal, freed afterwards.
void ShowAbout(TComponent* owner);
