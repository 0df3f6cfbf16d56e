#pragma once

#include "rux_dp/alignment/trace.hpp"
#include "rux_dp/scoring/substitution.hpp"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace rux_dp::detail {

/// 32-bit addition with wrap-around: the linear kernels' plain arithmetic, without the undefined
/// behaviour of signed overflow.
inline std::int32_t wrap_add(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

/// Whether two substitution models score every pair alike (shared matrices compare by address
/// first).
bool same_scoring(const SubstitutionScoring& a, const SubstitutionScoring& b);

/// Substitution scores of one query symbol against a fixed target part, a row at a time: the
/// target's matrix columns are looked up once, so a row costs one table read per cell.
class SubstitutionRows {
public:
    SubstitutionRows(const SubstitutionScoring& scoring, std::string_view target);

    /// out[j] = s(query_symbol, target[j]) for every j of the target part.
    template <class T>
    void fill(char query_symbol, T* out) const {
        fill(query_symbol, out, 0, target_.size());
    }
    /// out[k] = s(query_symbol, target[begin + k]) for begin + k < end. T is std::int32_t, or
    /// std::int16_t for the 16-bit kernels, which only run when every score fits.
    template <class T>
    void fill(char query_symbol, T* out, std::size_t begin, std::size_t end) const;

private:
    const SubstitutionScoring* scoring_;
    std::string_view target_;
    std::vector<int> columns_;  // matrix column per target symbol
    bool all_members_ = true;   // every target symbol is in the matrix
};

/// Edges of a rectangle that a path may not run along from its first cell. The local and
/// semiglobal forward passes take no gap step along the table's row 0 (nor, local, column 0): a
/// path starts anywhere there instead. With gap values <= 0 such steps never gain and the edges
/// stay open, as they always were; with a positive gap the rectangle must close them to keep the
/// forward pass's optimum.
struct ClosedEdges {
    bool first_row = false;
    bool first_column = false;
};

/// An optimal global linear path from (r0, c0) to (r1, c1) of the full table of
/// query[r0..r1) x target[c0..c1), in absolute cells from start to end. Ties prefer diagonal, then
/// vertical, then horizontal; `no_horizontal` is the violation when a horizontal step is needed in
/// column 0.
std::vector<PathCell> linear_rectangle_path(const SubstitutionScoring& scoring,
                                            std::string_view query, std::string_view target,
                                            std::int32_t gap, PathCell start, PathCell end,
                                            const char* no_horizontal, ClosedEdges closed = {});

/// The column on row `mid` through which the first optimal global linear path from (a, c0) to
/// (c, c1) crosses: the first k (increasing) that strictly maximises F(k) + B(w - k).
std::uint64_t linear_split_column(const SubstitutionScoring& scoring, std::string_view query,
                                  std::string_view target, std::int32_t gap, std::uint64_t a,
                                  std::uint64_t mid, std::uint64_t c, std::uint64_t c0,
                                  std::uint64_t c1, ClosedEdges closed = {});

/// Tables of at most this many cells may be kept whole by `linear_whole_table_run`: as values
/// (4 bytes a cell), or as predecessor bits (3 bits a cell, 1.5 MiB at most).
inline constexpr std::uint64_t kWholeTableCells = std::uint64_t{1} << 18;
inline constexpr std::uint64_t kWholeTableBitCells = std::uint64_t{1} << 22;

/// The score and path of the block-by-block reconstruction of a global linear problem with
/// `block_size` rows per block (split at every block boundary, single blocks traced by
/// `linear_rectangle_path`), found from one whole table instead of the split searches.
struct WholeTableRun {
    std::int32_t score = 0;
    std::vector<PathCell> path;
};

/// `WholeTableRun` of query x target. Every split takes the first optimal column of its row, so
/// all of them lie on the leftmost optimal path, traced back from (m, n) preferring horizontal,
/// then diagonal, then vertical predecessors: each split is that path's first cell on the
/// boundary row. A block's path is traced within its rectangle, whose table agrees with the whole
/// one on the cells its start reaches by steps that keep the optimum. Nothing when m is 0 or the
/// table would pass its limit; `no_horizontal` is the violation of the block tracebacks.
std::optional<WholeTableRun> linear_whole_table_run(const SubstitutionScoring& scoring,
                                                    std::string_view query,
                                                    std::string_view target, std::int32_t gap,
                                                    std::uint64_t block_size,
                                                    const char* no_horizontal);

}  // namespace rux_dp::detail
