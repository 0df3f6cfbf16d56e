#pragma once

#include <cstdint>

#include "rux_dp/base/result.hpp"

namespace rux_dp {

/// How a batch runs: worker count, window bounds (items and query+target bases), fail-fast.
struct BatchOptions {
    std::uint64_t threads = 1;
    std::uint64_t max_in_flight = 2;
    std::uint64_t max_in_flight_bases = 64'000'000;
    bool fail_fast = false;

    /// threads = min(processors available to this process, 8), or 1 when unknown;
    /// max_in_flight = max(2 x threads, 1).
    static BatchOptions defaults();
    /// Checks threads, max_in_flight, max_in_flight_bases in that order.
    [[nodiscard]] Result<void> validate() const;

    bool operator==(const BatchOptions&) const = default;
};

/// Processors this process may run on (its CPU affinity mask), or 0 when unknown.
std::uint64_t available_processors();

}  // namespace rux_dp
