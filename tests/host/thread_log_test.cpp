// The log relay of core/thread_log.h, as the service host relies on it: in
// the foreground the main thread sits in a read from standard input for the
// whole run and never flushes the framework's log, so records of the Core's
// threads must reach the main thread's target from the logging thread itself.
#include <stdio.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <wx/init.h>
#include <wx/log.h>
#include <wx/thread.h>

#include "core/thread_log.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::Scaled;

// Keeps every record it is handed, with the thread that handed it over.
class RecordingLog : public wxLog {
 public:
  struct Entry {
    wxLogLevel level;
    std::string text;
    std::thread::id thread;
  };

  // Waits (scaled) until at least `count` records are in.
  bool WaitForCount(size_t count, int milliseconds) {
    std::unique_lock<std::mutex> hold(lock);
    return arrived.wait_for(hold, std::chrono::milliseconds(Scaled(milliseconds)),
                            [&] { return entries.size() >= count; });
  }
  std::vector<Entry> Entries() {
    std::lock_guard<std::mutex> hold(lock);
    return entries;
  }

 protected:
  void DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo& info) override {
    (void)info;
    std::lock_guard<std::mutex> hold(lock);
    entries.push_back({level, msg.ToStdString(), std::this_thread::get_id()});
    arrived.notify_all();
  }

 private:
  std::mutex lock;
  std::condition_variable arrived;
  std::vector<Entry> entries;  // guarded by lock
};

class ThreadLogTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { framework = new wxInitializer(); }
  static void TearDownTestSuite() {
    delete framework;
    framework = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(framework->IsOk());
    // Records of unbound threads wait for a flush from the main thread; only
    // then does this test prove anything.
    ASSERT_TRUE(wxThread::IsMain());
    previous = wxLog::SetActiveTarget(&recorder);
  }
  void TearDown() override {
    wxLog::FlushActive();
    wxLog::SetActiveTarget(previous);
  }

  static wxInitializer* framework;  // owned; the framework for the whole suite
  RecordingLog recorder;
  wxLog* previous = nullptr;  // borrowed; the framework's own target
};

wxInitializer* ThreadLogTest::framework = nullptr;

TEST_F(ThreadLogTest, BoundThreadReachesMainTargetWithoutFlush) {
  std::thread::id worker;
  bool workerIsMain = true;
  std::thread thread([&] {
    worker = std::this_thread::get_id();
    workerIsMain = wxThread::IsMain();
    BindThreadToActiveLog();
    wxLogWarning("from a worker: %d%%", 50);
  });
  thread.join();
  ASSERT_FALSE(workerIsMain);
  // No flush on this thread: the record is there already.
  ASSERT_TRUE(recorder.WaitForCount(1, 5000));
  std::vector<RecordingLog::Entry> entries = recorder.Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].level, wxLOG_Warning);
  EXPECT_EQ(entries[0].text, "from a worker: 50%");
  // Handed over on the worker, not buffered for the main thread.
  EXPECT_EQ(entries[0].thread, worker);
}

TEST_F(ThreadLogTest, RecordArrivesWhileMainThreadIsBlocked) {
  // The foreground shape: the worker logs while the main thread waits for
  // something only the record can bring.
  std::mutex lock;
  std::condition_variable release;
  bool released = false;
  std::thread thread([&] {
    BindThreadToActiveLog();
    wxLogError("worker needs attention");
    std::unique_lock<std::mutex> hold(lock);
    release.wait_for(hold, std::chrono::milliseconds(Scaled(5000)), [&] { return released; });
  });
  bool arrived = recorder.WaitForCount(1, 5000);
  {
    std::lock_guard<std::mutex> hold(lock);
    released = true;
  }
  release.notify_all();
  thread.join();
  ASSERT_TRUE(arrived);
  EXPECT_EQ(recorder.Entries()[0].text, "worker needs attention");
  EXPECT_EQ(recorder.Entries()[0].level, wxLOG_Error);
}

TEST_F(ThreadLogTest, BoundThreadFollowsTheActiveTarget) {
  // A thread bound once keeps reaching whatever target the main thread has
  // made active since, as the daemon does when it moves to syslog.
  RecordingLog later;
  std::mutex lock;
  std::condition_variable step;
  int stage = 0;  // guarded by lock
  std::thread thread([&] {
    BindThreadToActiveLog();
    wxLogMessage("first");
    std::unique_lock<std::mutex> hold(lock);
    step.wait_for(hold, std::chrono::milliseconds(Scaled(5000)), [&] { return stage == 1; });
    hold.unlock();
    BindThreadToActiveLog();  // a second call changes nothing
    wxLogMessage("second");
  });
  ASSERT_TRUE(recorder.WaitForCount(1, 5000));
  wxLog::SetActiveTarget(&later);
  {
    std::lock_guard<std::mutex> hold(lock);
    stage = 1;
  }
  step.notify_all();
  bool arrived = later.WaitForCount(1, 5000);
  thread.join();
  wxLog::SetActiveTarget(&recorder);
  ASSERT_TRUE(arrived);
  EXPECT_EQ(later.Entries()[0].text, "second");
  ASSERT_EQ(recorder.Entries().size(), 1u);
  EXPECT_EQ(recorder.Entries()[0].text, "first");
}

TEST_F(ThreadLogTest, ManyBoundThreadsLoseNothing) {
  const int kThreads = 6;
  const int kRecordsEach = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([t] {
      BindThreadToActiveLog();
      for (int k = 0; k < kRecordsEach; k++) wxLogMessage("%d/%d", t, k);
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_TRUE(recorder.WaitForCount(kThreads * kRecordsEach, 5000));
  std::vector<RecordingLog::Entry> entries = recorder.Entries();
  ASSERT_EQ(entries.size(), static_cast<size_t>(kThreads * kRecordsEach));
  // Each thread's records keep their order.
  std::vector<int> next(kThreads, 0);
  for (const RecordingLog::Entry& entry : entries) {
    int t = -1, k = -1;
    ASSERT_EQ(sscanf(entry.text.c_str(), "%d/%d", &t, &k), 2) << entry.text;
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(k, next[t]) << "thread " << t;
    next[t] = k + 1;
  }
}

}  // namespace
