// The factor every wait in the tests and their fixture programs is multiplied by: a slow
// machine sets CW_TEST_TIME_SCALE (a whole number >= 1; anything else counts as 1), the value
// CTest hands on to each test program and, through the environment, to its child processes.
// Header-only, so the fixture programs, which link no test library, scale their waits the same way.
#pragma once
#include <cstdlib>

// Read once.
inline unsigned TestTimeScale() {
  static const unsigned scale = [] {
    const char* text = std::getenv("CW_TEST_TIME_SCALE");
    if (!text || !*text) return 1u;
    unsigned long value = 0;
    for (const char* c = text; *c; ++c) {
      if (*c < '0' || *c > '9') return 1u;
      value = value * 10 + static_cast<unsigned long>(*c - '0');
      if (value > 100000) value = 100000;  // a factor that large means "no limit that matters"
    }
    return value >= 1 ? static_cast<unsigned>(value) : 1u;
  }();
  return scale;
}

// ms multiplied by the factor, kept below the "infinite" of the Win32 waits.
inline unsigned long ScaledMs(unsigned long ms) {
  const unsigned long long scaled = static_cast<unsigned long long>(ms) * TestTimeScale();
  return scaled >= 0x7FFFFFFFull ? 0x7FFFFFFFul : static_cast<unsigned long>(scaled);
}
