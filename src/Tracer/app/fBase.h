// The base of every window of the program: its texts are translated at every show and at a
// language change, F1 and the help command open its help topic, and list-view column
// captions are translated by a fixed key scheme.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "Tracer/window/uWinComCtrls.h"
#include "Tracer/window/uWinForms.h"

// Opens a topic of the help file (nullptr: THTMLHelp, the help file's own caller).
using THelpTopicFunc = void (*)(const std::wstring& topic);
THelpTopicFunc SetHelpTopicFunc(THelpTopicFunc fn);
// Opens a topic through the function set, else through THTMLHelp.
void ShowHelpTopic(const std::wstring& topic);

class TfrmBase : public TForm {
public:
  // className: the window class of the most derived form, which is also its last section.
  explicit TfrmBase(TComponent* owner, const wchar_t* className = L"TfrmBase", int clientWidth = 538,
                    int clientHeight = 311, TBorderStyle border = TBorderStyle::Sizeable);

  // Whether the form's own caption takes part in translation (set by FormCreate).
  bool TranslateCaption = false;

  virtual std::wstring GetHelpKeyword();
  // Translates the form: each section of the class chain, the base's first.
  virtual void Translate();
  // The form's caption and components under one section.
  void TranslateSection(const std::string& section);
  void TranslateClass();
  void TranslateOnShow();
  // Column captions under "<list name>Col<index>.Caption" in the form's own section.
  void TranslateColumns(TListView& listView);
  void ShowHelp();
  // The form's own section: its class name.
  const std::string& ClassSection() const { return FSections.back(); }
  const std::vector<std::string>& Sections() const { return FSections; }

  virtual void FormCreate();
  void FormShow();
  void FormShortCut(const MSG& msg, bool& handled);
  void WMHelp();

protected:
  // Each derived class adds its class name, so the chain runs from the base down.
  void AddClassSection(const char* className) { FSections.emplace_back(className); }
  void DoCreate() override { FormCreate(); }
  void DoShow() override { FormShow(); }
  void DoHelp() override { WMHelp(); }
  bool DoShortCut(const MSG& msg) override;

private:
  std::vector<std::string> FSections;
};

// The property names translated in windows: "Caption", "Hint", "Text".
const std::vector<std::wstring>& TranslatedPropNames();
