// main() of every test program: COM apartment on the main thread, as the program has it.
#include <objbase.h>
#include <gtest/gtest.h>

#include "support/TestSupport.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  CoInitialize(nullptr);
  int rc = RUN_ALL_TESTS();
  RunTestShutdown();
  CoUninitialize();
  return rc;
}
