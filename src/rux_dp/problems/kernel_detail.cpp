#include "rux_dp/problems/kernel_detail.hpp"

#include "rux_dp/base/invariant.hpp"
#include "rux_dp/problems/linear_rows_detail.hpp"
#include "rux_dp/problems/simd_dispatch.hpp"

#include <algorithm>
#include <limits>
#include <span>
#include <string>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
// GCC 12's AVX-512 intrinsics start from _mm512_undefined_epi32(), which its own uninitialised
// checks flag once inlined (https://gcc.gnu.org/bugzilla/show_bug.cgi?id=105593, fixed in 13).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#define RUX_KERNEL_X86 1
#endif

namespace rux_dp::detail {

bool same_scoring(const SubstitutionScoring& a, const SubstitutionScoring& b) {
    if (a.is_matrix() != b.is_matrix())
        return false;
    if (a.is_matrix())
        return a.matrix_ptr() == b.matrix_ptr() || *a.matrix_ptr() == *b.matrix_ptr();
    const auto& x = a.match_mismatch_values();
    const auto& y = b.match_mismatch_values();
    return x.match_score == y.match_score && x.mismatch_penalty == y.mismatch_penalty;
}

SubstitutionRows::SubstitutionRows(const SubstitutionScoring& scoring, std::string_view target)
    : scoring_(&scoring), target_(target) {
    if (const SubstitutionMatrix* matrix = scoring.matrix_ptr()) {
        columns_.resize(target.size());
        for (std::size_t j = 0; j < target.size(); ++j) {
            columns_[j] = matrix->index_of(static_cast<std::uint8_t>(target[j]));
            if (columns_[j] < 0)
                all_members_ = false;
        }
    }
}

namespace {

#ifdef RUX_KERNEL_X86
// Match and mismatch rows with AVX-512BW: one byte compare gives the lanes of a blend.
__attribute__((target("avx512bw,avx512vl"))) void fill_match_avx512(
    char symbol, const char* target, std::size_t n, std::int16_t match, std::int16_t mismatch,
    std::int16_t* out) {
    const __m256i query = _mm256_set1_epi8(symbol);
    const __m512i hit = _mm512_set1_epi16(match);
    const __m512i miss = _mm512_set1_epi16(mismatch);
    for (std::size_t j = 0; j < n; j += 32) {
        const auto live = static_cast<__mmask32>(
            n - j >= 32 ? ~std::uint32_t{0} : (std::uint32_t{1} << (n - j)) - 1u);
        const __mmask32 equal = _mm256_mask_cmpeq_epi8_mask(
            live, _mm256_maskz_loadu_epi8(live, target + j), query);
        _mm512_mask_storeu_epi16(out + j, live, _mm512_mask_blend_epi16(equal, miss, hit));
    }
}

__attribute__((target("avx512bw,avx512vl"))) void fill_match_avx512(
    char symbol, const char* target, std::size_t n, std::int32_t match, std::int32_t mismatch,
    std::int32_t* out) {
    const __m128i query = _mm_set1_epi8(symbol);
    const __m512i hit = _mm512_set1_epi32(match);
    const __m512i miss = _mm512_set1_epi32(mismatch);
    for (std::size_t j = 0; j < n; j += 16) {
        const auto live = static_cast<__mmask16>(
            n - j >= 16 ? 0xFFFFu : (1u << (n - j)) - 1u);
        const __mmask16 equal =
            _mm_mask_cmpeq_epi8_mask(live, _mm_maskz_loadu_epi8(live, target + j), query);
        _mm512_mask_storeu_epi32(out + j, live, _mm512_mask_blend_epi32(equal, miss, hit));
    }
}
#pragma GCC diagnostic pop
#endif

}  // namespace

template <class T>
void SubstitutionRows::fill(char query_symbol, T* out, std::size_t begin, std::size_t end) const {
    const std::size_t n = end - begin;
    const char* target = target_.data() + begin;
    const SubstitutionMatrix* matrix = scoring_->matrix_ptr();
    if (matrix == nullptr) {
        const auto& mm = scoring_->match_mismatch_values();
        const auto match = static_cast<T>(mm.match_score);
        // The negated penalty, as the model scores it (wrapping for the one unrepresentable value).
        const auto mismatch = static_cast<T>(
            static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(mm.mismatch_penalty)));
#ifdef RUX_KERNEL_X86
        if (n >= 16 && simd::active_isa() == simd::Isa::avx512bw) {
            fill_match_avx512(query_symbol, target, n, match, mismatch, out);
            return;
        }
#endif
        T* __restrict dst = out;
        const char* __restrict src = target;
        for (std::size_t j = 0; j < n; ++j)
            dst[j] = src[j] == query_symbol ? match : mismatch;
        return;
    }
    const int row = matrix->index_of(static_cast<std::uint8_t>(query_symbol));
    if (row < 0 || !all_members_) {
        // A symbol outside the matrix: the model itself raises the violation for the first pair.
        for (std::size_t j = 0; j < n; ++j)
            out[j] = static_cast<T>(scoring_->score(query_symbol, target[j]));
        return;
    }
    const std::int32_t* scores =
        matrix->scores.data() + static_cast<std::size_t>(row) * matrix->size();
    const int* columns = columns_.data() + begin;
    for (std::size_t j = 0; j < n; ++j)
        out[j] = static_cast<T>(scores[columns[j]]);
}

template void SubstitutionRows::fill(char, std::int16_t*, std::size_t, std::size_t) const;
template void SubstitutionRows::fill(char, std::int32_t*, std::size_t, std::size_t) const;

namespace {

// Buffers of the leaf tables and split searches, kept per thread between calls so that the many
// small ones of a short pair do not allocate; a larger one has its own for the call.
constexpr std::size_t kKeptElements = std::size_t{1} << 14;

struct LinearBuffers {
    std::vector<std::int32_t> table, forward, backward;
    std::string query, target;
};

LinearBuffers& kept_buffers() {
    thread_local LinearBuffers buffers;
    return buffers;
}

// `kept` when `size` elements stay within kKeptElements, else `own`.
template <class Buffer>
Buffer& call_storage(Buffer& kept, Buffer& own, std::size_t size) {
    return size <= kKeptElements ? kept : own;
}

// Row 0 of a global linear table: 0, gap, 2 gap, ...
void origin_row(std::vector<std::int32_t>& row, std::size_t n, std::int32_t gap) {
    row.resize(n + 1);
    row[0] = 0;
    for (std::size_t j = 1; j <= n; ++j)
        row[j] = wrap_add(row[j - 1], gap);
}

// A cell no path reaches. Scores stay within 2^28 in magnitude, so sums with it neither wrap nor
// come near a real value.
constexpr std::int32_t kClosed = -(std::int32_t{1} << 30);

// The first row of a rectangle's table from its first cell, and the rows below it over `query`
// (into `table` too, row by row, when given), with the closed edges impossible.
void rectangle_rows(std::vector<std::int32_t>& row, std::string_view query,
                    std::string_view target, const SubstitutionScoring& scoring, std::int32_t gap,
                    ClosedEdges closed, std::int32_t* first_row_out, std::int32_t* table) {
    const std::size_t n = target.size();
    origin_row(row, n, gap);
    if (closed.first_row)
        std::fill(row.begin() + 1, row.end(), kClosed);
    if (first_row_out != nullptr)
        std::copy(row.begin(), row.end(), first_row_out);
    if (!closed.first_column) {
        advance_linear_rows(row, query, target, scoring, gap, LinearStart::global_origin, table);
        return;
    }
    // Rare (positive gap values only): plain rows, column 0 closed below the first cell.
    std::vector<std::int32_t> next(n + 1);
    for (std::size_t i = 0; i < query.size(); ++i) {
        next[0] = kClosed;
        for (std::size_t j = 1; j <= n; ++j)
            next[j] = std::max({wrap_add(row[j - 1], scoring.score(query[i], target[j - 1])),
                                wrap_add(row[j], gap), wrap_add(next[j - 1], gap)});
        row.swap(next);
        if (table != nullptr)
            std::copy(row.begin(), row.end(), table + i * (n + 1));
    }
}

}  // namespace

std::vector<PathCell> linear_rectangle_path(const SubstitutionScoring& scoring,
                                            std::string_view query, std::string_view target,
                                            std::int32_t gap, PathCell start, PathCell end,
                                            const char* no_horizontal, ClosedEdges closed) {
    const std::size_t h = end.first - start.first;
    const std::size_t w = end.second - start.second;
    const std::string_view q = query.substr(start.first, h);
    const std::string_view t = target.substr(start.second, w);
    const std::size_t width = w + 1;

    LinearBuffers& kept = kept_buffers();
    std::vector<std::int32_t> table_own;
    std::vector<std::int32_t> row_own;
    std::vector<std::int32_t>& table_storage = call_storage(kept.table, table_own, (h + 1) * width);
    std::vector<std::int32_t>& row = call_storage(kept.forward, row_own, width);
    if (table_storage.size() < (h + 1) * width)
        table_storage.resize((h + 1) * width);
    std::int32_t* table = table_storage.data();
    rectangle_rows(row, q, t, scoring, gap, closed, table, table + width);

    std::vector<PathCell> path;
    path.reserve(h + w + 1);
    std::size_t i = h;
    std::size_t j = w;
    path.emplace_back(start.first + i, start.second + j);
    while (i > 0 || j > 0) {
        const std::int32_t value = table[i * width + j];
        if (i > 0 && j > 0
            && value
                   == wrap_add(table[(i - 1) * width + j - 1], scoring.score(q[i - 1], t[j - 1]))) {
            --i;
            --j;
        } else if (i > 0 && value == wrap_add(table[(i - 1) * width + j], gap)) {
            --i;
        } else {
            invariant(j > 0, no_horizontal);
            --j;
        }
        path.emplace_back(start.first + i, start.second + j);
    }
    std::reverse(path.begin(), path.end());
    return path;
}

std::uint64_t linear_split_column(const SubstitutionScoring& scoring, std::string_view query,
                                  std::string_view target, std::int32_t gap, std::uint64_t a,
                                  std::uint64_t mid, std::uint64_t c, std::uint64_t c0,
                                  std::uint64_t c1, ClosedEdges closed) {
    const std::uint64_t w = c1 - c0;
    const std::string_view t = target.substr(c0, w);
    const std::string_view rest = query.substr(mid, c - mid);
    LinearBuffers& kept = kept_buffers();
    LinearBuffers own;
    LinearBuffers& buffers = call_storage(kept, own, std::max<std::size_t>(w + 1, rest.size()));
    std::vector<std::int32_t>& forward = buffers.forward;
    std::vector<std::int32_t>& backward = buffers.backward;
    // The backward rows need no closed edges: a path through them meets a closed forward cell.
    rectangle_rows(forward, query.substr(a, mid - a), t, scoring, gap, closed, nullptr, nullptr);
    buffers.query.assign(rest.rbegin(), rest.rend());
    buffers.target.assign(t.rbegin(), t.rend());
    origin_row(backward, w, gap);
    advance_linear_rows(backward, buffers.query, buffers.target, scoring, gap,
                        LinearStart::global_origin);

    std::int32_t best = std::numeric_limits<std::int32_t>::min();
    std::uint64_t best_k = 0;
    for (std::uint64_t k = 0; k <= w; ++k) {
        const std::int32_t total = wrap_add(forward[k], backward[w - k]);
        // Strictly greater: the first optimal column wins.
        if (total > best) {
            best = total;
            best_k = k;
        }
    }
    return c0 + best_k;
}

namespace {

// Appends one block's path (from its first cell) to a run's path, which ends where it starts.
void append_block_path(std::vector<PathCell>& path, std::span<const PathCell> block) {
    if (path.empty()) {
        path.assign(block.begin(), block.end());
        return;
    }
    invariant(path.back() == block.front(),
              "reconstructed path segments must join at the split boundary");
    path.insert(path.end(), block.begin() + 1, block.end());
}

// The number of blocks of block_size rows over m rows.
std::uint64_t blocks_over(std::uint64_t m, std::uint64_t block_size) {
    return m / block_size + (m % block_size != 0 ? 1 : 0);
}

// The whole table's path from the columns of its splits (count + 1 of them): block by block.
void trace_blocks(const SubstitutionScoring& scoring, std::string_view query,
                  std::string_view target, std::int32_t gap, std::uint64_t block_size,
                  std::span<const std::uint64_t> columns, const char* no_horizontal,
                  const auto& trace_block, std::vector<PathCell>& path) {
    const std::uint64_t m = query.size();
    path.reserve(m + target.size() + 1);
    for (std::size_t k = 0; k + 1 < columns.size(); ++k) {
        const std::uint64_t start_row = k * block_size;
        const std::uint64_t end_row = m - start_row <= block_size ? m : start_row + block_size;
        const PathCell start{start_row, columns[k]};
        const PathCell end{end_row, columns[k + 1]};
        if (!trace_block(start, end, path))
            append_block_path(path, linear_rectangle_path(scoring, query, target, gap, start, end,
                                                          no_horizontal));
    }
}

// The split columns, traced back along the leftmost optimal path from (m, n): `left(i, j)` and
// `diagonal(i, j)` tell whether cell (i, j) keeps its value from that predecessor, and `up(i, j)`
// must hold where neither does.
template <class Left, class Diagonal, class Up>
std::vector<std::uint64_t> split_columns(std::size_t m, std::size_t n, std::uint64_t block_size,
                                         const Left& left, const Diagonal& diagonal,
                                         const Up& up) {
    const std::uint64_t count = blocks_over(m, block_size);
    std::vector<std::uint64_t> columns(count + 1, 0);
    columns[count] = n;
    std::size_t i = m;
    std::size_t j = n;
    // The next boundary row above, counted down rather than divided out on every row.
    std::uint64_t boundary = count - 1;
    std::uint64_t boundary_row = boundary * block_size;
    while (i > 0) {
        if (j > 0 && left(i, j)) {
            --j;
            continue;
        }
        // The path leaves row i here, so j is its first column on the row.
        if (i == boundary_row) {
            columns[boundary] = j;
            --boundary;
            boundary_row -= block_size;
        }
        if (j > 0 && diagonal(i, j)) {
            --j;
        } else {
            invariant(j == 0 || up(i, j), "NW table cell must have a predecessor");
        }
        --i;
    }
    return columns;
}

// The predecessor bits of `linear_tight_bits`, read by row, column and kind.
class TightBits {
public:
    enum Kind : std::size_t { diagonal = 0, vertical = 1, horizontal = 2 };

    TightBits(const std::uint32_t* bits, std::size_t n) : bits_(bits), words_(tight_words(n)) {}

    // Row i >= 1, column j >= 1.
    bool at(std::size_t i, std::size_t j, Kind kind) const {
        const std::size_t b = j - 1;
        return ((row(i, kind)[b / 32] >> (b % 32)) & 1u) != 0;
    }

    // Bit k for column first + k, k < count <= 64, first >= 1; the caller keeps within n.
    std::uint64_t window(std::size_t i, Kind kind, std::size_t first, std::size_t count) const {
        if (count == 0)
            return 0;
        const std::uint32_t* words = row(i, kind);
        const std::size_t b = first - 1;
        const std::size_t q = b / 32;
        const std::size_t r = b % 32;
        const std::uint64_t w0 = words[q];
        const std::uint64_t w1 = q + 1 < words_ ? words[q + 1] : 0;
        const std::uint64_t w2 = q + 2 < words_ ? words[q + 2] : 0;
        std::uint64_t value = (w0 | (w1 << 32)) >> r;
        if (r != 0)
            value |= w2 << (64 - r);
        return value & low_bits(count);
    }

    static std::uint64_t low_bits(std::size_t count) {
        return count >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
    }

private:
    const std::uint32_t* row(std::size_t i, Kind kind) const {
        return bits_ + (i - 1) * 3 * words_ + kind * words_;
    }

    const std::uint32_t* bits_;
    std::size_t words_;
};

// Widest block rectangle traced from the bits: one 64-bit word per row.
constexpr std::uint64_t kBitBlockColumns = 64;

// One block's path from `start` to `end` from the bits of the whole table, appended to `path`;
// false (nothing appended) when the rectangle is wider than kBitBlockColumns. Within the
// rectangle, a predecessor keeps the rectangle table's value exactly when it keeps the whole
// table's and the block's start reaches it by such steps (`reach`), so the traceback below takes
// the steps of `linear_rectangle_path`.
bool trace_block_from_bits(const TightBits& bits, PathCell start, PathCell end,
                           const char* no_horizontal, std::vector<PathCell>& path) {
    const std::size_t h = end.first - start.first;
    const std::size_t width = end.second - start.second + 1;
    if (width > kBitBlockColumns)
        return false;
    const std::size_t a = start.first;
    const std::size_t c0 = start.second;
    const std::uint64_t all = TightBits::low_bits(width);
    thread_local std::vector<std::uint64_t> d, v, hz, reach;
    d.resize(h + 1);
    v.resize(h + 1);
    hz.resize(h + 1);
    reach.resize(h + 1);
    // Bit k for column c0 + k; column 0 has only its vertical predecessor.
    const auto window = [&](std::size_t i, TightBits::Kind kind) -> std::uint64_t {
        if (c0 == 0) {
            const std::uint64_t rest = bits.window(i, kind, 1, width - 1) << 1;
            return kind == TightBits::vertical ? rest | 1u : rest;
        }
        return bits.window(i, kind, c0, width);
    };
    // Row a: along the row from the start only; row 0 of the table is all horizontal steps.
    hz[0] = a == 0 ? all & ~std::uint64_t{1} : window(a, TightBits::horizontal);
    const std::uint64_t run = ~(hz[0] | 1u);
    const int stop = run == 0 ? 64 : __builtin_ctzll(run);
    reach[0] = TightBits::low_bits(static_cast<std::size_t>(stop)) & all;
    for (std::size_t i = 1; i <= h; ++i) {
        d[i] = window(a + i, TightBits::diagonal);
        v[i] = window(a + i, TightBits::vertical);
        hz[i] = window(a + i, TightBits::horizontal);
        const std::uint64_t r = (((reach[i - 1] << 1) & d[i]) | (reach[i - 1] & v[i])) & all;
        // Along the row: a reached cell reaches the run of horizontal steps after it. Adding the
        // runs' first steps to the run bits carries through each run to its end, and the carry
        // flips every bit of the run after the first step it meets.
        const std::uint64_t first = (r << 1) & hz[i];
        const std::uint64_t runs = ((hz[i] + first) ^ hz[i]) & hz[i];
        reach[i] = (r | runs | first) & all;
    }
    invariant(((reach[h] >> (width - 1)) & 1u) != 0, "NW block end must be reached");

    thread_local std::vector<PathCell> cells;
    cells.clear();
    std::size_t i = h;
    std::size_t k = width - 1;
    cells.emplace_back(a + i, c0 + k);
    const auto bit = [](std::uint64_t word, std::size_t at) { return ((word >> at) & 1u) != 0; };
    while (i > 0 || k > 0) {
        if (i > 0 && k > 0 && bit(d[i], k) && bit(reach[i - 1], k - 1)) {
            --i;
            --k;
        } else if (i > 0 && bit(v[i], k) && bit(reach[i - 1], k)) {
            --i;
        } else {
            invariant(k > 0 && bit(hz[i], k) && bit(reach[i], k - 1), no_horizontal);
            --k;
        }
        cells.emplace_back(a + i, c0 + k);
    }
    std::reverse(cells.begin(), cells.end());
    append_block_path(path, cells);
    return true;
}

}  // namespace

std::optional<WholeTableRun> linear_whole_table_run(const SubstitutionScoring& scoring,
                                                    std::string_view query,
                                                    std::string_view target, std::int32_t gap,
                                                    std::uint64_t block_size,
                                                    const char* no_horizontal) {
    invariant(block_size > 0, "block_size must be positive");
    const std::size_t m = query.size();
    const std::size_t n = target.size();
    const std::size_t width = n + 1;
    if (m == 0 || m + 1 > kWholeTableBitCells / width)
        return std::nullopt;
    WholeTableRun run;

    // Predecessor bits where an AVX-512 pass runs: three bits a cell instead of a value.
    thread_local std::vector<std::uint32_t> bit_storage;
    if (const auto score = linear_tight_bits(query, target, scoring, gap, bit_storage)) {
        run.score = *score;
        const TightBits bits(bit_storage.data(), n);
        const std::vector<std::uint64_t> columns = split_columns(
            m, n, block_size,
            [&](std::size_t i, std::size_t j) { return bits.at(i, j, TightBits::horizontal); },
            [&](std::size_t i, std::size_t j) { return bits.at(i, j, TightBits::diagonal); },
            [&](std::size_t i, std::size_t j) { return bits.at(i, j, TightBits::vertical); });
        trace_blocks(scoring, query, target, gap, block_size, columns, no_horizontal,
                     [&](PathCell start, PathCell end, std::vector<PathCell>& path) {
                         return trace_block_from_bits(bits, start, end, no_horizontal, path);
                     },
                     run.path);
        return run;
    }

    if (m + 1 > kWholeTableCells / width)
        return std::nullopt;
    // The table is at most kWholeTableCells values, kept per thread: a batch of short pairs
    // allocates it once.
    thread_local std::vector<std::int32_t> table_storage;
    thread_local std::vector<std::int32_t> row;
    table_storage.resize((m + 1) * width);
    std::int32_t* table = table_storage.data();
    origin_row(row, n, gap);
    std::copy(row.begin(), row.end(), table);
    advance_linear_rows(row, query, target, scoring, gap, LinearStart::global_origin,
                        table + width);
    run.score = table[m * width + n];
    const auto value = [&](std::size_t i, std::size_t j) { return table[i * width + j]; };
    const std::vector<std::uint64_t> columns = split_columns(
        m, n, block_size,
        [&](std::size_t i, std::size_t j) {
            return value(i, j) == wrap_add(value(i, j - 1), gap);
        },
        [&](std::size_t i, std::size_t j) {
            return value(i, j)
                   == wrap_add(value(i - 1, j - 1), scoring.score(query[i - 1], target[j - 1]));
        },
        [&](std::size_t i, std::size_t j) {
            return value(i, j) == wrap_add(value(i - 1, j), gap);
        });
    trace_blocks(scoring, query, target, gap, block_size, columns, no_horizontal,
                 [](PathCell, PathCell, std::vector<PathCell>&) { return false; }, run.path);
    return run;
}

}  // namespace rux_dp::detail
