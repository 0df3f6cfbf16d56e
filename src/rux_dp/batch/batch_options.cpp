#include "rux_dp/batch/batch_options.hpp"

#include <sched.h>

#include <algorithm>
#include <limits>

namespace rux_dp {

std::uint64_t available_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) != 0) return 0;
    const int count = CPU_COUNT(&set);
    return count > 0 ? static_cast<std::uint64_t>(count) : 0;
}

BatchOptions BatchOptions::defaults() {
    const std::uint64_t processors = available_processors();
    BatchOptions options;
    options.threads = processors == 0 ? 1 : std::min<std::uint64_t>(processors, 8);
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    options.max_in_flight = std::max<std::uint64_t>(
        options.threads > max / 2 ? max : 2 * options.threads, 1);
    options.max_in_flight_bases = 64'000'000;
    options.fail_fast = false;
    return options;
}

Result<void> BatchOptions::validate() const {
    if (threads == 0) return std::unexpected("--threads must be greater than zero");
    if (max_in_flight == 0) return std::unexpected("--max-in-flight must be greater than zero");
    if (max_in_flight_bases == 0)
        return std::unexpected("--max-in-flight-bases must be greater than zero");
    return {};
}

}  // namespace rux_dp
