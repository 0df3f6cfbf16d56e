#include "rux_dp/batch/batch_options.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace rux_dp {
namespace {

TEST(BatchOptions, DefaultsFollowTheProcessorsAvailable) {
    const std::uint64_t processors = available_processors();
    EXPECT_GE(processors, 1U);  // Linux always reports the affinity mask
    const BatchOptions options = BatchOptions::defaults();
    EXPECT_EQ(options.threads, std::min<std::uint64_t>(processors, 8));
    EXPECT_EQ(options.max_in_flight, 2 * options.threads);
    EXPECT_EQ(options.max_in_flight_bases, 64'000'000U);
    EXPECT_FALSE(options.fail_fast);
    EXPECT_TRUE(options.validate());
}

}  // namespace
}  // namespace rux_dp
