// pt::string, pt::exception, the heap functions behind them and the atomics
// their reference counts rely on.
#include "threads/pt_string.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "threads/pt.h"

namespace {

// Bytes in use on the main heap, or unchanged figures when an allocator
// other than the C library's serves the process.
size_t HeapInUse() { return mallinfo2().uordblks; }

// The block behind a non-empty string: {int refcount, int length, chars, 0}.
const int* HeaderOf(const pt::string& s) { return reinterpret_cast<const int*>(s.c_str()) - 2; }

class StringTest : public ::testing::Test {};

TEST_F(StringTest, EveryEmptyStringIsTheSharedBuffer) {
  const char* noText = nullptr;
  pt::string fromDefault;
  pt::string fromNull(noText);
  pt::string fromEmpty("");
  pt::string copyOfEmpty(fromEmpty);
  pt::string assigned("x");
  assigned = fromNull;
  const pt::string* all[] = {&fromDefault, &fromNull, &fromEmpty,
                             &copyOfEmpty, &assigned, &pt::nullstring};
  for (const pt::string* s : all) {
    EXPECT_EQ(s->c_str(), pt::emptystr);
    EXPECT_EQ(s->length(), 0);
    EXPECT_EQ(s->refcount(), 0);
  }
  EXPECT_EQ(pt::emptystr[0], 0);
}

TEST_F(StringTest, TextIsCopiedIntoABlockOfItsOwn) {
  char text[] = "hello";
  pt::string s(text);
  text[0] = 'j';
  EXPECT_STREQ(s.c_str(), "hello");
  EXPECT_NE(s.c_str(), pt::emptystr);
  EXPECT_EQ(s.length(), 5);
  EXPECT_EQ(s.refcount(), 1);
}

TEST_F(StringTest, BlockHoldsCountLengthCharactersAndTerminator) {
  for (int length : {1, 7, 8, 23, 24, 55, 56, 2039, 2040, 5000}) {
    SCOPED_TRACE(length);
    std::string text(static_cast<size_t>(length), 'q');
    pt::string s(text.c_str());
    const int* header = HeaderOf(s);
    EXPECT_EQ(header[0], 1);
    EXPECT_EQ(header[1], length);
    EXPECT_EQ(s.c_str()[length], 0);
    EXPECT_EQ(memcmp(s.c_str(), text.data(), text.size()), 0);
    EXPECT_GE(malloc_usable_size(const_cast<int*>(header)),
              static_cast<size_t>(pt::string::capacityfor(length + 9)));
  }
}

TEST_F(StringTest, CapacityRoundsUpBySizeClass) {
  const struct {
    int bytes;
    int capacity;
  } cases[] = {
      {1, 16},      {10, 16},     {16, 16},     {17, 32},         {32, 32},
      {33, 64},     {64, 64},     {65, 128},    {2047, 2048},     {2048, 2048},
      {2049, 4096}, {4096, 4096}, {4097, 8192}, {100000, 102400}, {1 << 20, 1 << 20},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pt::string::capacityfor(c.bytes), c.capacity) << "for " << c.bytes << " bytes";
  }
}

TEST_F(StringTest, CopiesShareTheBlockAndCountIt) {
  pt::string original("shared text");
  {
    pt::string copy(original);
    pt::string assigned;
    assigned = original;
    EXPECT_TRUE(copy.sharesblock(original));
    EXPECT_TRUE(assigned.sharesblock(original));
    EXPECT_EQ(original.refcount(), 3);
  }
  EXPECT_EQ(original.refcount(), 1);
  EXPECT_STREQ(original.c_str(), "shared text");
}

TEST_F(StringTest, AssignmentReleasesTheOldBlockAndSurvivesSelfAssignment) {
  pt::string first("first");
  pt::string second("second");
  pt::string holder(first);
  EXPECT_EQ(first.refcount(), 2);

  holder = second;
  EXPECT_EQ(first.refcount(), 1);
  EXPECT_EQ(second.refcount(), 2);

  const pt::string& sameObject = holder;
  holder = sameObject;
  EXPECT_EQ(second.refcount(), 2);
  EXPECT_STREQ(holder.c_str(), "second");

  holder = pt::nullstring;
  EXPECT_EQ(second.refcount(), 1);
  EXPECT_EQ(holder.c_str(), pt::emptystr);
}

TEST_F(StringTest, LastReleaseFreesTheBlock) {
  // Large enough to stand out from anything else on the heap, small enough to
  // come from the heap rather than from a mapping of its own.
  const size_t kLength = 100000;
  std::string text(kLength, 'z');
  std::optional<pt::string> first;
  std::optional<pt::string> second;

  size_t before = HeapInUse();
  first.emplace(text.c_str());
  size_t withBlock = HeapInUse();
  if (withBlock < before + kLength) GTEST_SKIP() << "heap figures not kept by this allocator";

  second.emplace(*first);
  first.reset();
  EXPECT_GE(HeapInUse(), before + kLength) << "block freed while a copy still held it";
  EXPECT_STREQ(second->c_str() + kLength - 3, "zzz");

  second.reset();
  EXPECT_LT(HeapInUse(), before + kLength) << "block not freed by its last release";
}

TEST_F(StringTest, CopiesReleasedOnManyThreadsKeepTheCountExact) {
  pt::string original("counted on many threads");
  std::atomic<bool> go{false};  // lets the workers start together, so they overlap
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&original, &go] {
      while (!go.load()) {
      }
      for (int i = 0; i < 100000; ++i) {
        pt::string copy(original);
        pt::string another;
        another = copy;
      }
    });
  }
  go.store(true);
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(original.refcount(), 1);
}

class ExceptionTest : public ::testing::Test {};

TEST_F(ExceptionTest, NullMessageIsEmptyAndAllocatesNothing) {
  const char* noText = nullptr;
  pt::exception* e = new pt::exception(noText);
  pt::string message = e->getmessage();
  EXPECT_EQ(message.c_str(), pt::emptystr);
  EXPECT_EQ(message.length(), 0);
  delete e;
}

TEST_F(ExceptionTest, GetmessageSharesTheMessageBuffer) {
  pt::exception* e = new pt::exception("Trigger failed");
  pt::string first = e->getmessage();
  pt::string second = e->getmessage();
  EXPECT_STREQ(first.c_str(), "Trigger failed");
  EXPECT_TRUE(first.sharesblock(second));
  EXPECT_EQ(first.refcount(), 3);  // the exception's own plus two copies
  delete e;
  EXPECT_EQ(first.refcount(), 2);
  EXPECT_STREQ(second.c_str(), "Trigger failed");
}

TEST_F(ExceptionTest, MessageFromAStringSharesItsBuffer) {
  pt::string text("from a string");
  pt::exception* e = new pt::exception(text);
  EXPECT_EQ(text.refcount(), 2);
  EXPECT_TRUE(e->getmessage().sharesblock(text));
  delete e;
  EXPECT_EQ(text.refcount(), 1);
}

class HeapTest : public ::testing::Test {};

TEST_F(HeapTest, ZeroSizeGivesNullAndNullIsFreedQuietly) {
  EXPECT_EQ(pt::allocmem(0), nullptr);
  pt::freemem(nullptr);
  void* block = pt::allocmem(1);
  EXPECT_NE(block, nullptr);
  pt::freemem(block);
}

class AtomicsTest : public ::testing::Test {};

TEST_F(AtomicsTest, ExchangeGivesThePreviousValueAndStepsGiveTheNewOne) {
  int value = 5;
  EXPECT_EQ(pt::atomicexchange(&value, 9), 5);
  EXPECT_EQ(pt::atomicexchange(&value, 9), 9);
  EXPECT_EQ(pt::atomicincrement(&value), 10);
  EXPECT_EQ(pt::atomicdecrement(&value), 9);
  value = 1;
  EXPECT_EQ(pt::atomicdecrement(&value), 0);
  EXPECT_EQ(pt::atomicdecrement(&value), -1);
  EXPECT_EQ(value, -1);
}

TEST_F(AtomicsTest, RacingCallersLoseNoStepAndOneWinsTheExchange) {
  const int kThreads = 4;
  const int kSteps = 200000;
  int counter = 0;
  int flag = 0;
  std::atomic<int> winners{0};
  std::atomic<bool> go{false};  // lets the workers start together, so they overlap
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&] {
      while (!go.load()) {
      }
      if (pt::atomicexchange(&flag, 1) == 0) winners.fetch_add(1);
      for (int i = 0; i < kSteps; ++i) {
        pt::atomicincrement(&counter);
        pt::atomicincrement(&counter);
        pt::atomicdecrement(&counter);
      }
    });
  }
  go.store(true);
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(counter, kThreads * kSteps);
  EXPECT_EQ(winners.load(), 1);
}

// The tests of very long texts run in plain builds only: sanitizer runtimes
// check every byte that the scan of a 2 GiB text reads, which takes minutes,
// and need more address space than the cap set below.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)

// Text of `length` bytes of 'a' and a zero byte, without spending that much
// memory: one memory file chunk is mapped over and over, and a second one
// holds the end of the text and the terminator. Returns null on failure.
// Nothing is unmapped: the callers run in death-test children.
const size_t kChunk = size_t{2} << 20;

int MakeChunkFile(size_t zeroAt) {
  int fd = memfd_create("long_text", 0);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(kChunk)) != 0) return -1;
  void* map = mmap(nullptr, kChunk, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) return -1;
  char* bytes = static_cast<char*>(map);
  memset(bytes, 'a', kChunk);
  if (zeroAt < kChunk) bytes[zeroAt] = 0;
  munmap(map, kChunk);
  return fd;
}

const char* MapLongText(size_t length) {
  size_t fullChunks = length / kChunk;
  void* reserved = mmap(nullptr, (fullChunks + 1) * kChunk, PROT_NONE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  int fill = MakeChunkFile(kChunk);
  int tail = MakeChunkFile(length % kChunk);
  if (reserved == MAP_FAILED || fill < 0 || tail < 0) return nullptr;
  char* base = static_cast<char*>(reserved);
  for (size_t i = 0; i <= fullChunks; ++i) {
    // MAP_POPULATE: faulting the pages in up front is much cheaper than one
    // fault per page during the scan.
    if (mmap(base + i * kChunk, kChunk, PROT_READ, MAP_SHARED | MAP_FIXED | MAP_POPULATE,
             i < fullChunks ? fill : tail, 0) == MAP_FAILED) {
      return nullptr;
    }
  }
  return base;
}

TEST(StringDeathTest, TextLongerThanTheLengthFieldHoldsIsAStringOverflow) {
  EXPECT_EXIT(
      {
        const char* text = MapLongText(size_t{1} << 31);  // length INT_MAX + 1
        if (text == nullptr) {
          fprintf(stderr, "could not map the text\n");
          exit(99);
        }
        pt::string s(text);
      },
      ::testing::ExitedWithCode(21), "\nInternal \\[c0015\\]: String overflow\n");
}

// A text of INT_MAX characters needs a block of just over 2 GiB. With the
// address space capped well below that, the allocation must fail cleanly;
// a size computed with a wrapped-around int would give a tiny block and an
// overrun instead.
TEST(StringDeathTest, TextAtTheLengthLimitAsksForItsFullBlock) {
  EXPECT_EXIT(
      {
        const char* text = MapLongText(static_cast<size_t>(INT_MAX));
        long pages = 0;
        FILE* statm = fopen("/proc/self/statm", "r");
        if (text == nullptr || statm == nullptr || fscanf(statm, "%ld", &pages) != 1) {
          fprintf(stderr, "could not set up the text\n");
          exit(99);
        }
        fclose(statm);
        rlimit limit;
        getrlimit(RLIMIT_AS, &limit);
        limit.rlim_cur =
            static_cast<rlim_t>(pages) * static_cast<rlim_t>(getpagesize()) + (rlim_t{512} << 20);
        setrlimit(RLIMIT_AS, &limit);
        pt::string s(text);
      },
      ::testing::ExitedWithCode(5), "\nInternal \\[c0005\\]: Not enough memory\n");
}
#endif

}  // namespace
