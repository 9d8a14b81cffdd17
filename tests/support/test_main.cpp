// The entry of every test program. Death tests run in programs that have
// threads, so a death test re-runs the program for its child ("threadsafe")
// instead of forking it as it stands.
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  return RUN_ALL_TESTS();
}
