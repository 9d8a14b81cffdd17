// Test entry for the Core's tests: the framework must be initialised for its
// file, library and logging classes.
#include <gtest/gtest.h>
#include <wx/init.h>

int main(int argc, char** argv) {
  wxInitializer framework;
  ::testing::InitGoogleTest(&argc, argv);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  return RUN_ALL_TESTS();
}
