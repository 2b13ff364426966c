// Counts and times the debugging-interface calls this program makes (the engine's and the
// minimal loop's alike), by pointing its own import entries at counting wrappers.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct TApiStat {
  const char* Name;
  int64_t Count = 0;
  int64_t Ticks = 0;  // performance-counter ticks spent inside the call
};

// Patches the import entries once; later calls do nothing.
void InstallApiProfile();
void ResetApiProfile();
// Only calls made on this thread are counted; 0: every thread but the main one.
void SetProfiledThread(unsigned long threadId);
std::vector<TApiStat> ApiProfile();
double ApiTicksPerMicrosecond();
