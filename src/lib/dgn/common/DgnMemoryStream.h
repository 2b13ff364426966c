// A stream over memory it does not own (a mapped file view, a section of a loaded image).
#pragma once
#include <cstdint>

#include "lib/rtl/Classes.h"

class TCustomMemoryStream : public TStream {
public:
  int32_t Read(void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t GetSize() override { return FSize; }
  void* Memory() const { return FMemory; }

protected:
  void SetPointer(void* memory, int64_t size);
  void* FMemory = nullptr;
  int64_t FSize = 0;
  int64_t FPosition = 0;
};
