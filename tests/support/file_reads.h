// Reads at an offset from an open file, checked the one way for both
// systems' file tests.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "platform/env.h"

namespace carob::testing {

struct ReadAtCase {
  int64_t offset;
  size_t n;
  const char* bytes;  // what the read hands out
};

// Reads each case from `f` in turn (past the end a read gives what is there,
// maybe nothing, and that is no failure), then checks that a negative offset
// is refused with EINVAL.
inline void ExpectReadsAt(platform::File& f, std::initializer_list<ReadAtCase> reads) {
  std::string bytes;
  for (const ReadAtCase& r : reads) {
    ASSERT_TRUE(f.ReadAt(r.offset, r.n, bytes)) << "at " << r.offset;
    EXPECT_EQ(bytes, r.bytes) << "at " << r.offset;
  }
  EXPECT_EQ(f.ReadAt(-1, 1, bytes).error(), EINVAL);
}

}  // namespace carob::testing
