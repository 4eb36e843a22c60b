// Test main: brings the runtime up once before any test runs.
#include <gtest/gtest.h>

#include "runtime/startup.hpp"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  qel::runtime::init_for_tests();
  return RUN_ALL_TESTS();
}
