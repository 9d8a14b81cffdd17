// The payload copy: either large copy moves every byte, at any alignment,
// and writes nothing beyond the copy.
#include "core/payload_copy.h"

#include <gtest/gtest.h>
#include <stdint.h>

#include <vector>

namespace {

TEST(PayloadCopyTest, EitherCopyMovesEveryByteAtAnyAlignment) {
  const size_t kGuard = 64;
  LargeCopy chosen = ChosenLargeCopy();
  for (LargeCopy copy : {LargeCopy::kMemcpy, LargeCopy::kStringMove}) {
    UseLargeCopy(copy);
    for (size_t size : {kLargeCopyFrom - 1, kLargeCopyFrom + 13, (size_t{1} << 20) + 7}) {
      for (size_t offset : {0, 3}) {
        std::vector<uint8_t> from(size + offset);
        for (size_t i = 0; i < from.size(); i++) from[i] = static_cast<uint8_t>(i * 31 + 7);
        std::vector<uint8_t> to(size + 2 * kGuard, 0xEE);
        CopyPayload(to.data() + kGuard + offset / 2, from.data() + offset, size);
        SCOPED_TRACE(std::string(LargeCopyName(copy)) + ", " + std::to_string(size) +
                     " bytes, offset " + std::to_string(offset));
        EXPECT_EQ(0, memcmp(to.data() + kGuard + offset / 2, from.data() + offset, size));
        for (size_t i = 0; i < kGuard + offset / 2; i++) ASSERT_EQ(to[i], 0xEE);
        for (size_t i = kGuard + offset / 2 + size; i < to.size(); i++) ASSERT_EQ(to[i], 0xEE);
      }
    }
  }
  UseLargeCopy(chosen);
}

}  // namespace
