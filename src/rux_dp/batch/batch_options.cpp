#include "rux_dp/batch/batch_options.hpp"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <limits>

namespace rux_dp {

std::uint64_t available_processors() {
    // A fixed cpu_set_t covers 1,024 processors and sched_getaffinity rejects it with EINVAL on
    // larger machines, so grow the set until the kernel accepts it.
    for (int processors = CPU_SETSIZE; processors <= (1 << 20); processors *= 2) {
        cpu_set_t* set = CPU_ALLOC(processors);
        if (set == nullptr)
            return 0;
        const std::size_t size = CPU_ALLOC_SIZE(processors);
        CPU_ZERO_S(size, set);
        const int rc = sched_getaffinity(0, size, set);
        const int error = errno;
        const int count = rc == 0 ? CPU_COUNT_S(size, set) : 0;
        CPU_FREE(set);
        if (rc == 0)
            return count > 0 ? static_cast<std::uint64_t>(count) : 0;
        if (error != EINVAL)
            return 0;
    }
    return 0;
}

BatchOptions BatchOptions::defaults() {
    const std::uint64_t processors = available_processors();
    BatchOptions options;
    options.threads = processors == 0 ? 1 : std::min<std::uint64_t>(processors, 8);
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    options.max_in_flight =
        std::max<std::uint64_t>(options.threads > max / 2 ? max : 2 * options.threads, 1);
    options.max_in_flight_bases = 64'000'000;
    options.fail_fast = false;
    return options;
}

Result<void> BatchOptions::validate() const {
    if (threads == 0)
        return std::unexpected("--threads must be greater than zero");
    if (max_in_flight == 0)
        return std::unexpected("--max-in-flight must be greater than zero");
    if (max_in_flight_bases == 0)
        return std::unexpected("--max-in-flight-bases must be greater than zero");
    return {};
}

}  // namespace rux_dp
