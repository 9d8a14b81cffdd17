// The module status document: its exact text and how it travels.
#include <gtest/gtest.h>

#include "tests/core/core_harness.h"

namespace {

using testing_support::Scaled;

const char kCoreOnly[] =
    "<?xml ?><Vesk Delta=\"0\"><Modules><Module Name=\"Core\" Version=\"4.6.15.27231\" "
    "ID=\"-2147483648\"><Plugin Filename=\"ombrevard\" Opened=\"1\" OpenCode=\"0\" "
    "ID=\"-2147483648\" /></Module></Modules></Vesk>";

class StatusDocumentTest : public CoreTest {
 protected:
  // The document as it should read for the Core's current plug-ins, with the
  // plug-in elements spelled out by the test.
  static std::string Expected(const std::string& pluginElements) {
    std::string text = kCoreOnly;
    size_t at = text.find("</Module>");
    return text.insert(at, pluginElements);
  }
  std::string Element(const PluginRecord& record, const std::string& filename) {
    return "<Plugin Filename=\"" + filename + "\" Opened=\"1\" OpenCode=\"" +
           std::to_string(record.openCode) + "\" LoadTime=\"" +
           std::to_string(static_cast<int32_t>(record.loadTime)) + "\" OpenTime=\"" +
           std::to_string(static_cast<int32_t>(record.openTime)) + "\" ID=\"" +
           std::to_string(static_cast<int32_t>(record.descriptor.id)) + "\" />";
  }
};

TEST_F(StatusDocumentTest, WithoutPluginsListsOnlyTheCore) {
  StartCore();
  EXPECT_EQ(core()->BuildModuleStatus(), kCoreOnly);
}

TEST_F(StatusDocumentTest, EveryPluginGetsItThroughIoctlTwoByteForByte) {
  Probe* a = AddProbe("a.so", 0x00010000);
  Probe* b = AddProbe("b.so", 0xFFFFFFFFu);
  b->hooks.open = [] { return 5; };
  StartCore();
  ASSERT_TRUE(a->WaitForCount(ENTRY_IOCTL, 1, Scaled(5000)));
  ASSERT_TRUE(b->WaitForCount(ENTRY_IOCTL, 1, Scaled(5000)));
  std::string elements;
  for (const PluginRecord& record : inspect().Plugins()) {
    elements += Element(record, record.fileNameBytes);
  }
  std::string expected = Expected(elements);
  EXPECT_EQ(StatusText(a), expected);
  EXPECT_EQ(StatusText(b), expected);
  EXPECT_NE(expected.find("OpenCode=\"5\""), std::string::npos);
  EXPECT_NE(expected.find("ID=\"-1\""), std::string::npos);
  EXPECT_NE(expected.find("ID=\"65536\""), std::string::npos);
  const ProbeCall call = a->CallsTo(ENTRY_IOCTL)[0];
  EXPECT_EQ(call.code, static_cast<uint32_t>(IOCTL_EVENT_OTHERS));
  EXPECT_EQ(call.payloadSize, expected.size());  // no terminating zero
  EXPECT_EQ(call.payload.back(), '>');
}

TEST_F(StatusDocumentTest, FileNamesAreEscaped) {
  AddProbe("a&b.so", 1);
  AddProbe("q\"'<>.so", 2);
  AddProbe("x&#x41;.so", 3);  // a character reference in a name stays text
  StartCore();
  std::string text = core()->BuildModuleStatus();
  EXPECT_NE(text.find("Filename=\"a&amp;b.so\""), std::string::npos) << text;
  // A value holding a double quote is printed between single quotes.
  EXPECT_NE(text.find("Filename='q&quot;&apos;&lt;&gt;.so'"), std::string::npos) << text;
  EXPECT_NE(text.find("Filename=\"x&amp;#x41;.so\""), std::string::npos) << text;
}

TEST_F(StatusDocumentTest, ComesAfterWhatPluginsPostedWhileLoading) {
  Probe* early = AddProbe("early.so", 0x10);
  early->descriptor.eventSink = 1;
  early->descriptor.subscriptionMask[0] = 0xFFFFFFFF;
  early->hooks.open = [early] {
    early->Post(MakeRecord(0x10, 0, EVENT_FLAG_ALL, 0x5, "from open", 9));
    return 0;
  };
  StartCore();
  ASSERT_TRUE(early->WaitForCount(ENTRY_IOCTL, 2, Scaled(5000)));
  auto ioctls = early->CallsTo(ENTRY_IOCTL);
  EXPECT_EQ(ioctls[0].code, static_cast<uint32_t>(IOCTL_EVENT_ALL));
  EXPECT_EQ(ioctls[1].code, static_cast<uint32_t>(IOCTL_EVENT_OTHERS));
  EXPECT_EQ(std::string(ioctls[1].payload.begin(), ioctls[1].payload.begin() + 8), "<?xml ?>");
}

}  // namespace
