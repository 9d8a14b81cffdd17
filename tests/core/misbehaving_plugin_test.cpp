// Plug-ins that do what they should not, and plug-ins with awkward names:
// the Core survives them and loses nothing.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "core/payload_ledger.h"
#include "core/text_bytes.h"
#include "tests/core/core_harness.h"

namespace {

using testing_support::Scaled;

class MisbehavingPluginTest : public LedgerCoreTest {
 protected:
  // The log as bytes, the way the syslog target writes them.
  bool LogHasBytes(const std::string& bytes) {
    for (const auto& entry : log_->Entries()) {
      wxString text = wxString::FromUTF8(entry.text.c_str());
      if (std::string(TextBytes(text).data()).find(bytes) != std::string::npos) return true;
    }
    return false;
  }
};

TEST_F(MisbehavingPluginTest, AHundredPluginsLoadRunAndClose) {
  std::vector<Probe*> probes;
  for (uint32_t i = 0; i < 100; i++) {
    Probe* probe = AddProbe("p" + std::to_string(i) + ".so", 0x1000 + i);
    probe->descriptor.eventSink = 1;
    probe->descriptor.subscriptionMask[0] = 0xFFFFFFFF;
    probes.push_back(probe);
  }
  StartCore();
  ASSERT_EQ(inspect().Plugins().size(), 100u);
  ASSERT_EQ(Post(MakeRecord(0x99, 0, 1, 0x7, "all", 3)), POST_OK);
  for (Probe* probe : probes) ASSERT_TRUE(probe->WaitForCount(ENTRY_WRITE, 1, Scaled(5000)));
  std::string status = core()->BuildModuleStatus();
  size_t elements = 0;
  for (size_t at = status.find("<Plugin "); at != std::string::npos; at = status.find("<Plugin ", at + 1)) {
    elements++;
  }
  EXPECT_EQ(elements, 101u);  // the Core's own and a hundred
  StopCore();
  for (Probe* probe : probes) {
    EXPECT_EQ(probe->Count(ENTRY_CLOSE), 1u);
    EXPECT_EQ(probe->Count(ENTRY_UNLOAD), 1u);
  }
}

TEST_F(MisbehavingPluginTest, PostsFromEveryEntryPointAndThreadEvenAfterClose) {
  Probe* noisy = AddProbe("noisy.so", 0x77);
  noisy->descriptor.eventSink = 1;
  noisy->descriptor.readThread = 1;
  noisy->descriptor.ioctlThread = 1;
  noisy->descriptor.subscriptionMask[1] = 0xFFFFFFFF;
  std::atomic<int> bad{0};
  auto post = [noisy, &bad](uint32_t type) {
    int32_t result = noisy->Post(MakeRecord(0x77, 0, 2, type, "n", 1));
    if (result != POST_OK && result != POST_NO_MEMORY) bad++;
  };
  std::atomic<bool> unloading{false};
  std::thread own;
  struct JoinAtExit {
    std::atomic<bool>* stop;
    std::thread* thread;
    ~JoinAtExit() {
      stop->store(true);
      if (thread->joinable()) thread->join();
    }
  } joinAtExit{&unloading, &own};
  noisy->hooks.load = [&](const LoadRequest& request, PluginDescriptor* descriptor) {
    // Posting from inside Load, through the pointer it was just handed.
    EventRecord record = MakeRecord(0x77, 0, 2, 0x1, "l", 1);
    EventResult result{sizeof(EventResult), 1, 0};
    request.postEvent(&record, &result);
    if (result.result != POST_OK) bad++;
    uint32_t size = descriptor->size, version = descriptor->version;
    *descriptor = noisy->descriptor;
    descriptor->size = size;
    descriptor->version = version;
    return 0;
  };
  noisy->hooks.open = [&] {
    post(0x2);
    own = std::thread([&] {
      while (!unloading.load()) {
        post(0x3);  // goes on through Close and beyond
        usleep(200);
      }
    });
    return 0;
  };
  noisy->hooks.read = [&](const ReadRequest&) { post(0x4); };
  noisy->hooks.ioctl = [&](const IoctlRequest& request) -> uint32_t {
    post(0x5);
    if (request.code == IOCTL_THREAD) {
      while (!unloading.load()) usleep(1000);
      post(0x6);
    }
    return 0;
  };
  noisy->hooks.write = [&](const WriteRequest& request) -> uint32_t {
    if (request.type != 0x7) post(0x7);  // one answer per event, no storm
    return 0;
  };
  noisy->hooks.close = [&] { post(0x8); };
  noisy->hooks.unload = [&] {
    post(0x9);
    unloading.store(true);
    if (own.joinable()) own.join();
  };
  StartCore();
  ASSERT_TRUE(noisy->WaitForCount(ENTRY_WRITE, 20, Scaled(5000)));
  StopCore();
  EXPECT_EQ(bad.load(), 0);
  DestroyCore();
  EXPECT_EQ(PayloadLedger::Read().live, 0u);
}

TEST_F(MisbehavingPluginTest, KeptForeverHoldsItsStreamButNotStop) {
  Probe* hoarder = AddProbe("hoarder.so", 0x20);
  hoarder->descriptor.eventSink = 1;
  hoarder->descriptor.subscriptionMask[1] = 0xFFFFFFFF;
  hoarder->hooks.write = [](const WriteRequest& request) -> uint32_t { return request.stream == 3; };
  StartCore();
  ASSERT_EQ(Post(MakeRecord(0, 3, 0, 0)), POST_OK);
  ASSERT_EQ(Post(MakeRecord(0x30, 3, 2, 0x1, "mine", 4)), POST_OK);
  ASSERT_TRUE(hoarder->WaitForCount(ENTRY_WRITE, 1, Scaled(5000)));
  auto blocked = std::async(std::launch::async, [this] {
    return Post(MakeRecord(0x30, 3, 2, 0x1, "next", 4));
  });
  EXPECT_NE(blocked.wait_for(std::chrono::milliseconds(150)), std::future_status::ready);
  // Only a stop request lets the waiting poster go.
  ASSERT_EQ(Post(MakeRecord(0, 3, EVENT_STOP_STREAM, 0)), POST_OK);
  EXPECT_EQ(blocked.get(), POST_NO_STREAM);
  StopCore();  // completes although the payload was never released
  EXPECT_EQ(PayloadLedger::Read().live, 1u);
  DestroyCore();  // every plug-in is gone: the Core frees what they kept
  EXPECT_EQ(PayloadLedger::Read().live, 0u);
}

TEST_F(MisbehavingPluginTest, AwkwardFileNamesLoadAndAreNamedWithoutLoss) {
  const std::vector<std::string> names = {
      "\xc3\xbcnic\xc3\xb6" "de-\xe5\x90\x8d.so",      // UTF-8
      "raw-\xff\xfe\x80.so",                            // not UTF-8 at all
      "sh $(rm -rf x); `y` | z & <w> \"q\" 'a'.so",     // shell and XML characters
  };
  std::vector<Probe*> probes;
  uint32_t id = 0x600;
  for (const std::string& name : names) {
    probes.push_back(AddProbe(name, id++));
    Probe* refused = AddProbe("refused-" + name, 0x700);  // shares an id: refused by name
    (void)refused;
  }
  StartCore();
  ASSERT_EQ(inspect().Plugins().size(), names.size() + 1);  // one "refused-" wins its id
  std::string status = core()->BuildModuleStatus();
  for (const std::string& name : names) {
    bool found = false;
    for (const PluginRecord& record : inspect().Plugins()) found |= record.fileNameBytes == name;
    EXPECT_TRUE(found) << name;
  }
  EXPECT_NE(status.find("Filename=\"\xc3\xbcnic\xc3\xb6" "de-\xe5\x90\x8d.so\""), std::string::npos);
  EXPECT_NE(status.find("Filename=\"raw-\xff\xfe\x80.so\""), std::string::npos);
  EXPECT_NE(status.find("Filename='sh $(rm -rf x); `y` | z &amp; &lt;w&gt; &quot;q&quot; &apos;a&apos;.so'"),
            std::string::npos)
      << status;
  // Two of the three "refused-" plug-ins were refused, each named whole.
  int named = 0;
  for (const std::string& name : names) {
    named += LogHasBytes("plugin refused-" + name + " ID 0x00000700 already loaded") ? 1 : 0;
  }
  EXPECT_EQ(named, 2);
}

}  // namespace
