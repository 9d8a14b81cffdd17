// The media payload format of core/media.h: what the writer writes the
// reader reads back, and no payload whose lengths do not add up is read.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/media.h"

namespace {

std::vector<uint8_t> Payload(const MediaPacket& packet) {
  std::vector<uint8_t> payload(MediaPayloadSize(packet.capsSize, packet.dataSize));
  uint32_t at = MediaWriteHeader(payload.data(), static_cast<uint32_t>(payload.size()), &packet);
  EXPECT_EQ(at, MEDIA_HEADER_SIZE + packet.capsSize);
  if (packet.dataSize > 0) memcpy(payload.data() + at, packet.data, packet.dataSize);
  return payload;
}

void Put16(std::vector<uint8_t>* payload, size_t at, uint16_t value) {
  (*payload)[at] = static_cast<uint8_t>(value);
  (*payload)[at + 1] = static_cast<uint8_t>(value >> 8);
}

const char kCaps[] = "video/x-h264, stream-format=(string)byte-stream";
const uint8_t kData[] = {0, 0, 0, 1, 0x67, 0x42, 0xc0, 0x1e};

MediaPacket Sample() {
  MediaPacket packet = {};
  packet.flags = MEDIA_FLAG_KEYFRAME | MEDIA_FLAG_CAPS_CHANGED;
  packet.sequence = 0xFFFFFFFEu;
  packet.pts = 1234567890123LL;
  packet.dts = -33333333LL;  // reordered: decoded before time 0
  packet.duration = MEDIA_TIME_NONE;
  packet.caps = kCaps;
  packet.capsSize = sizeof(kCaps) - 1;
  packet.data = kData;
  packet.dataSize = sizeof(kData);
  return packet;
}

TEST(MediaFormatTest, WhatIsWrittenIsReadBackLittleEndian) {
  std::vector<uint8_t> payload = Payload(Sample());
  EXPECT_EQ(std::string(payload.begin(), payload.begin() + 4), "OVMF");
  EXPECT_EQ(payload[6], MEDIA_HEADER_SIZE);
  EXPECT_EQ(payload[12], 0xFE);  // sequence, low byte first
  MediaPacket read;
  ASSERT_EQ(MediaRead(payload.data(), static_cast<uint32_t>(payload.size()), &read), MEDIA_OK);
  EXPECT_EQ(read.version, 1u);
  EXPECT_EQ(read.flags, Sample().flags);
  EXPECT_EQ(read.sequence, 0xFFFFFFFEu);
  EXPECT_EQ(read.pts, 1234567890123LL);
  EXPECT_EQ(read.dts, -33333333LL);
  EXPECT_EQ(read.duration, MEDIA_TIME_NONE);
  EXPECT_EQ(std::string(read.caps, read.capsSize), kCaps);
  ASSERT_EQ(read.dataSize, sizeof(kData));
  EXPECT_EQ(memcmp(read.data, kData, sizeof(kData)), 0);
  EXPECT_EQ(read.data, payload.data() + MEDIA_HEADER_SIZE + read.capsSize) << "no copy";

  // A later version with a longer header: a version 1 reader skips what it
  // does not know.
  std::vector<uint8_t> later = payload;
  later.insert(later.begin() + MEDIA_HEADER_SIZE, 8, 0xAA);
  Put16(&later, 4, 2);
  Put16(&later, 6, MEDIA_HEADER_SIZE + 8);
  ASSERT_EQ(MediaRead(later.data(), static_cast<uint32_t>(later.size()), &read), MEDIA_OK);
  EXPECT_EQ(read.version, 2u);
  EXPECT_EQ(std::string(read.caps, read.capsSize), kCaps);
  EXPECT_EQ(memcmp(read.data, kData, sizeof(kData)), 0);
}

TEST(MediaFormatTest, NoLengthInThePayloadIsTrusted) {
  const std::vector<uint8_t> good = Payload(Sample());
  struct Case {
    const char* what;
    size_t at;  // byte to change
    int width;  // 8, 16 or 32 bits
    uint32_t value;
    size_t keep;  // bytes of the payload handed to the reader (0: all)
    int expected;
  };
  const uint32_t size = static_cast<uint32_t>(good.size());
  const uint32_t caps = sizeof(kCaps) - 1;
  const Case kCases[] = {
      {"shorter than a header", 0, 8, 'O', MEDIA_HEADER_SIZE - 1, MEDIA_ERROR_SHORT},
      {"wrong magic", 0, 8, 'X', 0, MEDIA_ERROR_MAGIC},
      {"version 0", 4, 16, 0, 0, MEDIA_ERROR_VERSION},
      {"header shorter than version 1's", 6, 16, MEDIA_HEADER_SIZE - 8, 0, MEDIA_ERROR_HEADER_SIZE},
      {"version 1 with a longer header", 6, 16, MEDIA_HEADER_SIZE + 8, 0, MEDIA_ERROR_HEADER_SIZE},
      {"caps past the end", 16, 32, size, 0, MEDIA_ERROR_LENGTH},
      {"caps that wrap around", 16, 32, 0xFFFFFFF0u, 0, MEDIA_ERROR_LENGTH},
      {"media one byte longer", 20, 32, sizeof(kData) + 1, 0, MEDIA_ERROR_LENGTH},
      {"media one byte shorter", 20, 32, sizeof(kData) - 1, 0, MEDIA_ERROR_LENGTH},
      {"payload cut short", 0, 8, 'O', size - 1, MEDIA_ERROR_LENGTH},
      {"zero inside the caps", MEDIA_HEADER_SIZE + 5, 8, 0, 0, MEDIA_ERROR_CAPS},
      {"caps taking the media's bytes", 16, 32, caps + 2, 0, MEDIA_ERROR_LENGTH},
  };
  for (const Case& test : kCases) {
    SCOPED_TRACE(test.what);
    std::vector<uint8_t> payload = good;
    if (test.width == 8) payload[test.at] = static_cast<uint8_t>(test.value);
    if (test.width == 16) Put16(&payload, test.at, static_cast<uint16_t>(test.value));
    if (test.width == 32) {
      for (int i = 0; i < 4; i++)
        payload[test.at + i] = static_cast<uint8_t>(test.value >> (8 * i));
    }
    MediaPacket read;
    uint32_t handed = test.keep != 0 ? static_cast<uint32_t>(test.keep) : size;
    EXPECT_EQ(MediaRead(payload.data(), handed, &read), test.expected);
    EXPECT_EQ(read.data, nullptr);
    EXPECT_EQ(read.dataSize, 0u);
  }
  MediaPacket read;
  EXPECT_EQ(MediaRead(nullptr, 100, &read), MEDIA_ERROR_SHORT);

  // The writer refuses what does not fit, rather than writing past the end.
  MediaPacket packet = Sample();
  std::vector<uint8_t> small(good.size() - 1);
  EXPECT_EQ(MediaWriteHeader(small.data(), static_cast<uint32_t>(small.size()), &packet), 0u);
  EXPECT_EQ(MediaPayloadSize(0xFFFFFFF0u, 0x20u), 0u);
}

TEST(MediaFormatTest, ConsumersMakeDistinctStreamHandles) {
  // Ids that differ in their low 24 bits never share a handle.
  const uint32_t kIds[] = {0x004D0002u, 0x00070002u, 0x00075701u, 0x00060000u};
  std::vector<uint32_t> handles;
  for (uint32_t id : kIds) {
    for (uint32_t n = 0; n < 256; n++) handles.push_back(MediaStreamHandle(id, n));
  }
  std::sort(handles.begin(), handles.end());
  EXPECT_EQ(std::adjacent_find(handles.begin(), handles.end()), handles.end());
  EXPECT_NE(handles.front(), 0u);
  EXPECT_EQ(MediaStreamHandle(0x004D0002u, 256), 0u);
}

}  // namespace
