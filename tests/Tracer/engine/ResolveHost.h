// The resolvehost fixture as a second process, and that process seen as the resolvers see
// a debuggee: its modules by name and its memory.
#pragma once
#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Tracer/engine/uProcDefs.h"

class TResolveHost {
public:
  // Starts resolvehost.exe with the requests ("L<dll>", "P<module>!<export>",
  // "C<clsid>/<iid>/<offset>") and waits for its answers.
  explicit TResolveHost(const std::vector<std::wstring>& requests);
  ~TResolveHost();
  TResolveHost(const TResolveHost&) = delete;
  TResolveHost& operator=(const TResolveHost&) = delete;

  HANDLE Process() const { return FProcess; }
  // The address the host printed for a request (0 when its call failed).
  uint32_t At(const std::wstring& request) const;

private:
  HANDLE FProcess = nullptr;
  HANDLE FInput = nullptr;
  std::map<std::string, uint32_t> FAnswers;
};

// Modules through the process's module list, memory through ReadProcessMemory.
class TProcessDebuggee : public TResolverDebuggee {
public:
  explicit TProcessDebuggee(HANDLE process) : FProcess(process) {}
  bool FindModuleByName(const std::wstring& name, TDebuggeeModuleInfo& module) override;
  void ReadMemory(uint32_t address, void* buffer, int32_t count) override;
  // Base and size of the image whose file name matches name.
  bool ModuleRange(const std::wstring& name, uint32_t& base, uint32_t& size);
  int Reads = 0;  // ReadMemory calls

private:
  HANDLE FProcess;
};

// The resolvers see this debuggee while the scope lasts.
class TDebuggeeScope {
public:
  explicit TDebuggeeScope(TResolverDebuggee& debuggee) { SetResolverDebuggee(&debuggee); }
  ~TDebuggeeScope() { SetResolverDebuggee(nullptr); }
};
