// Finding, loading and refusing plug-ins.
#include <elf.h>
#include <stddef.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <wx/dir.h>

#include <algorithm>
#include <thread>

#include "tests/core/core_harness.h"

namespace {

using testing_support::Scaled;

class PluginLoadTest : public CoreTest {
 protected:
  // The order in which the folder lists its "*.so" files.
  std::vector<std::string> ListingOrder() {
    std::vector<std::string> names;
    wxDir dir(tree_.PluginDir());
    wxString name;
    for (bool found = dir.GetFirst(&name, "*.so", wxDIR_FILES); found; found = dir.GetNext(&name)) {
      names.push_back(std::string(name.utf8_str()));
    }
    return names;
  }
  std::vector<std::string> LoadedNames() {
    std::vector<std::string> names;
    for (const PluginRecord& record : inspect().Plugins()) names.push_back(record.fileNameBytes);
    return names;
  }
};

TEST_F(PluginLoadTest, SecondPluginWithTheSameIdIsRefused) {
  Probe* a = AddProbe("a.so", 5);
  Probe* b = AddProbe("b.so", 5);
  std::vector<std::string> order = ListingOrder();
  ASSERT_EQ(order.size(), 2u);
  Probe* first = order[0] == "a.so" ? a : b;
  Probe* second = order[0] == "a.so" ? b : a;
  StartCore();
  EXPECT_EQ(LoadedNames(), std::vector<std::string>{order[0]});
  EXPECT_TRUE(log_->Contains(wxLOG_Warning, "plugin " + order[1] + " ID 0x00000005 already loaded"));
  StopCore();
  EXPECT_EQ(second->Count(ENTRY_LOAD), 1u);
  EXPECT_EQ(second->Calls().size(), 1u);  // Load only: no Open, Close or Unload
  EXPECT_EQ(first->Count(ENTRY_UNLOAD), 1u);
}

TEST_F(PluginLoadTest, LoadFailsByResultOrByLoadError) {
  Probe* byError = AddProbe("by_error.so", 1);
  byError->hooks.load = [](const LoadRequest&, PluginDescriptor* descriptor) {
    descriptor->id = 1;
    descriptor->loadError = 2;
    return 0;
  };
  Probe* byResult = AddProbe("by_result.so", 2);
  byResult->hooks.load = [](const LoadRequest&, PluginDescriptor* descriptor) {
    descriptor->id = 2;
    return -1;
  };
  Probe* good = AddProbe("good.so", 3);
  StartCore();
  EXPECT_EQ(LoadedNames(), std::vector<std::string>{"good.so"});
  EXPECT_TRUE(log_->Contains(wxLOG_Error, "plugin by_error.so load returned 0 error 2"));
  EXPECT_TRUE(log_->Contains(wxLOG_Error, "plugin by_result.so load returned -1 error 0"));
  StopCore();
  EXPECT_EQ(byError->Calls().size(), 1u);
  EXPECT_EQ(byResult->Calls().size(), 1u);
  EXPECT_EQ(good->Count(ENTRY_OPEN), 1u);
}

TEST_F(PluginLoadTest, FrontIdGoesFirstOthersKeepListingOrder) {
  AddProbe("p1.so", 11);
  AddProbe("p2.so", 12);
  AddProbe("front.so", PLUGIN_ID_FRONT);
  AddProbe("p3.so", 13);
  std::vector<std::string> expected = {"front.so"};
  for (const std::string& name : ListingOrder()) {
    if (name != "front.so") expected.push_back(name);
  }
  StartCore();
  EXPECT_EQ(LoadedNames(), expected);
}

TEST_F(PluginLoadTest, PassesOverWhatIsNoPlugin) {
  AddProbe("real.so", 1);
  mkdir((tree_.PluginDir() + "/sub.so").c_str(), 0755);
  tree_.AddPlugin(testing_support::TestPlugin("probe"), "lib.so.1");
  tree_.AddPlugin(testing_support::TestPlugin("probe"), ".x.so");
  tree_.WriteFile(tree_.PluginDir() + "/notes.txt", "not a plug-in");
  tree_.WriteFile(tree_.PluginDir() + "/text.so", "not a shared library either");
  AddPlugin("no_load", "no_load.so");
  StartCore();
  EXPECT_EQ(LoadedNames(), std::vector<std::string>{"real.so"});
  // Nothing of the Core's own about them, but why the text file was skipped.
  for (const auto& entry : log_->Entries()) {
    if (entry.text == "plugin text.so skipped: not an ELF file") continue;
    EXPECT_EQ(entry.text.find("plugin "), std::string::npos) << entry.text;
  }
}

TEST_F(PluginLoadTest, PluginWithOnlyLoadRunsAndIsNeverCalledElsewhere) {
  AddPlugin("only_load", "only_load.so");
  Probe* other = AddProbe("other.so", 2);
  StartCore();
  ASSERT_EQ(inspect().Plugins().size(), 2u);
  // It asked for everything: an IOCTL thread, Read calls and Write calls.
  EXPECT_EQ(Post(MakeRecord(2, 0, 1, 0, "x", 1)), POST_OK);
  EXPECT_EQ(Post(MakeRecord(0, 77, 1, 0)), POST_OK);
  ASSERT_TRUE(other->WaitForCount(ENTRY_IOCTL, 1, Scaled(5000)));  // the status document
  StopCore();  // reaching here without a crash is the point
  EXPECT_EQ(other->Count(ENTRY_UNLOAD), 1u);
}

TEST_F(PluginLoadTest, LoadGetsItsBlocksAndIoctlThreadStartsRightAfter) {
  Probe* probe = AddProbe("ioctl.so", 0x77);
  probe->descriptor.ioctlThread = 1;
  StartCore();
  ASSERT_TRUE(probe->WaitFor(
      [](const std::vector<ProbeCall>& calls) {
        for (const ProbeCall& call : calls) {
          if (call.entry == ENTRY_IOCTL && call.code == IOCTL_THREAD) return true;
        }
        return false;
      },
      Scaled(5000)));
  StopCore();
  const ProbeCall load = probe->CallsTo(ENTRY_LOAD)[0];
  LoadRequest request;
  memcpy(&request, load.request.data(), sizeof(request));
  EXPECT_EQ(request.size, sizeof(LoadRequest));
  EXPECT_EQ(request.version, 2u);
  EXPECT_EQ(request.postEvent, &PostEvent);
  EXPECT_NE(request.core, nullptr);
  // The descriptor arrives zero-filled but for its header.
  PluginDescriptor given;
  memcpy(&given, load.payload.data(), sizeof(given));
  EXPECT_EQ(given.size, 64u);
  EXPECT_EQ(given.version, 1u);
  std::vector<uint8_t> rest(load.payload.begin() + 8, load.payload.end());
  EXPECT_EQ(rest, std::vector<uint8_t>(56, 0));

  for (const ProbeCall& call : probe->CallsTo(ENTRY_IOCTL)) {
    if (call.code != IOCTL_THREAD) continue;
    EXPECT_NE(call.thread, std::this_thread::get_id());
    IoctlRequest ioctl;
    memcpy(&ioctl, call.request.data(), sizeof(ioctl));
    EXPECT_EQ(ioctl.size, sizeof(IoctlRequest));
    EXPECT_EQ(ioctl.paramSize, 8u);
    EXPECT_EQ(ioctl.paramVersion, 1u);
    EXPECT_EQ(ioctl.payloadSize, 0u);
    EXPECT_EQ(ioctl.payload, nullptr);
  }
}

TEST_F(PluginLoadTest, ReservedDescriptorFieldsChangeNothing) {
  Probe* probe = AddProbe("reserved.so", 0x78);
  probe->descriptor.reserved0 = 0xFFFFFFFFu;
  probe->descriptor.reserved1 = 0xFF;
  probe->descriptor.reserved2 = 0xFFFFFFFFu;
  StartCore();
  ASSERT_EQ(inspect().Plugins().size(), 1u);
  ASSERT_TRUE(probe->WaitForCount(ENTRY_IOCTL, 1, Scaled(5000)));
  StopCore();
  EXPECT_EQ(probe->Count(ENTRY_READ), 0u);
  EXPECT_EQ(probe->Count(ENTRY_WRITE), 0u);
}

TEST_F(PluginLoadTest, StreamStartsPostedWhileLoadingSeeACompleteList) {
  // One plug-in's own thread posts stream starts while the others still load.
  Probe* poster = AddProbe("poster.so", 0x100);
  poster->descriptor.ioctlThread = 1;
  poster->hooks.ioctl = [poster](const IoctlRequest& request) -> uint32_t {
    if (request.code != IOCTL_THREAD) return 0;
    for (uint32_t i = 1; i <= 200; i++) poster->Post(MakeRecord(0, i, 1, 0));
    return 0;
  };
  std::vector<Probe*> readers;
  for (int i = 0; i < 8; i++) {
    Probe* reader = AddProbe("reader" + std::to_string(i) + ".so", 0x200 + i);
    reader->descriptor.readThread = 1;
    reader->descriptor.subscriptionMask[0] = 0xFFFFFFFFu;
    readers.push_back(reader);
  }
  StartCore();
  StopCore();
  for (Probe* reader : readers) {
    for (const ProbeCall& call : reader->CallsTo(ENTRY_READ)) {
      EXPECT_LE(call.stream, 200u);
    }
  }
}

TEST_F(PluginLoadTest, SkipsWhatTheLoaderCannotSafelyTake) {
  // None of these may hang or crash the start: a FIFO (the loader would wait
  // for a writer for ever) and a copy cut short (it would fault on a page
  // past the end), nor libraries of another class or machine, nor other
  // files. A link to a complete library loads.
  Probe* good = AddProbe("good.so", 0x10);
  std::string library = testing_support::ReadFile(testing_support::TestPlugin("only_load"));
  ASSERT_GT(library.size(), 3000u);
  std::string otherClass = library;
  otherClass[EI_CLASS] = otherClass[EI_CLASS] == ELFCLASS64 ? ELFCLASS32 : ELFCLASS64;
  std::string otherMachine = library;
  otherMachine[offsetof(Elf32_Ehdr, e_machine)] ^= 0x7F;
  std::string dir = tree_.PluginDir() + "/";
  ASSERT_EQ(mkfifo((dir + "fifo.so").c_str(), 0644), 0);
  tree_.WriteFile(dir + "half.so", library.substr(0, 3000));
  tree_.WriteFile(dir + "header_only.so", library.substr(0, 64));
  tree_.WriteFile(dir + "class.so", otherClass);
  tree_.WriteFile(dir + "machine.so", otherMachine);
  tree_.WriteFile(dir + "text.so", "not a library\n");
  tree_.WriteFile(tree_.Root() + "/elsewhere.so", library);
  ASSERT_EQ(symlink((tree_.Root() + "/elsewhere.so").c_str(), (dir + "link.so").c_str()), 0);
  StartCore();
  std::vector<std::string> loaded = LoadedNames();
  std::sort(loaded.begin(), loaded.end());
  EXPECT_EQ(loaded, (std::vector<std::string>{"good.so", "link.so"}));
  const std::pair<const char*, const char*> kSkipped[] = {
      {"fifo.so", "not a regular file"},
      {"half.so", "incomplete: a loadable segment lies past the end of the file"},
      {"header_only.so", "incomplete: its program headers lie past the end of the file"},
      {"class.so", "an ELF file of the other word size (32 or 64 bits) than this server's"},
      {"machine.so", "an ELF file for another machine than this server's"},
      {"text.so", "not an ELF file"}};
  for (const auto& skipped : kSkipped) {
    EXPECT_TRUE(log_->Contains(wxLOG_Error, std::string("plugin ") + skipped.first +
                                                " skipped: " + skipped.second))
        << skipped.first;
  }
  EXPECT_EQ(good->Count(ENTRY_OPEN), 1u);
}

}  // namespace
