// Pictures for windows under test that show the main window's image list, and the check that
// every tool button of a window shows one.
#pragma once
#include <string>
#include <vector>

#include "Tracer/window/uWinComCtrls.h"

// count 16 x 16 pictures, each a square of its own colour on a white frame.
TImageList* MakeTestImages(TComponent* owner, int count = 24);
// The tool buttons among owner's components (its tool bars' buttons, separators left out) whose
// picture draws nothing, from the bar's image list or, where it has one, its disabled one; each
// named by its component name.
std::vector<std::wstring> BlankToolButtons(TComponent& owner);
