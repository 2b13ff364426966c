// The main window's action pictures, drawn in code into its image lists, and the program's icon.
#pragma once

#include "Tracer/window/uWinComCtrls.h"
#include "Tracer/window/uWinForms.h"

// Adds the pictures of the actions, one per image index (an empty cell where an index has
// none); the disabled list draws them grey.
void AddActionPictures(TImageList* list, bool disabled);

// The program's icon in the form's title bar and the task list.
void ShowProgramIcon(TForm& form);
