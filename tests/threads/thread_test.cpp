// pt::thread: start, signal and waitfor taking effect once, detaching on
// delete, the epilogue of joinable and autofree threads, and the misuses and
// exceptions that end the process.
#include "threads/thread.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>

#include <atomic>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/threads/background_call.h"
#include "tests/threads/pthread_hooks.h"
#include "threads/pt_string.h"

namespace {

using testing_support::Scaled;
using testing_support::WaitUntil;
using threads_test::BackgroundCall;

// A one-way gate a thread body can be held at. Pass() gives up after the
// deadline so that a failing test cannot hold a thread forever.
struct Gate {
  std::atomic<bool> open{false};
  bool Pass() {
    return WaitUntil([this] { return open.load(); });
  }
};

// A thread whose body and cleanup are supplied by the test.
class TestThread : public pt::thread {
 public:
  using Step = std::function<void(TestThread&)>;

  TestThread(bool isautofree, Step body, Step cleanupStep = nullptr)
      : pt::thread(isautofree), body_(std::move(body)), cleanupStep_(std::move(cleanupStep)) {}

  // Only from the thread's own body, as relax is meant to be used.
  bool Relax(int milliseconds) { return relax(milliseconds); }

 protected:
  void execute() override { body_(*this); }
  void cleanup() override {
    if (cleanupStep_) cleanupStep_(*this);
  }

 private:
  Step body_;
  Step cleanupStep_;
};

// Joinable, and like every joinable thread of the system it joins first in
// its destructor, before any of its members go.
class JoinableThread : public TestThread {
 public:
  explicit JoinableThread(Step body, Step cleanupStep = nullptr)
      : TestThread(false, std::move(body), std::move(cleanupStep)) {}
  ~JoinableThread() override { waitfor(); }
};

// Says on standard error when its object is deleted.
class AnnouncingThread : public TestThread {
 public:
  using TestThread::TestThread;
  ~AnnouncingThread() override { fprintf(stderr, "object deleted\n"); }
};

// Counts its deletions, so a test can tell a swallowed exception was freed.
class CountedException : public pt::exception {
 public:
  explicit CountedException(const char* message) : pt::exception(message) {}
  ~CountedException() override { deleted.fetch_add(1); }
  static std::atomic<int> deleted;
};
std::atomic<int> CountedException::deleted{0};

int DetachState(pthread_t thread) {
  pthread_attr_t attr;
  int state = -1;
  if (pthread_getattr_np(thread, &attr) != 0) return state;
  pthread_attr_getdetachstate(&attr, &state);
  pthread_attr_destroy(&attr);
  return state;
}

// Counts, through the hooks, what the library does with system threads.
class ThreadTest : public ::testing::Test {
 protected:
  void SetUp() override { pthread_hooks::Reset(); }
  static pthread_hooks::Counts Calls() { return pthread_hooks::Current(); }
};

TEST_F(ThreadTest, StartTwiceCreatesOneSystemThread) {
  std::atomic<int> executes{0};
  Gate gate;
  JoinableThread t([&](TestThread&) {
    executes.fetch_add(1);
    gate.Pass();
  });
  // Two racing first calls and a late one; the body is still held at the gate.
  std::thread a([&t] { t.start(); });
  std::thread b([&t] { t.start(); });
  a.join();
  b.join();
  t.start();
  EXPECT_TRUE(WaitUntil([&] { return executes.load() >= 1; }));
  threads_test::ShortPause();
  EXPECT_EQ(executes.load(), 1);
  EXPECT_EQ(Calls().creates, 1);

  gate.open.store(true);
  t.waitfor();
  EXPECT_EQ(executes.load(), 1);
}

TEST_F(ThreadTest, SignalPostsTheWakeupOnlyOnce) {
  std::vector<bool> relaxed;  // written by the body, read after the join
  JoinableThread t([&](TestThread& self) {
    relaxed.push_back(self.Relax(Scaled(5000)));
    relaxed.push_back(self.Relax(100));
    relaxed.push_back(self.Relax(100));
  });
  t.start();
  std::thread a([&t] { t.signal(); });
  std::thread b([&t] { t.signal(); });
  a.join();
  b.join();
  t.signal();
  t.waitfor();
  EXPECT_TRUE(t.get_signaled());
  EXPECT_EQ(relaxed, (std::vector<bool>{true, false, false}))
      << "one signal wakes one relax; later ones run to their time-out";
}

TEST_F(ThreadTest, CleanupRunsAfterTheBodyAndBeforeFinishedIsSet) {
  std::vector<std::string> steps;  // written by the thread, read after the join
  JoinableThread t([&](TestThread&) { steps.push_back("execute"); },
                   [&](TestThread& self) {
                     steps.push_back(self.get_finished() ? "cleanup, finished" : "cleanup");
                   });
  EXPECT_FALSE(t.get_finished());
  t.start();
  t.waitfor();
  EXPECT_TRUE(t.get_finished());
  EXPECT_EQ(steps, (std::vector<std::string>{"execute", "cleanup"}));
}

TEST_F(ThreadTest, WaitforTwiceJoinsOnceAndTheDestructorLeavesItJoined) {
  {
    JoinableThread t([](TestThread&) {});
    t.start();
    t.waitfor();
    EXPECT_TRUE(t.get_finished());
    t.waitfor();
    EXPECT_EQ(Calls().joins, 1);
  }
  EXPECT_EQ(Calls().joins, 1);
  EXPECT_EQ(Calls().detaches, 0);
}

TEST_F(ThreadTest, RacingWaitforCallsJoinOnce) {
  Gate gate;
  JoinableThread t([&](TestThread&) { gate.Pass(); });
  t.start();
  auto waitfor = [&t] {
    t.waitfor();
    return true;
  };
  BackgroundCall a(waitfor);
  BackgroundCall b(waitfor);
  // The second call returns at once; the first waits for the body.
  EXPECT_TRUE(WaitUntil([&] { return a.Done() || b.Done(); }));
  threads_test::ShortPause();
  EXPECT_FALSE(a.Done() && b.Done());
  EXPECT_FALSE(t.get_finished());

  gate.open.store(true);
  EXPECT_TRUE(a.WaitDone() && b.WaitDone());
  EXPECT_TRUE(t.get_finished());
  EXPECT_EQ(Calls().joins, 1);
}

TEST_F(ThreadTest, WaitforBeforeStartLeavesTheThreadUsable) {
  std::atomic<int> executes{0};
  JoinableThread t([&](TestThread&) { executes.fetch_add(1); });
  t.waitfor();  // nothing to join yet
  EXPECT_EQ(Calls().joins, 0);
  t.start();
  t.waitfor();
  EXPECT_EQ(executes.load(), 1);
  EXPECT_TRUE(t.get_finished());
}

TEST_F(ThreadTest, DeletingANeverStartedThreadTouchesNoSystemThread) {
  delete new TestThread(false, [](TestThread&) {});
  delete new TestThread(true, [](TestThread&) {});
  EXPECT_EQ(Calls().joins, 0);
  EXPECT_EQ(Calls().detaches, 0);
}

TEST_F(ThreadTest, CleanupExceptionIsSwallowedAndDeleted) {
  CountedException::deleted.store(0);
  JoinableThread t([](TestThread&) {},
                   [](TestThread&) { throw new CountedException("from cleanup"); });
  t.start();
  t.waitfor();
  EXPECT_TRUE(t.get_finished());
  EXPECT_EQ(CountedException::deleted.load(), 1);
}

// Shared with a system thread that outlives its object; static so that it
// stays valid however late that thread leaves.
struct DetachProbe {
  std::atomic<bool> waiting{false};
  std::atomic<bool> leaving{false};
  Gate gate;
  pthread_t thread{};  // written by the body before `waiting`
};
DetachProbe detachProbe;

// A joinable thread deleted without waitfor while its body still runs. The
// body uses only detachProbe and leaves through pthread_exit, so nothing of
// the deleted object is touched after the delete.
class UnjoinedThread : public pt::thread {
 public:
  UnjoinedThread() : pt::thread(false) {}

 protected:
  void execute() override {
    detachProbe.thread = pthread_self();
    detachProbe.waiting.store(true);
    detachProbe.gate.Pass();
    detachProbe.leaving.store(true);
    pthread_exit(nullptr);
  }
};

TEST_F(ThreadTest, DeletingAStartedThreadWithoutWaitforDetachesIt) {
  detachProbe.waiting.store(false);
  detachProbe.leaving.store(false);
  detachProbe.gate.open.store(false);

  UnjoinedThread* t = new UnjoinedThread;
  t->start();
  ASSERT_TRUE(WaitUntil([] { return detachProbe.waiting.load(); }));
  EXPECT_EQ(DetachState(detachProbe.thread), PTHREAD_CREATE_JOINABLE);

  delete t;  // must neither wait for the body nor leave the thread joinable
  bool leftDuringDelete = detachProbe.leaving.load();
  EXPECT_FALSE(leftDuringDelete) << "delete waited for the system thread";
  if (!leftDuringDelete) {
    EXPECT_EQ(DetachState(detachProbe.thread), PTHREAD_CREATE_DETACHED);
  }
  EXPECT_EQ(Calls().detaches, 1);
  EXPECT_EQ(Calls().joins, 0);
  detachProbe.gate.open.store(true);
  EXPECT_TRUE(WaitUntil([] { return detachProbe.leaving.load(); }));
}

// What an autofree thread saw of itself; filled in by the thread.
struct AutofreeProbe {
  pthread_t executeThread{};
  pthread_t cleanupThread{};
  pthread_t destructorThread{};
  bool finishedInCleanup = true;
  bool finishedInDestructor = false;
  std::atomic<bool> destroyed{false};  // set last; the thread leaves the probe alone after it
};

class ProbedAutofreeThread : public pt::thread {
 public:
  ProbedAutofreeThread(AutofreeProbe* probe, bool throwFromCleanup)
      : pt::thread(true), probe_(probe), throwFromCleanup_(throwFromCleanup) {}
  ~ProbedAutofreeThread() override {
    probe_->destructorThread = pthread_self();
    probe_->finishedInDestructor = get_finished();
    probe_->destroyed.store(true);
  }

 protected:
  void execute() override { probe_->executeThread = pthread_self(); }
  void cleanup() override {
    probe_->cleanupThread = pthread_self();
    probe_->finishedInCleanup = get_finished();
    if (throwFromCleanup_) throw new CountedException("from cleanup");
  }

 private:
  AutofreeProbe* probe_;  // borrowed; outlives the object
  bool throwFromCleanup_;
};

class AutofreeThreadTest : public ::testing::Test {
 protected:
  void SetUp() override { pthread_hooks::Reset(); }
};

TEST_F(AutofreeThreadTest, CleansUpMarksFinishedAndDeletesItselfOnItsOwnThread) {
  for (bool throwFromCleanup : {false, true}) {
    SCOPED_TRACE(throwFromCleanup ? "cleanup throws" : "cleanup returns");
    CountedException::deleted.store(0);
    AutofreeProbe probe;
    (new ProbedAutofreeThread(&probe, throwFromCleanup))->start();
    ASSERT_TRUE(WaitUntil([&] { return probe.destroyed.load(); }));

    EXPECT_FALSE(pthread_equal(probe.executeThread, pthread_self()));
    EXPECT_TRUE(pthread_equal(probe.cleanupThread, probe.executeThread));
    EXPECT_TRUE(pthread_equal(probe.destructorThread, probe.executeThread));
    EXPECT_FALSE(probe.finishedInCleanup);
    EXPECT_TRUE(probe.finishedInDestructor);
    EXPECT_EQ(CountedException::deleted.load(), throwFromCleanup ? 1 : 0);
  }
  // Created detached: nobody joins or detaches it afterwards.
  EXPECT_EQ(pthread_hooks::Current().joins, 0);
  EXPECT_EQ(pthread_hooks::Current().detaches, 0);
}

TEST_F(AutofreeThreadTest, ThreadsThatEndAtOnceAllDeleteThemselves) {
  // The object may be gone before start returns; start must not touch it
  // once the system thread exists (a memory-checking build reports that).
  const int kThreads = 32;
  AutofreeProbe probes[kThreads];
  for (AutofreeProbe& probe : probes) (new ProbedAutofreeThread(&probe, false))->start();
  EXPECT_TRUE(WaitUntil([&] {
    for (AutofreeProbe& probe : probes) {
      if (!probe.destroyed.load()) return false;
    }
    return true;
  }));
}

// Matches a death test's standard error that contains `present` but not
// `absent`.
class OutputMatcher : public ::testing::MatcherInterface<const std::string&> {
 public:
  OutputMatcher(std::string present, std::string absent)
      : present_(std::move(present)), absent_(std::move(absent)) {}
  bool MatchAndExplain(const std::string& output, ::testing::MatchResultListener*) const override {
    return output.find(present_) != std::string::npos && output.find(absent_) == std::string::npos;
  }
  void DescribeTo(std::ostream* os) const override {
    *os << "contains \"" << present_ << "\" but not \"" << absent_ << "\"";
  }

 private:
  std::string present_;
  std::string absent_;
};

::testing::Matcher<const std::string&> ContainsButLacks(const std::string& present,
                                                        const std::string& absent) {
  return ::testing::MakeMatcher(new OutputMatcher(present, absent));
}

void PrintCleanupRan(TestThread&) { fprintf(stderr, "cleanup ran\n"); }

// Gives a death-test child time to die; returning means it did not.
void AwaitTheEnd() {
  WaitUntil([] { return false; }, 5000);
}

TEST(ThreadDeathTest, WaitforFromTheThreadsOwnBodyIsFatal) {
  const char* expected = "\nInternal \\[c002f\\]: Can not waitfor\\(\\) on myself\n";
  EXPECT_EXIT(
      {
        JoinableThread t([](TestThread& self) { self.waitfor(); });
        t.start();
        AwaitTheEnd();
      },
      ::testing::ExitedWithCode(47), expected);
  // An autofree thread waiting on itself is caught as waiting on itself.
  EXPECT_EXIT(
      {
        (new TestThread(true, [](TestThread& self) { self.waitfor(); }))->start();
        AwaitTheEnd();
      },
      ::testing::ExitedWithCode(47), expected);
}

TEST(ThreadDeathTest, WaitforOnAnAutofreeThreadIsFatal) {
  // Static: the body may outlive the statement.
  static std::atomic<bool> bodyRunning{false};
  static Gate never;
  EXPECT_EXIT(
      {
        TestThread* t = new TestThread(true, [](TestThread&) {
          bodyRunning.store(true);
          never.Pass();
        });
        t->start();
        // Once the body runs, the thread has recorded its own handle and the
        // object stays until the body ends, which it does not.
        WaitUntil([] { return bodyRunning.load(); });
        t->waitfor();
        AwaitTheEnd();
      },
      ::testing::ExitedWithCode(48),
      "\nInternal \\[c0030\\]: Can not waitfor\\(\\) on an autofree thread\n");
}

TEST(ThreadDeathTest, FailedThreadCreationIsFatal) {
  EXPECT_EXIT(
      {
        JoinableThread t([](TestThread&) {});
        pthread_hooks::FailNext(pthread_hooks::Failure::kThreadCreate);
        t.start();
      },
      ::testing::ExitedWithCode(40), "\nInternal \\[c0028\\]: pthread_create\\(\\) failed\n");
}

TEST(ThreadDeathTest, LibraryExceptionFromTheBodyRunsCleanupThenEndsTheProcess) {
  EXPECT_EXIT(
      {
        JoinableThread t([](TestThread&) { throw new pt::exception("from the body"); },
                         PrintCleanupRan);
        t.start();
        t.waitfor();  // returns only if the exception was swallowed
      },
      ::testing::KilledBySignal(SIGABRT), "cleanup ran\n");
  // An autofree thread is also deleted before the process ends.
  EXPECT_EXIT(
      {
        (new AnnouncingThread(
             true, [](TestThread&) { throw new pt::exception("from the body"); }, PrintCleanupRan))
            ->start();
        AwaitTheEnd();
      },
      ::testing::KilledBySignal(SIGABRT), "cleanup ran\nobject deleted\n");
}

TEST(ThreadDeathTest, OtherExceptionFromTheBodySkipsCleanupAndEndsTheProcess) {
  EXPECT_EXIT(
      {
        JoinableThread t([](TestThread&) { throw 7; }, PrintCleanupRan);
        t.start();
        t.waitfor();
      },
      ::testing::KilledBySignal(SIGABRT), ContainsButLacks("terminate", "cleanup ran"));
}

}  // namespace
