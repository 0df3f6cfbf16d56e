#include "rux_dp/oracle/records.hpp"

#include <limits>
#include <utility>

#include "rux_dp/base/build_commit.hpp"
#include "rux_dp/base/version.hpp"

namespace rux_dp {

Producer Producer::rux_align(std::string backend) {
    return Producer{.name = std::string(tool_name),
                    .version = std::string(tool_version),
                    .commit = std::string(build_commit),
                    .backend = std::move(backend)};
}

std::uint64_t work_cells(std::uint64_t query_length, std::uint64_t target_length) {
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t rows = query_length == max ? max : query_length + 1;
    const std::uint64_t cols = target_length == max ? max : target_length + 1;
    if (rows != 0 && cols > max / rows) return max;
    return rows * cols;
}

}  // namespace rux_dp
