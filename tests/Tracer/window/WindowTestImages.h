// Pictures for windows under test that show the main window's image list.
#pragma once
#include "Tracer/window/uWinComCtrls.h"

// count 16 x 16 pictures, each a square of its own colour on a white frame.
TImageList* MakeTestImages(TComponent* owner, int count = 24);
