// Runs the memtarget fixture as a second process and knows the addresses it printed.
#pragma once
#include <windows.h>

#include <cstdint>
#include <map>
#include <string>

class TMemTarget {
public:
  // Starts the fixture and waits for its "ready" line.
  TMemTarget();
  // Closes its input and ends it.
  ~TMemTarget();
  TMemTarget(const TMemTarget&) = delete;
  TMemTarget& operator=(const TMemTarget&) = delete;

  HANDLE Process() const { return FProcess; }
  // Address printed under name; a name the fixture did not print fails the test.
  uint32_t At(const std::string& name) const;
  uint32_t PageSize() const { return At("page"); }
  // Ends the process and waits until it is gone.
  void Kill();

private:
  HANDLE FProcess = nullptr;
  HANDLE FInput = nullptr;
  std::map<std::string, uint32_t> FAddresses;
};
