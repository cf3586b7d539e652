// The export suites load the built library as a host does. Usage: export_tests [gtest flags]
// [LIBRARY]; without LIBRARY the library beside the program is loaded.
#include <gtest/gtest.h>

#include <cstdio>

#include "export_test_support.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!ksrn::test::LoadApi(argc > 1 ? argv[1] : nullptr)) {
    std::fprintf(stderr, "the library could not be loaded\n");
    return 2;
  }
  return RUN_ALL_TESTS();
}
