#pragma once

// Helpers shared by the PAF and SAM converters.

#include "rux_dp/alignment/cigar.hpp"

#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

namespace rux_dp::detail {

/// A whole-text decimal of type T (an unsigned or signed integer) with at most one leading "+";
/// "-" is accepted only by signed types. Empty, blank or out-of-range text gives nothing.
template <class T>
std::optional<T> parse_decimal(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        // from_chars would take the "-" of "+-1" as a sign of its own.
        if (!text.empty() && text.front() == '-')
            return std::nullopt;
    }
    if (text.empty())
        return std::nullopt;
    T value{};
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || ptr != text.data() + text.size())
        return std::nullopt;
    return value;
}

inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b
               ? std::numeric_limits<std::uint64_t>::max()
               : a + b;
}

/// Totals of a canonical CIGAR, saturating: an external CIGAR may hold an "I" and a "D" run
/// that each nearly fill 64 bits.
struct CigarTotals {
    std::uint64_t matches = 0;  // "=" bases
    std::uint64_t columns = 0;  // all runs
    std::uint64_t edits = 0;    // "X", "I" and "D" bases
    std::uint64_t query = 0;    // "=", "X" and "I"
    std::uint64_t target = 0;   // "=", "X" and "D"
};

inline CigarTotals cigar_totals(const Cigar& cigar) {
    CigarTotals totals;
    for (const CigarRun& run : cigar.runs()) {
        totals.columns = saturating_add(totals.columns, run.length);
        if (run.op == CigarOp::match) {
            totals.matches = saturating_add(totals.matches, run.length);
        } else {
            totals.edits = saturating_add(totals.edits, run.length);
        }
        if (run.op != CigarOp::deletion)
            totals.query = saturating_add(totals.query, run.length);
        if (run.op != CigarOp::insertion)
            totals.target = saturating_add(totals.target, run.length);
    }
    return totals;
}

/// The lines of `text` split at "\n", each without a "\r" that stood just before its "\n". A
/// final "\n" adds no empty line.
inline std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos) {
            lines.push_back(text);
            break;
        }
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        text.remove_prefix(end + 1);
    }
    return lines;
}

inline std::vector<std::string_view> split_tabs(std::string_view line) {
    std::vector<std::string_view> fields;
    while (true) {
        const std::size_t end = line.find('\t');
        fields.push_back(line.substr(0, end));
        if (end == std::string_view::npos)
            break;
        line.remove_prefix(end + 1);
    }
    return fields;
}

}  // namespace rux_dp::detail
