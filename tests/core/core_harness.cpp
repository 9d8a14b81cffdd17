#include "tests/core/core_harness.h"

#include <string.h>
#include <sys/resource.h>

#include <wx/filename.h>
#include <wx/init.h>

#include "core/payload_ledger.h"

namespace {

// The Core's file, library and logging classes need the framework set up,
// in the test program and in every death test's child, which runs it again.
class FrameworkEnvironment : public testing::Environment {
 public:
  void SetUp() override { ASSERT_TRUE(wxInitialize()); }
  void TearDown() override { wxUninitialize(); }
};

testing::Environment* const kFramework =
    testing::AddGlobalTestEnvironment(new FrameworkEnvironment());

}  // namespace

void CoreTest::SetUp() {
  log_ = new RecordingLog();
  previousLog_ = wxLog::SetActiveTarget(log_);
}

void CoreTest::TearDown() {
  StopCore();
  core_.reset();
  wxLog::SetActiveTarget(previousLog_);
  delete log_;
  log_ = nullptr;
  for (void* handle : handles_) dlclose(handle);
}

Probe* CoreTest::AddProbe(const std::string& name, uint32_t id) {
  std::string path = tree_.AddPlugin(testing_support::TestPlugin("probe"), name);
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  EXPECT_NE(handle, nullptr) << dlerror();
  if (handle == nullptr) return nullptr;
  handles_.push_back(handle);
  auto instance = reinterpret_cast<ProbeInstanceFunction>(dlsym(handle, "ProbeInstance"));
  Probe* probe = instance();
  probe->descriptor.id = id;
  probe->sequence = &sequence_;
  return probe;
}

std::string CoreTest::AddPlugin(const std::string& target, const std::string& name) {
  return tree_.AddPlugin(testing_support::TestPlugin(target), name);
}

void CoreTest::StartCore() {
  core_.reset(new Core(wxFileName(tree_.ExecutablePath())));
  ASSERT_TRUE(core_->Start());
  started_ = true;
}

void CoreTest::StopCore() {
  if (!started_) return;
  started_ = false;
  core_->Stop();
}

void CoreTest::DestroyCore() {
  StopCore();
  core_.reset();
}

int32_t CoreTest::Post(const EventRecord& record) {
  EventResult result{};
  result.size = sizeof(result);
  result.version = 1;
  result.result = 12345;
  EXPECT_EQ(PostEvent(&record, &result), 0);
  return result.result;
}

std::string StatusText(Probe* probe) {
  for (const ProbeCall& call : probe->CallsTo(ENTRY_IOCTL)) {
    if (call.code == IOCTL_EVENT_OTHERS) {
      return std::string(call.payload.begin(), call.payload.end());
    }
  }
  return "";
}

void LimitAddressSpace(size_t bytes) {
  rlimit limit;
  limit.rlim_cur = bytes;
  limit.rlim_max = bytes;
  setrlimit(RLIMIT_AS, &limit);
}

void LedgerCoreTest::SetUp() {
  CoreTest::SetUp();
  PayloadLedger::Enable(true);
}

void LedgerCoreTest::TearDown() {
  CoreTest::TearDown();
  PayloadLedger::Enable(false);
}
