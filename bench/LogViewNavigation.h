// The log view's navigation timed as a user sees it: a key (or the mouse) sent to the list, and
// the time until its rows are repainted. The list may belong to another thread or process;
// only messages and input reach it.
#pragma once
#include <windows.h>

#include <vector>

struct TNavigationTimes {
  double End = 0, Home = 0, PageDown = 0, Drag = 0;  // ms, medians
};

// End, Home, Page Down and a drag of the scroll bar's thumb from the top to the middle, each
// `runs` times from the top of the list. The window must be in front: the drag is real input.
TNavigationTimes MeasureNavigation(HWND main, HWND list, int runs);

double Median(std::vector<double> v);
