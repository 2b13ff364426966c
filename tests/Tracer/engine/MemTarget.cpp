#include "MemTarget.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "support/TestSupport.h"

TMemTarget::TMemTarget() {
  SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
  HANDLE outRead, outWrite, inRead, inWrite;
  if (!CreatePipe(&outRead, &outWrite, &sa, 0) || !CreatePipe(&inRead, &inWrite, &sa, 0))
    throw std::runtime_error("CreatePipe failed");
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = inRead;
  si.hStdOutput = outWrite;
  si.hStdError = outWrite;
  PROCESS_INFORMATION pi{};
  std::wstring cmd = L"\"" + TestBinDir() + L"memtarget.exe\"";
  BOOL ok = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  CloseHandle(outWrite);
  CloseHandle(inRead);
  if (!ok) {
    CloseHandle(outRead);
    CloseHandle(inWrite);
    throw std::runtime_error("memtarget.exe could not be started");
  }
  CloseHandle(pi.hThread);
  FProcess = pi.hProcess;
  FInput = inWrite;
  std::string text;
  char buf[512];
  DWORD got;
  while (text.find("ready") == std::string::npos && ReadFile(outRead, buf, sizeof buf, &got, nullptr) && got > 0)
    text.append(buf, got);
  CloseHandle(outRead);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    std::string line = text.substr(pos, eol - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t eq = line.find('=');
    if (eq != std::string::npos)
      FAddresses[line.substr(0, eq)] = static_cast<uint32_t>(std::stoul(line.substr(eq + 1), nullptr, 16));
    pos = eol + 1;
  }
  if (FAddresses.empty()) throw std::runtime_error("memtarget.exe printed no addresses");
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
    WaitForSingleObject(FProcess, 5000);
  }
}
