#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "rux_dp/base/result.hpp"

namespace rux_dp {

/// A canonical CIGAR operation; same order as `AlignmentOpKind`.
enum class CigarOp : std::uint8_t { match, mismatch, insertion, deletion };

/// The CIGAR character of `op`: "=", "X", "I" or "D".
char cigar_char(CigarOp op);

struct CigarRun {
    std::uint64_t length = 0;
    CigarOp op = CigarOp::match;
    bool operator==(const CigarRun&) const = default;
};

/// A canonical CIGAR over "=", "X", "I", "D": no zero-length run, no two adjacent runs with the
/// same operation.
class Cigar {
public:
    Cigar() = default;

    /// Validates (every run first: no zero length) and merges adjacent runs of one operation.
    [[nodiscard]] static Result<Cigar> make(std::vector<CigarRun> runs);
    /// Parses canonical CIGAR text; "" and "*" give the empty CIGAR.
    [[nodiscard]] static Result<Cigar> parse(std::string_view text);

    const std::vector<CigarRun>& runs() const { return runs_; }
    bool empty() const { return runs_.empty(); }
    /// Run lengths followed by their characters; the empty CIGAR gives "".
    std::string text() const;

    bool operator==(const Cigar&) const = default;

private:
    std::vector<CigarRun> runs_;
};

/// Appends one run to CIGAR text: decimal length without sign or leading zeros, then the character.
void push_cigar_run(std::string& text, std::uint64_t length, CigarOp op);

}  // namespace rux_dp
