// The fatal-error path: what the default handler prints, the exit status a
// parent sees, installed handlers, and the out-of-memory path of allocmem.
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>

#include "threads/pt.h"

namespace {

// Set once by a death-test child before it installs its own handler.
pt::fatalhandlerfn previousHandler = nullptr;

void PrintOwnLine(int code, const char* message) {
  fprintf(stderr, "handler saw %x <%s>\n", code, message);
}

void PrintOwnLineThenChain(int code, const char* message) {
  PrintOwnLine(code, message);
  if (previousHandler != nullptr) previousHandler(code, message);
}

void OtherHandler(int, const char*) {}

TEST(FatalDeathTest, DefaultHandlerPrintsCodeInHexAndExitsWithItsLowByte) {
  struct Case {
    int code;
    const char* message;
    const char* expected;  // the whole of standard error
  };
  const Case cases[] = {
      {0xC0029, "Semaphore failed", "^\nInternal \\[c0029\\]: Semaphore failed\n$"},
      {0xC0030, "Can not waitfor() on an autofree thread",
       "^\nInternal \\[c0030\\]: Can not waitfor\\(\\) on an autofree thread\n$"},
      // Short codes are padded to four digits.
      {0x2A, "short code", "^\nInternal \\[002a\\]: short code\n$"},
      {0x1FF, "", "^\nInternal \\[01ff\\]: \n$"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EXIT(pt::fatal(c.code, c.message), ::testing::ExitedWithCode(c.code & 0xFF), c.expected);
  }
}

TEST(FatalDeathTest, InstalledHandlerReplacesThePrinter) {
  EXPECT_EXIT(
      {
        pt::setfatalhandler(PrintOwnLine);
        pt::fatal(0xC0015, "String overflow");
      },
      ::testing::ExitedWithCode(0x15), "^handler saw c0015 <String overflow>\n$");
}

TEST(FatalDeathTest, PreviousHandlerReturnedOnInstallIsTheDefaultPrinter) {
  EXPECT_EXIT(
      {
        previousHandler = pt::setfatalhandler(PrintOwnLineThenChain);
        pt::fatal(0xC0028, "pthread_create() failed");
      },
      ::testing::ExitedWithCode(0x28),
      "^handler saw c0028 <pthread_create\\(\\) failed>\n"
      "\nInternal \\[c0028\\]: pthread_create\\(\\) failed\n$");
}

TEST(FatalDeathTest, NoHandlerStillExitsWithTheCode) {
  EXPECT_EXIT(
      {
        pt::setfatalhandler(nullptr);
        pt::fatal(0xC002F, "Can not waitfor() on myself");
      },
      ::testing::ExitedWithCode(0x2F), "^$");
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Sanitizer allocators report an impossible size themselves instead of
// returning null, so this runs in plain builds only.
TEST(FatalDeathTest, AllocationThatCannotBeMetIsFatal) {
  EXPECT_EXIT(pt::allocmem(SIZE_MAX - 4096), ::testing::ExitedWithCode(5),
              "\nInternal \\[c0005\\]: Not enough memory\n");
}
#endif

TEST(FatalHandlerTest, InstallReturnsTheHandlerItReplaces) {
  pt::fatalhandlerfn original = pt::setfatalhandler(PrintOwnLine);
  EXPECT_NE(original, nullptr);
  EXPECT_EQ(pt::setfatalhandler(OtherHandler), PrintOwnLine);
  EXPECT_EQ(pt::setfatalhandler(nullptr), OtherHandler);
  EXPECT_EQ(pt::setfatalhandler(original), nullptr);
}

}  // namespace
