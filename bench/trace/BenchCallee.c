/* The DLL whose exports the tracing benchmark traces: two stdcall functions that do almost
   nothing, so that what is measured is the cost of tracing a call. */
#include <windows.h>

int __stdcall BenchAdd(int a, int b) { return a + b; }

int __stdcall BenchText(const char* text, int length) {
  return text != NULL && length > 0 ? (unsigned char)text[length - 1] : 0;
}

/* Two more whose first instruction is fixed whatever the build: a frame's "push ebp", and a
   "mov" loading an argument from the stack, as optimised code begins. */
__asm__(".text\n"
        ".globl _BenchPushEntry@8\n"
        "_BenchPushEntry@8:\n"
        "  pushl %ebp\n"
        "  movl %esp, %ebp\n"
        "  movl 8(%ebp), %eax\n"
        "  addl 12(%ebp), %eax\n"
        "  popl %ebp\n"
        "  ret $8\n"
        ".globl _BenchMovEntry@8\n"
        "_BenchMovEntry@8:\n"
        "  movl 8(%esp), %eax\n"
        "  addl 4(%esp), %eax\n"
        "  ret $8\n");
