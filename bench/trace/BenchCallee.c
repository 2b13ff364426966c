/* The DLL whose exports the tracing benchmark traces: two stdcall functions that do almost
   nothing, so that what is measured is the cost of tracing a call. */
#include <windows.h>

int __stdcall BenchAdd(int a, int b) { return a + b; }

int __stdcall BenchText(const char* text, int length) {
  return text != NULL && length > 0 ? (unsigned char)text[length - 1] : 0;
}
