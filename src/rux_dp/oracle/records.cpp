#include "rux_dp/oracle/records.hpp"

#include "rux_dp/base/build_commit.hpp"
#include "rux_dp/base/invariant.hpp"
#include "rux_dp/base/version.hpp"

#include <cstddef>
#include <limits>
#include <utility>

namespace rux_dp {

namespace {

template <class Enum, std::size_t N>
std::string_view name_of(const std::array<std::string_view, N>& names, Enum value) {
    const auto index = static_cast<std::size_t>(value);
    invariant(index < N, "enumerated value out of range");
    return names[index];
}

template <class Enum, std::size_t N>
std::optional<Enum> from_name(const std::array<std::string_view, N>& names, std::string_view name) {
    for (std::size_t k = 0; k < N; ++k) {
        if (names[k] == name)
            return static_cast<Enum>(k);
    }
    return std::nullopt;
}

constexpr std::array<std::string_view, 2> objective_kind_message_names{"Score", "Distance"};
constexpr std::array<std::string_view, 2> scope_message_names{"Alignment", "Score"};

}  // namespace

std::string_view mode_name(AlignmentMode mode) {
    return name_of(mode_names, mode);
}
std::string_view objective_kind_name(ObjectiveKind kind) {
    return name_of(objective_kind_names, kind);
}
std::string_view objective_kind_message_name(ObjectiveKind kind) {
    return name_of(objective_kind_message_names, kind);
}
std::string_view level_name(VerificationLevel level) {
    return name_of(level_names, level);
}
std::string_view status_name(VerificationStatus status) {
    return name_of(status_names, status);
}
std::string_view scope_message_name(SolveScope scope) {
    return name_of(scope_message_names, scope);
}

std::optional<AlignmentMode> mode_from_name(std::string_view name) {
    return from_name<AlignmentMode>(mode_names, name);
}
std::optional<ObjectiveKind> objective_kind_from_name(std::string_view name) {
    return from_name<ObjectiveKind>(objective_kind_names, name);
}
std::optional<VerificationLevel> level_from_name(std::string_view name) {
    return from_name<VerificationLevel>(level_names, name);
}
std::optional<VerificationStatus> status_from_name(std::string_view name) {
    return from_name<VerificationStatus>(status_names, name);
}

std::string span_text(const AlignmentSpan& span) {
    return "AlignmentSpan { start: " + std::to_string(span.start)
           + ", end: " + std::to_string(span.end) + " }";
}

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
    if (rows != 0 && cols > max / rows)
        return max;
    return rows * cols;
}

}  // namespace rux_dp
