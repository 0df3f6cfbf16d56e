#pragma once

// Row passes of the linear-gap recurrence, shared by the global, semiglobal and local problems:
// a plain reference and AVX2 / AVX-512BW kernels in 16-bit and 32-bit lanes, chosen once per pass.

#include "rux_dp/problems/simd_dispatch.hpp"
#include "rux_dp/scoring/substitution.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace rux_dp::detail {

/// One row of the global linear recurrence, as written: next = row i from prev = row i - 1, with
/// srow[j] = s(query[i - 1], target[j]) and wrapping 32-bit additions. next[0] = prev[0] + gap.
void advance_nw_row_reference(const std::int32_t* prev, std::int32_t* next,
                              const std::int32_t* srow, std::size_t n, std::int32_t gap);

/// What a pass knows of the row it starts from; row 0 of a global table allows a tighter bound.
enum class LinearStart : std::uint8_t {
    any_row,        // some row of a table
    global_origin,  // 0, gap, 2 gap, ...: row 0 of a global table
};

/// The kernel a pass ran on.
struct LinearKernel {
    simd::Isa isa = simd::Isa::scalar;
    simd::Lanes lanes = simd::Lanes::scalar;
    bool operator==(const LinearKernel&) const = default;
};

/// Advances `row` (n + 1 values, n = target length) over the symbols of `query`, one table row
/// per symbol, and leaves the last row in `row`. When `table` is not null, the row after each
/// symbol is also stored there, n + 1 values per row, one row after another. The values are
/// exactly those of `advance_nw_row_reference`: a vector kernel runs only when a bound computed
/// before the pass shows that no value of it can leave its lanes. The lane width is the narrowest
/// the bound allows but never narrower than `narrowest` (tests and benchmarks force wider ones).
LinearKernel advance_linear_rows(std::span<std::int32_t> row, std::string_view query,
                                 std::string_view target, const SubstitutionScoring& scoring,
                                 std::int32_t gap, LinearStart start, std::int32_t* table = nullptr,
                                 simd::Lanes narrowest = simd::Lanes::bits16);

/// The best cell of the local linear table (Smith-Waterman: row 0 and column 0 are 0,
/// H = max(0, diagonal, vertical, horizontal)), never below 0. `kernel`, when given, receives the
/// kernel that ran. The plain computation is `local_linear_best_reference`.
std::int32_t local_linear_best(std::string_view query, std::string_view target,
                               const SubstitutionScoring& scoring, std::int32_t gap,
                               simd::Lanes narrowest = simd::Lanes::bits16,
                               LinearKernel* kernel = nullptr);

/// 32-bit words per row and per kind in `linear_tight_bits`: one bit per column 1..n.
inline std::size_t tight_words(std::size_t n) { return (n + 31) / 32; }

/// A row of a local pass whose best cell beat every cell before it (row-major order): the row
/// within the pass, the first column holding that value, and the value.
struct LocalBestEvent {
    std::size_t row = 0;
    std::size_t col = 0;
    std::int32_t score = 0;
};

/// The best value so far of a local pass, and the rows that raised it.
struct LocalBestTrack {
    std::int32_t best = 0;
    std::vector<LocalBestEvent> events;
};

/// `advance_linear_rows` on the AVX-512 kernels only, keeping instead of the rows which
/// predecessors reach each cell: row k of the pass (query symbol k) takes 3 `tight_words(n)` words
/// at k * 3 * words, first D, then V, then H; bit (j - 1) % 32 of word (j - 1) / 32 tells for
/// column j whether the value equals the diagonal (above left plus s), the vertical (above plus
/// gap) and the horizontal (left plus gap) candidate. False, with nothing changed, when no
/// AVX-512 kernel can run the pass exactly (the bound, or the machine).
bool advance_linear_rows_tight(std::span<std::int32_t> row, std::string_view query,
                               std::string_view target, const SubstitutionScoring& scoring,
                               std::int32_t gap, LinearStart start,
                               std::vector<std::uint32_t>& bits);

/// `advance_linear_rows_tight` for the local recurrence (row 0 and column 0 at 0, values never
/// below 0) from any row: the first words of a row tell where the value is positive instead of D,
/// and every row whose best cell beats `track.best` is appended to `track.events` (raising it).
bool advance_local_rows_tight(std::span<std::int32_t> row, std::string_view query,
                              std::string_view target, const SubstitutionScoring& scoring,
                              std::int32_t gap, LocalBestTrack& track,
                              std::vector<std::uint32_t>& bits);

/// The predecessor bits of the whole global linear table of `query` x `target` from row 0 (row i
/// at (i - 1) * 3 * words) and D(m, n); nothing when `advance_linear_rows_tight` cannot run.
std::optional<std::int32_t> linear_tight_bits(std::string_view query, std::string_view target,
                                              const SubstitutionScoring& scoring, std::int32_t gap,
                                              std::vector<std::uint32_t>& bits);

/// Origins (32-bit values) carried through one row of the global recurrence from its bits:
/// out[j] = out[j - 1] where the horizontal candidate reaches the value, else above[j] where the
/// vertical one does, else above[j - 1]; out[0] = above[0]. False when the machine lacks
/// AVX-512BW.
bool carry_linear_origins(const std::uint32_t* row_bits, std::size_t n, const std::uint32_t* above,
                          std::uint32_t* out);

/// Origins of the local recurrence (cell numbers row * (n + 1) + column) through one row from the
/// bits of `advance_local_rows_tight`: a cell whose value is not positive is its own origin
/// (`row_base` + column, column 0 included); else the horizontal predecessor's where it reaches the
/// value, then the vertical one's, then the diagonal one's. False when the machine lacks
/// AVX-512BW.
bool carry_local_origins(const std::uint32_t* row_bits, std::size_t n, const std::uint64_t* above,
                         std::uint64_t* out, std::uint64_t row_base);

/// `carry_local_origins` with 32-bit cell numbers, for tables of at most 2^32 cells.
bool carry_local_origins(const std::uint32_t* row_bits, std::size_t n, const std::uint32_t* above,
                         std::uint32_t* out, std::uint32_t row_base);

/// `local_linear_best` with two rolling rows and wrapping 32-bit additions.
std::int32_t local_linear_best_reference(std::string_view query, std::string_view target,
                                         const SubstitutionScoring& scoring, std::int32_t gap);

}  // namespace rux_dp::detail
