/* The program the tracing benchmark runs: it calls one export of benchcallee.dll in a loop
   and writes how long the measured calls took.

   benchdebuggee int|str|push|mov|many CALLS THREADS RESULT-FILE

   "int" calls BenchAdd(i, 2), "str" calls BenchText with a 64-character string, "push" and
   "mov" BenchPushEntry(i, 2) and BenchMovEntry(i, 2), whose first instructions are fixed,
   "many" BenchMany10000(i, 2) of benchmany.dll (10,000 exports), loaded after the start. Every thread
   first makes a few warm-up calls; then the threads are released together and the time from
   their release to the end of the last one is measured. The result file gets one line:
   "made=<all calls, warm-up included> measured=<measured calls> seconds=<time>".
   The measured part begins and ends with a failing open of the events "cwbench-measure-begin"
   and "cwbench-measure-end": marks in a trace of Wine's server requests. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define WARM_UP_CALLS 10
#define MAX_THREADS 16

typedef int(__stdcall* TAddFn)(int, int);
typedef int(__stdcall* TTextFn)(const char*, int);

static TAddFn Add;
static TTextFn Text;
static int UseText;
static const char* AddName = "BenchAdd";
static int Calls;
static HANDLE StartEvent;
static volatile LONG Ready;
static volatile LONG Sink;
static const char Text64[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ+-";

static void MakeCalls(int count) {
  int i;
  LONG sum = 0;
  for (i = 0; i < count; ++i) sum += UseText ? Text(Text64, 64) : Add(i, 2);
  InterlockedExchangeAdd(&Sink, sum);
}

static DWORD WINAPI Worker(LPVOID arg) {
  (void)arg;
  MakeCalls(WARM_UP_CALLS);
  InterlockedIncrement(&Ready);
  WaitForSingleObject(StartEvent, INFINITE);
  MakeCalls(Calls);
  return 0;
}

int main(int argc, char** argv) {
  HMODULE dll;
  HANDLE threads[MAX_THREADS];
  LARGE_INTEGER freq, start, stop;
  int threadCount, i;
  FILE* out;
  if (argc != 5) {
    fprintf(stderr, "usage: benchdebuggee int|str CALLS THREADS RESULT-FILE\n");
    return 2;
  }
  UseText = strcmp(argv[1], "str") == 0;
  if (strcmp(argv[1], "push") == 0) AddName = "BenchPushEntry";
  if (strcmp(argv[1], "mov") == 0) AddName = "BenchMovEntry";
  Calls = atoi(argv[2]);
  threadCount = atoi(argv[3]);
  if (threadCount < 1 || threadCount > MAX_THREADS || Calls < 0) return 2;
  dll = LoadLibraryW(L"benchcallee.dll");
  if (dll == NULL) return 3;
  if (strcmp(argv[1], "many") == 0) {
    AddName = "BenchMany10000";
    dll = LoadLibraryW(L"benchmany.dll");
    if (dll == NULL) return 3;
  }
  Add = (TAddFn)(void*)GetProcAddress(dll, AddName);
  Text = (TTextFn)(void*)GetProcAddress(GetModuleHandleW(L"benchcallee.dll"), "BenchText");
  if (Add == NULL || Text == NULL) return 3;

  StartEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  for (i = 0; i < threadCount; ++i) threads[i] = CreateThread(NULL, 0, Worker, NULL, 0, NULL);
  while (Ready < threadCount) Sleep(1);
  QueryPerformanceFrequency(&freq);
  OpenEventW(SYNCHRONIZE, FALSE, L"cwbench-measure-begin");
  QueryPerformanceCounter(&start);
  SetEvent(StartEvent);
  WaitForMultipleObjects(threadCount, threads, TRUE, INFINITE);
  QueryPerformanceCounter(&stop);
  OpenEventW(SYNCHRONIZE, FALSE, L"cwbench-measure-end");

  out = fopen(argv[4], "w");
  if (out == NULL) return 4;
  fprintf(out, "made=%d measured=%d seconds=%.9f\n", threadCount * (WARM_UP_CALLS + Calls),
          threadCount * Calls, (double)(stop.QuadPart - start.QuadPart) / (double)freq.QuadPart);
  fclose(out);
  for (i = 0; i < threadCount; ++i) CloseHandle(threads[i]);
  CloseHandle(StartEvent);
  return 0;
}
