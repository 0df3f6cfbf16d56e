#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "rux_dp/alignment/cigar.hpp"

namespace rux_dp {

/// One alignment operation; the order is the order of `CigarOp`.
enum class AlignmentOpKind : std::uint8_t { match, mismatch, insertion, deletion };

/// The JSON name of an operation: "match", "mismatch", "insertion", "deletion".
std::string_view op_kind_name(AlignmentOpKind kind);

/// One move of a path. Bases are Unicode code points: a byte below 0x80 is itself, any other byte
/// becomes U+FFFD.
struct AlignmentStep {
    AlignmentOpKind op = AlignmentOpKind::match;
    std::optional<std::uint64_t> query_pos;    // absent for a deletion
    std::optional<std::uint64_t> target_pos;   // absent for an insertion
    std::optional<char32_t> query_base;        // absent for a deletion
    std::optional<char32_t> target_base;       // absent for an insertion
    bool operator==(const AlignmentStep&) const = default;
};

/// A DP cell: i query symbols and j target symbols consumed.
using PathCell = std::pair<std::uint64_t, std::uint64_t>;

/// Half-open span (start, end) of 0-based positions.
using SpanPair = std::pair<std::uint64_t, std::uint64_t>;

/// The alignment a path realises: extended CIGAR text, steps, and the spans of its end cells.
struct AlignmentTrace {
    std::string cigar;
    std::vector<AlignmentStep> operations;
    SpanPair query_span{0, 0};
    SpanPair target_span{0, 0};

    /// Builds the trace of `cells` (in path order); a malformed path is an invariant violation.
    /// Without `with_operations` the step list stays empty (the CIGAR and spans are the same).
    static AlignmentTrace from_cells(std::string_view query, std::string_view target,
                                     std::span<const PathCell> cells, bool with_operations = true);

    bool operator==(const AlignmentTrace&) const = default;
};

/// The code point a step holds for a symbol byte.
inline char32_t step_base(char byte) {
    const auto b = static_cast<unsigned char>(byte);
    return b < 0x80 ? static_cast<char32_t>(b) : char32_t{0xFFFD};
}

}  // namespace rux_dp
