// Read-only stream over a memory-mapped file (read-write opens give a private copy).
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "lib/dgn/common/DgnMemoryStream.h"
#include "lib/dgn/windows/DgnHandle.h"
#include "lib/dgn/windows/DgnWin32.h"

class EDgnFileMappingError : public EDgnWin32Error {
public:
  using EDgnWin32Error::EDgnWin32Error;
  const wchar_t* ClassName() const override { return L"EDgnFileMappingError"; }
  Exception* Clone() const override { return new EDgnFileMappingError(*this); }
  [[noreturn]] void Rethrow() const override { throw *this; }
};

class EDgnFileMappingViewError : public EDgnWin32Error {
public:
  using EDgnWin32Error::EDgnWin32Error;
  const wchar_t* ClassName() const override { return L"EDgnFileMappingViewError"; }
  Exception* Clone() const override { return new EDgnFileMappingViewError(*this); }
  [[noreturn]] void Rethrow() const override { throw *this; }
};

// Open modes as the run-time's file streams take them: access in bits 0-3, sharing in bits 4-7.
constexpr uint16_t dgnOpenRead = 0x0000;
constexpr uint16_t dgnOpenReadWrite = 0x0002;
constexpr uint16_t dgnShareDenyWrite = 0x0020;
constexpr uint16_t dgnShareDenyNone = 0x0040;

class TDgnFileMappingStream : public TCustomMemoryStream {
public:
  TDgnFileMappingStream(const std::wstring& fileName, uint16_t mode);
  ~TDgnFileMappingStream() override;
  TDgnFileMappingStream(const TDgnFileMappingStream&) = delete;
  TDgnFileMappingStream& operator=(const TDgnFileMappingStream&) = delete;
  void Close();
  // Copies into the private view only when the whole count fits; otherwise, and always for a
  // read-only mapping (whose pages would fault), writes nothing.
  int32_t Write(const void* buffer, int32_t count) override;

private:
  TDgnHandle FFileHandle;
  TDgnHandle FMapping;
  TDgnMappedView FView;
  bool FWritable = false;
};
