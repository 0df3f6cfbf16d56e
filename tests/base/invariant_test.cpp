#include "rux_dp/base/invariant.hpp"

#include <gtest/gtest.h>

namespace rux_dp {
namespace {

TEST(Invariant, ThrowsWithTheFixedText) {
    EXPECT_NO_THROW(invariant(true, "unused"));
    try {
        invariant(false, "block_size must be positive");
        FAIL() << "no exception";
    } catch (const InvariantViolation& e) {
        EXPECT_STREQ(e.what(), "block_size must be positive");
    }
}

}  // namespace
}  // namespace rux_dp
