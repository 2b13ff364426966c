#include "lib/dgn/windows/DgnFileMapping.h"

#include <cstring>

static HANDLE OpenWithMode(const std::wstring& fileName, uint16_t mode) {
  static const DWORD access[] = {GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE};
  static const DWORD sharing[] = {0, 0, FILE_SHARE_READ, FILE_SHARE_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE};
  const unsigned a = mode & 0x0F, sh = (mode & 0xF0) >> 4;
  if (a > 2 || sh > 4) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileW(fileName.c_str(), access[a], sharing[sh], nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

TDgnFileMappingStream::TDgnFileMappingStream(const std::wstring& fileName, uint16_t mode) {
  FFileHandle.Reset(OpenWithMode(fileName, mode));
  if (!FFileHandle) {
    const DWORD err = GetLastError();
    throw EOSError(WideFormat(L"System Error.  Code: %u.\r\n%ls", err, DgnSysErrorMessage(err).c_str()), err);
  }
  const bool readWrite = (mode & 0x0F) == dgnOpenReadWrite;
  FWritable = readWrite;
  FMapping.Reset(
      CreateFileMappingW(FFileHandle.Get(), nullptr, readWrite ? PAGE_WRITECOPY : PAGE_READONLY, 0, 0, nullptr));
  if (!FMapping) {
    EDgnFileMappingError e(L"Failed to create FileMapping");
    Close();
    throw e;
  }
  FView.Reset(MapViewOfFile(FMapping.Get(), readWrite ? FILE_MAP_COPY : FILE_MAP_READ, 0, 0, 0));
  if (!FView) {
    EDgnFileMappingViewError e(L"Failed to create FileMappingView");
    Close();
    throw e;
  }
  SetPointer(FView.Get(), 0);
  LARGE_INTEGER size;
  if (!GetFileSizeEx(FFileHandle.Get(), &size)) {
    EDgnFileMappingViewError e(L"Failed to obtain size of file");
    Close();
    throw e;
  }
  SetPointer(FView.Get(), size.QuadPart);
}

TDgnFileMappingStream::~TDgnFileMappingStream() { Close(); }

// The view goes before the mapping, the mapping before the file.
void TDgnFileMappingStream::Close() {
  if (FView) SetPointer(nullptr, 0);
  FView.Reset();
  FMapping.Reset();
  FFileHandle.Reset();
}

int32_t TDgnFileMappingStream::Write(const void* buffer, int32_t count) {
  if (!FWritable || count <= 0 || FPosition < 0 || FPosition + count > FSize) return 0;
  std::memcpy(static_cast<uint8_t*>(FMemory) + FPosition, buffer, static_cast<size_t>(count));
  FPosition += count;
  return count;
}
