#include "MemTarget.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "EngineTestSupport.h"
#include "support/TestSupport.h"

TMemTarget::TMemTarget() {
  TAddressPrinter child = StartAddressPrinter(L"memtarget.exe");
  FProcess = child.Process;
  FInput = child.Input;
  FAddresses = std::move(child.Addresses);
  if (FAddresses.empty()) {
    CloseHandle(FInput);
    Kill();
    CloseHandle(FProcess);
    throw std::runtime_error("memtarget.exe printed no addresses");
  }
}

TMemTarget::~TMemTarget() {
  if (FInput) CloseHandle(FInput);
  Kill();
  CloseHandle(FProcess);
}

uint32_t TMemTarget::At(const std::string& name) const {
  auto it = FAddresses.find(name);
  if (it == FAddresses.end()) {
    ADD_FAILURE() << "memtarget printed no address for " << name;
    return 0;
  }
  return it->second;
}

void TMemTarget::Kill() {
  if (WaitForSingleObject(FProcess, 0) == WAIT_TIMEOUT) {
    TerminateProcess(FProcess, 1);
    WaitForSingleObject(FProcess, ScaledMs(5000));
  }
}
