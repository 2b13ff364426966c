// Stream base of the run-time: what the file streams, the PE-section streams and the
// export writers share.
#pragma once
#include <cstdint>
#include <string>

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
public:
  virtual ~TStream();
  // Reads up to count bytes, returns how many were read.
  virtual int32_t Read(void* buffer, int32_t count) = 0;
  // Writes up to count bytes, returns how many were written.
  virtual int32_t Write(const void* buffer, int32_t count) = 0;
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;

  int64_t GetPosition() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }
  virtual int64_t GetSize();
  // All or nothing: a short read raises EReadError, a short write EWriteError.
  void ReadBuffer(void* buffer, int32_t count);
  void WriteBuffer(const void* buffer, int32_t count);
};

// A stream over a Win32 file handle it does not own.
class THandleStream : public TStream {
public:
  explicit THandleStream(void* handle) : FHandle(handle) {}
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void* Handle() const { return FHandle; }

protected:
  void* FHandle;
};
