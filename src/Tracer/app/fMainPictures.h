// The main window's action pictures, drawn in code into its image lists.
#pragma once

#include "Tracer/window/uWinComCtrls.h"

// Adds the pictures of the actions, one per image index (an empty cell where an index has
// none); the disabled list draws them grey.
void AddActionPictures(TImageList* list, bool disabled);
