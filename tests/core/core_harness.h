// A real Core over a scratch plug-in folder, with probes the test configures
// and reads back, and a log target that keeps what the Core logs.
#ifndef TESTS_CORE_CORE_HARNESS_H_
#define TESTS_CORE_CORE_HARNESS_H_

#include <dlfcn.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <wx/log.h>

#include "core/core.h"
#include "tests/plugins/probe.h"
#include "tests/support/core_internals.h"
#include "tests/support/event_record.h"
#include "tests/support/test_support.h"

// Keeps every record logged on any thread.
class RecordingLog : public wxLog {
 public:
  struct Entry {
    wxLogLevel level;
    std::string text;
  };
  std::vector<Entry> Entries() {
    std::lock_guard<std::mutex> hold(mutex_);
    return entries_;
  }
  bool Contains(wxLogLevel level, const std::string& text) {
    for (const Entry& entry : Entries()) {
      if (entry.level == level && entry.text == text) return true;
    }
    return false;
  }

 protected:
  void DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo&) override {
    std::lock_guard<std::mutex> hold(mutex_);
    entries_.push_back({level, std::string(msg.utf8_str())});
  }

 private:
  std::mutex mutex_;
  std::vector<Entry> entries_;
};

class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Copies the probe library into the plug-in folder as `name`, opens it and
  // gives its Probe, with `id` as its identity and every call recorded in one
  // order shared by all probes of the test.
  Probe* AddProbe(const std::string& name, uint32_t id);
  // Copies another built test plug-in in.
  std::string AddPlugin(const std::string& target, const std::string& name);

  void StartCore();
  void StopCore();
  void DestroyCore();  // stops it first if it runs
  Core* core() { return core_.get(); }
  CoreInspector inspect() { return CoreInspector(core_.get()); }

  // Posts through the Core's PostEvent as a plug-in would; the result code.
  int32_t Post(const EventRecord& record);

  testing_support::TempTree tree_;
  RecordingLog* log_ = nullptr;  // owned by the framework while active
  std::atomic<uint64_t> sequence_{0};

 private:
  std::vector<void*> handles_;
  std::unique_ptr<Core> core_;
  bool started_ = false;
  wxLog* previousLog_ = nullptr;
};

// A CoreTest that counts every payload copy the Core makes and frees
// (PayloadLedger), from before the Core starts until after it is gone.
class LedgerCoreTest : public CoreTest {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// Leaves the process no room for large allocations (for death tests).
void LimitAddressSpace(size_t bytes);

// A payload size no allocation can satisfy: beyond a 32-bit address space,
// where an emulator may not apply the limit above, and beyond that limit
// elsewhere. Posted with a small buffer, so a copy that went ahead would fault.
constexpr uint32_t kUnallocatableSize = 0xFFFFF000u;

// A sanitizer's shadow memory does not fit under such a limit.
#if defined(OMBREVARD_SANITIZE_ADDRESS) || defined(OMBREVARD_SANITIZE_THREAD)
#define SKIP_UNDER_SANITIZER() GTEST_SKIP() << "needs a small address space"
#else
#define SKIP_UNDER_SANITIZER() (void)0
#endif

// The status document text a probe received (IOCTL code 2 from the Core).
std::string StatusText(Probe* probe);

#endif  // TESTS_CORE_CORE_HARNESS_H_
