#include "rux_dp/problems/linear_rows_detail.hpp"

#include "rux_dp/base/invariant.hpp"
#include "rux_dp/problems/kernel_detail.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
// GCC 12's AVX-512 intrinsics start from _mm512_undefined_epi32(), which its own uninitialised
// checks flag once inlined (https://gcc.gnu.org/bugzilla/show_bug.cgi?id=105593, fixed in 13).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#define RUX_LINEAR_X86 1
#endif

namespace rux_dp::detail {

// The vector kernels compute row i of the linear recurrence in two steps, the prefix-scan form of
// Khajeh-Saeed et al. 2010 that parasail's "scan" kernels use (Daily 2016):
//   T(j) = max(up(j - 1) + s(j - 1), up(j) + gap)       (no dependency along the row)
//   H(j) = max(T(j), H(j - 1) + gap)                      (a max-plus prefix scan)
// Within a vector the scan takes log2(lanes) steps x = max(x, shift_k(x) + k gap); between
// vectors the carry c = H of the last column before the vector enters as max(x, c + (l + 1) gap),
// and the next carry is max(last lane of the scan, c + lanes gap), so the loop-carried chain is
// one add and one max. Over the integers this is the same maximum as the reference's, cell by
// cell; the bound below proves that no lane ever leaves the integers that its width represents.

void advance_nw_row_reference(const std::int32_t* prev, std::int32_t* next,
                              const std::int32_t* srow, std::size_t n, std::int32_t gap) {
    next[0] = wrap_add(prev[0], gap);
    for (std::size_t j = 1; j <= n; ++j) {
        const std::int32_t diagonal = wrap_add(prev[j - 1], srow[j - 1]);
        const std::int32_t vertical = wrap_add(prev[j], gap);
        const std::int32_t horizontal = wrap_add(next[j - 1], gap);
        next[j] = std::max(diagonal, std::max(vertical, horizontal));
    }
}

std::int32_t local_linear_best_reference(std::string_view query, std::string_view target,
                                         const SubstitutionScoring& scoring, std::int32_t gap) {
    const std::size_t n = target.size();
    std::vector<std::int32_t> prev(n + 1, 0);
    std::vector<std::int32_t> next(n + 1, 0);
    std::vector<std::int32_t> srow(n);
    const SubstitutionRows rows(scoring, target);
    std::int32_t best = 0;
    for (const char symbol : query) {
        rows.fill(symbol, srow.data());
        next[0] = 0;
        for (std::size_t j = 1; j <= n; ++j) {
            const std::int32_t diagonal = wrap_add(prev[j - 1], srow[j - 1]);
            const std::int32_t vertical = wrap_add(prev[j], gap);
            const std::int32_t horizontal = wrap_add(next[j - 1], gap);
            next[j] = std::max(std::max(0, diagonal), std::max(vertical, horizontal));
            best = std::max(best, next[j]);
        }
        std::swap(prev, next);
    }
    return best;
}

namespace {

// Beyond every value of the table, the kernels form values up to this many gaps away from one
// (scan shifts of up to `lanes` columns, the carry ramp); 64 covers 32 lanes with room.
constexpr std::int64_t kGapSlack = 64;

// Lowest and highest substitution score the pass can read (the model's whole range).
std::pair<std::int64_t, std::int64_t> substitution_range(const SubstitutionScoring& scoring) {
    if (const SubstitutionMatrix* matrix = scoring.matrix_ptr()) {
        const auto [lo, hi] = std::minmax_element(matrix->scores.begin(), matrix->scores.end());
        return {*lo, *hi};
    }
    const auto& mm = scoring.match_mismatch_values();
    // The negated penalty as the model scores it (wrapping for the one unrepresentable value).
    const auto mismatch =
        static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(mm.mismatch_penalty));
    return {std::min(mm.match_score, mismatch), std::max(mm.match_score, mismatch)};
}

// The highest value of a local table of `rows` x n (rows + n < 2^31). A local path starts at 0
// and has d diagonal, v vertical and h horizontal steps with d + v <= rows and d + h <= n, so its
// score is at most d s_max + (v + h) max(gap, 0) <= d s_max + (rows + n - 2 d) max(gap, 0), which
// is linear in d and so largest at d = 0 or d = min(rows, n).
std::int64_t local_highest(std::int64_t rows, std::int64_t n, std::int64_t gap,
                           std::pair<std::int64_t, std::int64_t> s) {
    const std::int64_t gap_pos = std::max<std::int64_t>(gap, 0);
    const std::int64_t diagonals = std::min(rows, n);
    return std::max({std::int64_t{0}, (rows + n) * gap_pos,
                     diagonals * s.second + (rows + n - 2 * diagonals) * gap_pos});
}

// A bound on the magnitude of every value a pass forms (table values, the candidates, the scan's
// intermediates), or -1 when the lengths alone rule a bound out. Every value of the pass's rows
// is the value of a path that starts on its first row:
// - a vertical path exists, so D(i, j) >= F(j) + i gap >= min F + rows min(gap, 0);
// - from row 0 of a global table, the path of min(i, j) diagonals and |i - j| straight gaps gives
//   D(i, j) >= -max(i, j) max(-s_min, -gap);
// - a path has at most `rows` diagonal and vertical steps and at most n horizontal ones, so
//   D(i, j) <= max F + rows max(s_max, gap, 0) + n max(gap, 0);
// - the local table lies in [0, max F + local_highest(rows, n, gap, s)]: a local path of the pass
//   starts at 0 or continues from a value of the first row.
// The candidates and the scan's values are table values moved by one substitution score or by at
// most kGapSlack gaps.
std::int64_t pass_magnitude(std::int64_t f_min, std::int64_t f_max, std::uint64_t rows,
                            std::uint64_t n, std::int64_t gap,
                            std::pair<std::int64_t, std::int64_t> s, bool origin, bool local) {
    if (rows + n >= (std::uint64_t{1} << 31))
        return -1;
    const auto r = static_cast<std::int64_t>(rows);
    const auto w = static_cast<std::int64_t>(n);
    const std::int64_t gap_neg = std::max<std::int64_t>(-gap, 0);
    const std::int64_t gap_pos = std::max<std::int64_t>(gap, 0);
    const std::int64_t step_max = std::max({s.second, gap, std::int64_t{0}});
    std::int64_t lo = 0;
    std::int64_t hi = 0;
    if (local) {
        hi = std::max<std::int64_t>(f_max, 0) + local_highest(r, w, gap, s);
    } else {
        lo = f_min - r * gap_neg;
        if (origin)
            lo = std::max(lo, -std::max(r, w) * std::max({-s.first, gap_neg, std::int64_t{0}}));
        hi = f_max + r * step_max + w * gap_pos;
    }
    const std::int64_t s_abs = std::max(std::abs(s.first), std::abs(s.second));
    return std::max(-lo, hi) + s_abs + kGapSlack * std::abs(gap);
}

// Whether a local pass fits the 16-bit kernels. They allow more than `linear_lanes_for`, because
// local values never fall below 0 and, in every column that exists, each value the kernels form
// is a candidate of its cell over the integers: the diagonal and vertical terms, the floor at 0,
// the scan's x[l - k] + k gap (the best of a run of T ending k columns before), and the carry's
// c + (l + 1) gap and c + lanes gap (c = H of the column before the vector). A candidate is at
// most its cell, so at most max F + local_highest (F the first row of the pass, all 0 from row 0),
// and at least s_min or 0 plus at most 32 gaps; so when both sides fit, no such value wraps, and
// neither do the constants (scores, 32 gap, the ramp).
// Lanes above column n compute from left-over values and may wrap, but shifts only move values
// towards higher columns, and those lanes are kept out of the stores that matter and of the best
// cell. The AVX-512 shifts are rotations whose wrapped lanes are masked out of the max; the AVX2
// shifts bring in the lowest 16-bit value with saturating adds of at most 8 gaps, which stays
// below 0 (8 |gap| < 2^15) and so below every lane after the floor.
bool local_fits16(std::int64_t f_max, std::uint64_t rows, std::uint64_t n, std::int64_t gap,
                  std::pair<std::int64_t, std::int64_t> s) {
    if (rows + n >= (std::uint64_t{1} << 31))
        return false;
    const std::int64_t highest =
        std::max<std::int64_t>(f_max, 0) +
        local_highest(static_cast<std::int64_t>(rows), static_cast<std::int64_t>(n), gap, s);
    const std::int64_t low_side =
        std::max(std::abs(s.first), std::abs(s.second)) + kGapSlack * std::abs(gap);
    return highest <= simd::kLocalBound16 && low_side <= simd::kLocalBound16;
}

simd::Lanes linear_lanes(std::int64_t magnitude, simd::Lanes narrowest) {
    const simd::Lanes fit = simd::linear_lanes_for(magnitude);
    return static_cast<std::uint8_t>(fit) > static_cast<std::uint8_t>(narrowest) ? fit : narrowest;
}

// The widest vector is 64 bytes; a row kernel's stores (column j = 1 + k lanes) and the profile
// reads of column j - 1 are aligned to it, so only the loads of the row above cross a line.
constexpr std::size_t kAlignBytes = 64;

// Elements of T in one widest vector. Rows and profile rows keep this many readable and writable
// elements after their last column (beside the alignment slack), so that a kernel may run its last
// vector whole and keep only the lanes of real columns.
template <class T>
constexpr std::size_t kPad = kAlignBytes / sizeof(T);

// A pointer p into `storage` for which p + index lies on a 64-byte boundary; `storage` must hold
// kPad<T> spare elements.
template <class T>
T* aligned_at(std::vector<T>& storage, std::size_t index) {
    const auto address = reinterpret_cast<std::uintptr_t>(storage.data() + index);
    const std::size_t shift = (kAlignBytes - address % kAlignBytes) % kAlignBytes / sizeof(T);
    return storage.data() + shift;
}

// The buffers of a pass are kept per thread between passes, so that the many small passes of a
// short pair allocate nothing; a buffer larger than this has its own storage for the pass and
// leaves the kept one small.
constexpr std::size_t kKeptElements = std::size_t{1} << 14;

template <class T>
struct PassBuffers {
    std::vector<T> profile, up, cur;
};

template <class T>
PassBuffers<T>& kept_buffers() {
    thread_local PassBuffers<T> buffers;
    return buffers;
}

// `kept` when `size` elements stay within kKeptElements, else `own`; at least `size` long.
template <class T>
std::vector<T>& pass_storage(std::vector<T>& kept, std::vector<T>& own, std::size_t size) {
    std::vector<T>& storage = size <= kKeptElements ? kept : own;
    if (storage.size() < size)
        storage.resize(size);
    return storage;
}

// Substitution scores of every distinct query symbol against the whole target, in lane type T.
// Built before the row loop, in the order in which the symbols first occur, by the same fill as
// the reference, so a symbol outside the model raises the same violation as the reference would.
template <class T>
class SubstitutionProfile {
public:
    SubstitutionProfile(const SubstitutionScoring& scoring, std::string_view query,
                        std::string_view target, std::vector<T>& kept) {
        std::array<bool, 256> seen{};
        std::array<char, 256> order;
        std::size_t distinct = 0;
        for (const char symbol : query) {
            const auto b = static_cast<std::uint8_t>(symbol);
            if (!seen[b]) {
                seen[b] = true;
                slot_[b] = static_cast<std::uint16_t>(distinct);
                order[distinct++] = symbol;
            }
        }
        const std::size_t n = target.size();
        stride_ = (n + kPad<T> - 1) / kPad<T> * kPad<T>;
        std::vector<T>& storage = pass_storage(kept, own_, distinct * stride_ + 2 * kPad<T>);
        base_ = aligned_at(storage, 0);
        const SubstitutionRows rows(scoring, target);
        for (std::size_t k = 0; k < distinct; ++k)
            rows.fill(order[k], base_ + k * stride_);
    }
    const T* row(char symbol) const {
        return base_ + slot_[static_cast<std::uint8_t>(symbol)] * stride_;
    }

private:
    std::size_t stride_ = 0;
    std::array<std::uint16_t, 256> slot_{};
    std::vector<T> own_;
    T* base_ = nullptr;
};

// The row kernels: cur = row i from up = row i - 1 with s = the profile row of query[i - 1].
// kLocal adds the floor at 0 (and cur[0] = 0) and folds every new cell into *best. The vector
// kernels may read and write kPad<T> elements past column n of all three rows (values there are
// left unspecified).
template <class T>
using RowKernel = void (*)(const T* up, T* cur, const T* s, std::size_t n, T gap, T* best);

// The part of a row after column `j - 1`, cell by cell; h = cur[j - 1].
template <class T, bool kLocal>
inline void row_tail(const T* up, T* cur, const T* s, std::size_t j, std::size_t n, T gap,
                     T* best) {
    int h = cur[j - 1];
    int top = kLocal ? *best : 0;
    for (; j <= n; ++j) {
        int x = std::max(up[j - 1] + s[j - 1], std::max(up[j] + gap, h + gap));
        if constexpr (kLocal) {
            x = std::max(x, 0);
            top = std::max(top, x);
        }
        cur[j] = static_cast<T>(x);
        h = x;
    }
    if constexpr (kLocal)
        *best = static_cast<T>(top);
}

template <class T, bool kLocal>
void row_scalar(const T* up, T* cur, const T* s, std::size_t n, T gap, T* best) {
    cur[0] = kLocal ? T{0} : static_cast<T>(up[0] + gap);
    row_tail<T, kLocal>(up, cur, s, 1, n, gap, best);
}

#ifdef RUX_LINEAR_X86

constexpr std::array<std::int16_t, 32> kIota16 = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                                                  11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                                                  22, 23, 24, 25, 26, 27, 28, 29, 30, 31};
constexpr std::array<std::int32_t, 16> kIota32 = {0, 1, 2,  3,  4,  5,  6,  7,
                                                  8, 9, 10, 11, 12, 13, 14, 15};

// --- AVX-512BW, 32 lanes of 16 bits. Shifts are rotations whose wrapped lanes are masked out of
// the max, so no sentinel rides in the lanes.

// Constants of one row: the gap times 1, 2, 4, 8, 16 and 32, the ramp (l + 1) gap, and the
// indices of the one-lane rotation and of the broadcast of the last lane.
struct Avx512Gaps16 {
    __m512i g1, g2, g4, g8, g16, g32, ramp, rotate1, last;
};

__attribute__((target("avx512bw,avx512vl"))) inline Avx512Gaps16 avx512_gaps16(std::int16_t gap) {
    const __m512i iota = _mm512_loadu_si512(kIota16.data());
    const __m512i g = _mm512_set1_epi16(gap);
    return {
        .g1 = g,
        .g2 = _mm512_set1_epi16(static_cast<std::int16_t>(gap * 2)),
        .g4 = _mm512_set1_epi16(static_cast<std::int16_t>(gap * 4)),
        .g8 = _mm512_set1_epi16(static_cast<std::int16_t>(gap * 8)),
        .g16 = _mm512_set1_epi16(static_cast<std::int16_t>(gap * 16)),
        .g32 = _mm512_set1_epi16(static_cast<std::int16_t>(gap * 32)),
        .ramp = _mm512_mullo_epi16(_mm512_add_epi16(iota, _mm512_set1_epi16(1)), g),
        .rotate1 =
            _mm512_and_si512(_mm512_sub_epi16(iota, _mm512_set1_epi16(1)), _mm512_set1_epi16(31)),
        .last = _mm512_set1_epi16(31),
    };
}

// The max-plus prefix scan of x within the vector: lane l becomes the max over k <= l of
// x(k) + (l - k) gap.
__attribute__((target("avx512bw,avx512vl"), always_inline)) inline __m512i scan16_within(
    __m512i x, const Avx512Gaps16& c) {
    x = _mm512_mask_max_epi16(x, 0xFFFFFFFEu, x,
                              _mm512_add_epi16(_mm512_permutexvar_epi16(c.rotate1, x), c.g1));
    x = _mm512_mask_max_epi16(x, 0xFFFFFFFCu, x,
                              _mm512_add_epi16(_mm512_alignr_epi32(x, x, 15), c.g2));
    x = _mm512_mask_max_epi16(x, 0xFFFFFFF0u, x,
                              _mm512_add_epi16(_mm512_alignr_epi32(x, x, 14), c.g4));
    x = _mm512_mask_max_epi16(x, 0xFFFFFF00u, x,
                              _mm512_add_epi16(_mm512_alignr_epi32(x, x, 12), c.g8));
    return _mm512_mask_max_epi16(
        x, 0xFFFF0000u, x,
        _mm512_add_epi16(_mm512_shuffle_i64x2(x, x, _MM_SHUFFLE(1, 0, 3, 2)), c.g16));
}

// The diagonal and vertical candidates of the 32 columns from j. `live` selects the columns that
// exist: the lanes above them load 0, and since the scan only carries values upwards, what they
// compute never reaches a live lane.
struct Candidates16 {
    __m512i diagonal, vertical;
};

__attribute__((target("avx512bw,avx512vl"), always_inline)) inline Candidates16 candidates16(
    const std::int16_t* up, const std::int16_t* s, std::size_t j, const Avx512Gaps16& c,
    __mmask32 live) {
    return {.diagonal = _mm512_add_epi16(_mm512_maskz_loadu_epi16(live, up + j - 1),
                                         _mm512_maskz_loadu_epi16(live, s + j - 1)),
            .vertical = _mm512_add_epi16(_mm512_maskz_loadu_epi16(live, up + j), c.g1)};
}

// T of the 32 columns from j, then its scan within the vector.
template <bool kLocal>
__attribute__((target("avx512bw,avx512vl"), always_inline)) inline __m512i scan16_avx512(
    const std::int16_t* up, const std::int16_t* s, std::size_t j, const Avx512Gaps16& c,
    __mmask32 live = ~__mmask32{0}) {
    const Candidates16 t = candidates16(up, s, j, c, live);
    __m512i x = _mm512_max_epi16(t.diagonal, t.vertical);
    if constexpr (kLocal)
        x = _mm512_max_epi16(x, _mm512_setzero_si512());
    return scan16_within(x, c);
}

// One row with the constants of its gap already built (a pass builds them once for all rows).
template <bool kLocal>
__attribute__((target("avx512bw,avx512vl"), always_inline)) inline void row16_avx512_with(
    const std::int16_t* up, std::int16_t* cur, const std::int16_t* s, std::size_t n,
    std::int16_t gap, std::int16_t* best, const Avx512Gaps16& c) {
    constexpr std::size_t kLanes = 32;
    cur[0] = kLocal ? std::int16_t{0} : static_cast<std::int16_t>(up[0] + gap);
    __m512i top = _mm512_setzero_si512();
    __m512i carry = _mm512_set1_epi16(cur[0]);
    std::size_t j = 1;
    // Two vectors per step: their scans are independent, only the carry links them.
    for (; j + 2 * kLanes <= n + 1; j += 2 * kLanes) {
        __m512i a = scan16_avx512<kLocal>(up, s, j, c);
        __m512i b = scan16_avx512<kLocal>(up, s, j + kLanes, c);
        const __m512i a_last = _mm512_permutexvar_epi16(c.last, a);
        const __m512i b_last = _mm512_permutexvar_epi16(c.last, b);
        a = _mm512_max_epi16(a, _mm512_add_epi16(carry, c.ramp));
        carry = _mm512_max_epi16(a_last, _mm512_add_epi16(carry, c.g32));
        b = _mm512_max_epi16(b, _mm512_add_epi16(carry, c.ramp));
        carry = _mm512_max_epi16(b_last, _mm512_add_epi16(carry, c.g32));
        _mm512_storeu_si512(cur + j, a);
        _mm512_storeu_si512(cur + j + kLanes, b);
        if constexpr (kLocal)
            top = _mm512_max_epi16(top, _mm512_max_epi16(a, b));
    }
    for (; j + kLanes <= n + 1; j += kLanes) {
        __m512i x = scan16_avx512<kLocal>(up, s, j, c);
        const __m512i x_last = _mm512_permutexvar_epi16(c.last, x);
        x = _mm512_max_epi16(x, _mm512_add_epi16(carry, c.ramp));
        carry = _mm512_max_epi16(x_last, _mm512_add_epi16(carry, c.g32));
        _mm512_storeu_si512(cur + j, x);
        if constexpr (kLocal)
            top = _mm512_max_epi16(top, x);
    }
    // The last columns, fewer than a vector: the same step on the live lanes only.
    if (j <= n) {
        const auto live = static_cast<__mmask32>((std::uint32_t{1} << (n + 1 - j)) - 1u);
        __m512i x = scan16_avx512<kLocal>(up, s, j, c, live);
        x = _mm512_max_epi16(x, _mm512_add_epi16(carry, c.ramp));
        _mm512_mask_storeu_epi16(cur + j, live, x);
        if constexpr (kLocal)
            top = _mm512_mask_max_epi16(top, live, top, x);
    }
    if constexpr (kLocal) {
        // The 16-bit maximum through the two halves of each 32-bit lane, sign-extended.
        const __m512i high = _mm512_srai_epi32(top, 16);
        const __m512i low = _mm512_srai_epi32(_mm512_slli_epi32(top, 16), 16);
        *best = std::max(
            *best, static_cast<std::int16_t>(_mm512_reduce_max_epi32(_mm512_max_epi32(high, low))));
    }
}

template <bool kLocal>
__attribute__((target("avx512bw,avx512vl"))) void row16_avx512(const std::int16_t* up,
                                                               std::int16_t* cur,
                                                               const std::int16_t* s, std::size_t n,
                                                               std::int16_t gap,
                                                               std::int16_t* best) {
    row16_avx512_with<kLocal>(up, cur, s, n, gap, best, avx512_gaps16(gap));
}

// All rows of a 16-bit pass: the gap's constants once, then row after row. `up` holds the first
// row on entry and the last one on return; `cur` is scratch of the same size.
template <bool kLocal>
__attribute__((target("avx512bw,avx512vl"))) void rows16_avx512(
    std::int16_t*& up, std::int16_t*& cur, const SubstitutionProfile<std::int16_t>& profile,
    std::string_view query, std::size_t n, std::int16_t gap, std::int16_t* best,
    std::int32_t* table) {
    const Avx512Gaps16 c = avx512_gaps16(gap);
    for (std::size_t i = 0; i < query.size(); ++i) {
        row16_avx512_with<kLocal>(up, cur, profile.row(query[i]), n, gap, best, c);
        if (table != nullptr) {
            std::int32_t* out = table + i * (n + 1);
            for (std::size_t j = 0; j <= n; ++j)
                out[j] = cur[j];
        }
        std::swap(up, cur);
    }
}

// --- AVX-512F, 16 lanes of 32 bits.

// The max-plus prefix scan of x within a vector of 16 32-bit lanes: lane l becomes the max over
// k <= l of x(k) + (l - k) gap; g, g2, g4 and g8 hold 1, 2, 4 and 8 gaps.
__attribute__((target("avx512bw,avx512vl"), always_inline)) inline __m512i scan32_within(
    __m512i x, __m512i g, __m512i g2, __m512i g4, __m512i g8) {
    x = _mm512_mask_max_epi32(x, 0xFFFE, x, _mm512_add_epi32(_mm512_alignr_epi32(x, x, 15), g));
    x = _mm512_mask_max_epi32(x, 0xFFFC, x, _mm512_add_epi32(_mm512_alignr_epi32(x, x, 14), g2));
    x = _mm512_mask_max_epi32(x, 0xFFF0, x, _mm512_add_epi32(_mm512_alignr_epi32(x, x, 12), g4));
    return _mm512_mask_max_epi32(
        x, 0xFF00, x,
        _mm512_add_epi32(_mm512_shuffle_i64x2(x, x, _MM_SHUFFLE(1, 0, 3, 2)), g8));
}

template <bool kLocal>
__attribute__((target("avx512bw,avx512vl"))) void row32_avx512(const std::int32_t* up,
                                                               std::int32_t* cur,
                                                               const std::int32_t* s, std::size_t n,
                                                               std::int32_t gap,
                                                               std::int32_t* best) {
    constexpr std::size_t kLanes = 16;
    cur[0] = kLocal ? 0 : up[0] + gap;
    const __m512i iota = _mm512_loadu_si512(kIota32.data());
    const __m512i g = _mm512_set1_epi32(gap);
    const __m512i ramp = _mm512_mullo_epi32(_mm512_add_epi32(iota, _mm512_set1_epi32(1)), g);
    const __m512i g_lanes = _mm512_set1_epi32(gap * 16);
    const __m512i g2 = _mm512_set1_epi32(gap * 2);
    const __m512i g4 = _mm512_set1_epi32(gap * 4);
    const __m512i g8 = _mm512_set1_epi32(gap * 8);
    const __m512i last = _mm512_set1_epi32(15);
    const __m512i zero = _mm512_setzero_si512();
    __m512i top = zero;
    __m512i carry = _mm512_set1_epi32(cur[0]);
    // The last vector is cut to the columns that exist (`live` as in scan16_avx512).
    for (std::size_t j = 1; j <= n; j += kLanes) {
        const __mmask16 live = j + kLanes <= n + 1
                                   ? __mmask16{0xFFFF}
                                   : static_cast<__mmask16>((1u << (n + 1 - j)) - 1u);
        const __m512i diagonal = _mm512_add_epi32(_mm512_maskz_loadu_epi32(live, up + j - 1),
                                                  _mm512_maskz_loadu_epi32(live, s + j - 1));
        const __m512i vertical = _mm512_add_epi32(_mm512_maskz_loadu_epi32(live, up + j), g);
        __m512i x = _mm512_max_epi32(diagonal, vertical);
        if constexpr (kLocal)
            x = _mm512_max_epi32(x, zero);
        x = scan32_within(x, g, g2, g4, g8);
        const __m512i scan_last = _mm512_permutexvar_epi32(last, x);
        x = _mm512_max_epi32(x, _mm512_add_epi32(carry, ramp));
        _mm512_mask_storeu_epi32(cur + j, live, x);
        carry = _mm512_max_epi32(scan_last, _mm512_add_epi32(carry, g_lanes));
        if constexpr (kLocal)
            top = _mm512_mask_max_epi32(top, live, top, x);
    }
    if constexpr (kLocal)
        *best = std::max(*best, _mm512_reduce_max_epi32(top));
}

// --- AVX2. Shifts move lanes up across the two 128-bit halves and fill the low lanes from a
// sentinel vector. The 16-bit sentinel is the lowest value and is moved with saturating adds; the
// 32-bit one is -2^30. Either stays below every real value: the bounds of linear_lanes_for leave
// more room than the few gaps a shift adds.

template <int kBytes>
__attribute__((target("avx2"))) inline __m256i shift_up(__m256i x, __m256i sentinel) {
    const __m256i low = _mm256_permute2x128_si256(x, sentinel, 0x02);  // [sentinel.lo, x.lo]
    if constexpr (kBytes == 16)
        return low;
    else
        return _mm256_alignr_epi8(x, low, 16 - kBytes);
}

__attribute__((target("avx2"))) inline std::int32_t hmax_epi32_avx2(__m256i v) {
    __m128i m = _mm_max_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    m = _mm_max_epi32(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(1, 0, 3, 2)));
    m = _mm_max_epi32(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(m);
}

template <bool kLocal>
__attribute__((target("avx2"))) void row16_avx2(const std::int16_t* up, std::int16_t* cur,
                                                const std::int16_t* s, std::size_t n,
                                                std::int16_t gap, std::int16_t* best) {
    constexpr std::size_t kLanes = 16;
    cur[0] = kLocal ? std::int16_t{0} : static_cast<std::int16_t>(up[0] + gap);
    const __m256i iota = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kIota16.data()));
    const __m256i g = _mm256_set1_epi16(gap);
    const __m256i ramp = _mm256_mullo_epi16(_mm256_add_epi16(iota, _mm256_set1_epi16(1)), g);
    const __m256i g_lanes = _mm256_set1_epi16(static_cast<std::int16_t>(gap * 16));
    const __m256i g2 = _mm256_set1_epi16(static_cast<std::int16_t>(gap * 2));
    const __m256i g4 = _mm256_set1_epi16(static_cast<std::int16_t>(gap * 4));
    const __m256i g8 = _mm256_set1_epi16(static_cast<std::int16_t>(gap * 8));
    const __m256i sentinel = _mm256_set1_epi16(std::numeric_limits<std::int16_t>::min());
    // Bytes 14 and 15 of each 128-bit half: the highest 16-bit lane once both halves hold the
    // upper one.
    const __m256i last_word = _mm256_set1_epi16(0x0F0E);
    const __m256i zero = _mm256_setzero_si256();
    __m256i top = zero;
    __m256i carry = _mm256_set1_epi16(cur[0]);
    // The last vector runs whole over the padding after column n; only the lanes of real columns
    // reach the stores that are kept and the best cell.
    for (std::size_t j = 1; j <= n; j += kLanes) {
        const __m256i diagonal =
            _mm256_add_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(up + j - 1)),
                             _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + j - 1)));
        const __m256i vertical =
            _mm256_add_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(up + j)), g);
        __m256i x = _mm256_max_epi16(diagonal, vertical);
        if constexpr (kLocal)
            x = _mm256_max_epi16(x, zero);
        x = _mm256_max_epi16(x, _mm256_adds_epi16(shift_up<2>(x, sentinel), g));
        x = _mm256_max_epi16(x, _mm256_adds_epi16(shift_up<4>(x, sentinel), g2));
        x = _mm256_max_epi16(x, _mm256_adds_epi16(shift_up<8>(x, sentinel), g4));
        x = _mm256_max_epi16(x, _mm256_adds_epi16(shift_up<16>(x, sentinel), g8));
        const __m256i scan_last = _mm256_shuffle_epi8(_mm256_permute4x64_epi64(x, 0xFF), last_word);
        x = _mm256_max_epi16(x, _mm256_add_epi16(carry, ramp));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(cur + j), x);
        carry = _mm256_max_epi16(scan_last, _mm256_add_epi16(carry, g_lanes));
        if constexpr (kLocal) {
            if (j + kLanes > n + 1)
                x = _mm256_and_si256(
                    x, _mm256_cmpgt_epi16(_mm256_set1_epi16(static_cast<std::int16_t>(n + 1 - j)),
                                          iota));
            top = _mm256_max_epi16(top, x);
        }
    }
    if constexpr (kLocal) {
        const __m256i hi = _mm256_srai_epi32(top, 16);
        const __m256i lo = _mm256_srai_epi32(_mm256_slli_epi32(top, 16), 16);
        *best =
            std::max(*best, static_cast<std::int16_t>(hmax_epi32_avx2(_mm256_max_epi32(hi, lo))));
    }
}

template <bool kLocal>
__attribute__((target("avx2"))) void row32_avx2(const std::int32_t* up, std::int32_t* cur,
                                                const std::int32_t* s, std::size_t n,
                                                std::int32_t gap, std::int32_t* best) {
    constexpr std::size_t kLanes = 8;
    cur[0] = kLocal ? 0 : up[0] + gap;
    const __m256i iota = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kIota32.data()));
    const __m256i g = _mm256_set1_epi32(gap);
    const __m256i ramp = _mm256_mullo_epi32(_mm256_add_epi32(iota, _mm256_set1_epi32(1)), g);
    const __m256i g_lanes = _mm256_set1_epi32(gap * 8);
    const __m256i g2 = _mm256_set1_epi32(gap * 2);
    const __m256i g4 = _mm256_set1_epi32(gap * 4);
    const __m256i sentinel = _mm256_set1_epi32(-(std::int32_t{1} << 30));
    const __m256i last = _mm256_set1_epi32(7);
    const __m256i zero = _mm256_setzero_si256();
    __m256i top = zero;
    __m256i carry = _mm256_set1_epi32(cur[0]);
    // The last vector runs whole over the padding after column n; only the lanes of real columns
    // reach the stores that are kept and the best cell.
    for (std::size_t j = 1; j <= n; j += kLanes) {
        const __m256i diagonal =
            _mm256_add_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(up + j - 1)),
                             _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + j - 1)));
        const __m256i vertical =
            _mm256_add_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(up + j)), g);
        __m256i x = _mm256_max_epi32(diagonal, vertical);
        if constexpr (kLocal)
            x = _mm256_max_epi32(x, zero);
        x = _mm256_max_epi32(x, _mm256_add_epi32(shift_up<4>(x, sentinel), g));
        x = _mm256_max_epi32(x, _mm256_add_epi32(shift_up<8>(x, sentinel), g2));
        x = _mm256_max_epi32(x, _mm256_add_epi32(shift_up<16>(x, sentinel), g4));
        const __m256i scan_last = _mm256_permutevar8x32_epi32(x, last);
        x = _mm256_max_epi32(x, _mm256_add_epi32(carry, ramp));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(cur + j), x);
        carry = _mm256_max_epi32(scan_last, _mm256_add_epi32(carry, g_lanes));
        if constexpr (kLocal) {
            if (j + kLanes > n + 1)
                x = _mm256_and_si256(
                    x, _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<std::int32_t>(n + 1 - j)),
                                          iota));
            top = _mm256_max_epi32(top, x);
        }
    }
    if constexpr (kLocal)
        *best = std::max(*best, hmax_epi32_avx2(top));
}

// All rows of a 16-bit pass, keeping for every cell which predecessors reach its value instead
// of the value: per row, the D words, then V, then H (`advance_linear_rows_tight`). The steps are
// those of row16_avx512_with, one vector at a time. kLocal: the local recurrence, with the first
// words telling where the value is positive instead of D, and every row whose best cell beats
// `track->best` reported (row, first column of that value, value).
template <bool kLocal>
__attribute__((target("avx512bw,avx512vl"))) void rows16_avx512_tight(
    std::int16_t* up, std::int16_t* cur, const SubstitutionProfile<std::int16_t>& profile,
    std::string_view query, std::size_t n, std::int16_t gap, std::uint32_t* bits,
    std::size_t words, LocalBestTrack* track) {
    constexpr std::size_t kLanes = 32;
    const Avx512Gaps16 c = avx512_gaps16(gap);
    const __m512i zero = _mm512_setzero_si512();
    for (std::size_t i = 0; i < query.size(); ++i) {
        const std::int16_t* s = profile.row(query[i]);
        std::uint32_t* d_out = bits + i * 3 * words;
        std::uint32_t* v_out = d_out + words;
        std::uint32_t* h_out = v_out + words;
        cur[0] = kLocal ? std::int16_t{0} : static_cast<std::int16_t>(up[0] + gap);
        __m512i carry = _mm512_set1_epi16(cur[0]);
        __m512i top = zero;
        for (std::size_t j = 1, w = 0; j <= n; j += kLanes, ++w) {
            const __mmask32 live = j + kLanes <= n + 1
                                       ? ~__mmask32{0}
                                       : static_cast<__mmask32>((std::uint32_t{1} << (n + 1 - j)) - 1u);
            const Candidates16 t = candidates16(up, s, j, c, live);
            __m512i x = _mm512_max_epi16(t.diagonal, t.vertical);
            if constexpr (kLocal)
                x = _mm512_max_epi16(x, zero);
            x = scan16_within(x, c);
            const __m512i x_last = _mm512_permutexvar_epi16(c.last, x);
            x = _mm512_max_epi16(x, _mm512_add_epi16(carry, c.ramp));
            // H(j - 1) beside every H(j): the vector moved up one lane, the carry in lane 0.
            const __m512i left =
                _mm512_mask_mov_epi16(_mm512_permutexvar_epi16(c.rotate1, x), 1, carry);
            carry = _mm512_max_epi16(x_last, _mm512_add_epi16(carry, c.g32));
            if constexpr (kLocal) {
                d_out[w] = _mm512_mask_cmpgt_epi16_mask(live, x, zero);
                top = _mm512_mask_max_epi16(top, live, top, x);
            } else {
                d_out[w] = _mm512_mask_cmpeq_epi16_mask(live, x, t.diagonal);
            }
            v_out[w] = _mm512_mask_cmpeq_epi16_mask(live, x, t.vertical);
            h_out[w] = _mm512_mask_cmpeq_epi16_mask(live, x, _mm512_add_epi16(left, c.g1));
            _mm512_mask_storeu_epi16(cur + j, live, x);
        }
        if constexpr (kLocal) {
            const __m512i high = _mm512_srai_epi32(top, 16);
            const __m512i low = _mm512_srai_epi32(_mm512_slli_epi32(top, 16), 16);
            const std::int32_t row_best = _mm512_reduce_max_epi32(_mm512_max_epi32(high, low));
            if (row_best > track->best) {
                const __m512i wanted = _mm512_set1_epi16(static_cast<std::int16_t>(row_best));
                std::size_t j = 1;
                for (;; j += kLanes) {
                    const __mmask32 live = j + kLanes <= n + 1
                                               ? ~__mmask32{0}
                                               : static_cast<__mmask32>(
                                                     (std::uint32_t{1} << (n + 1 - j)) - 1u);
                    const __mmask32 hit = _mm512_mask_cmpeq_epi16_mask(
                        live, _mm512_maskz_loadu_epi16(live, cur + j), wanted);
                    if (hit != 0) {
                        j += static_cast<std::size_t>(__builtin_ctz(hit));
                        break;
                    }
                }
                track->best = row_best;
                track->events.push_back({.row = i, .col = j, .score = row_best});
            }
        }
        std::swap(up, cur);
    }
}

// The 32-bit version of rows16_avx512_tight: 16 lanes, so each vector's masks fill one half of a
// 32-bit word of bits (half k of the row is byte 2k of it, the machine being little-endian).
template <bool kLocal>
__attribute__((target("avx512bw,avx512vl"))) void rows32_avx512_tight(
    std::int32_t* up, std::int32_t* cur, const SubstitutionProfile<std::int32_t>& profile,
    std::string_view query, std::size_t n, std::int32_t gap, std::uint32_t* bits,
    std::size_t words, LocalBestTrack* track) {
    constexpr std::size_t kLanes = 16;
    const __m512i iota = _mm512_loadu_si512(kIota32.data());
    const __m512i g = _mm512_set1_epi32(gap);
    const __m512i ramp = _mm512_mullo_epi32(_mm512_add_epi32(iota, _mm512_set1_epi32(1)), g);
    const __m512i g_lanes = _mm512_set1_epi32(gap * 16);
    const __m512i g2 = _mm512_set1_epi32(gap * 2);
    const __m512i g4 = _mm512_set1_epi32(gap * 4);
    const __m512i g8 = _mm512_set1_epi32(gap * 8);
    const __m512i last = _mm512_set1_epi32(15);
    const __m512i zero = _mm512_setzero_si512();
    for (std::size_t i = 0; i < query.size(); ++i) {
        const std::int32_t* s = profile.row(query[i]);
        auto* d_out = reinterpret_cast<unsigned char*>(bits + i * 3 * words);
        unsigned char* v_out = d_out + words * 4;
        unsigned char* h_out = v_out + words * 4;
        cur[0] = kLocal ? 0 : up[0] + gap;
        __m512i carry = _mm512_set1_epi32(cur[0]);
        __m512i top = zero;
        for (std::size_t j = 1, w = 0; j <= n; j += kLanes, ++w) {
            const __mmask16 live = j + kLanes <= n + 1
                                       ? __mmask16{0xFFFF}
                                       : static_cast<__mmask16>((1u << (n + 1 - j)) - 1u);
            const __m512i diagonal = _mm512_add_epi32(_mm512_maskz_loadu_epi32(live, up + j - 1),
                                                      _mm512_maskz_loadu_epi32(live, s + j - 1));
            const __m512i vertical = _mm512_add_epi32(_mm512_maskz_loadu_epi32(live, up + j), g);
            __m512i x = _mm512_max_epi32(diagonal, vertical);
            if constexpr (kLocal)
                x = _mm512_max_epi32(x, zero);
            x = scan32_within(x, g, g2, g4, g8);
            const __m512i scan_last = _mm512_permutexvar_epi32(last, x);
            x = _mm512_max_epi32(x, _mm512_add_epi32(carry, ramp));
            const __m512i left = _mm512_mask_mov_epi32(_mm512_alignr_epi32(x, x, 15), 1, carry);
            carry = _mm512_max_epi32(scan_last, _mm512_add_epi32(carry, g_lanes));
            const auto store_mask = [&](unsigned char* out, __mmask16 mask) {
                const auto value = static_cast<std::uint16_t>(mask);
                std::memcpy(out + 2 * w, &value, sizeof value);
            };
            if constexpr (kLocal) {
                store_mask(d_out, _mm512_mask_cmpgt_epi32_mask(live, x, zero));
                top = _mm512_mask_max_epi32(top, live, top, x);
            } else {
                store_mask(d_out, _mm512_mask_cmpeq_epi32_mask(live, x, diagonal));
            }
            store_mask(v_out, _mm512_mask_cmpeq_epi32_mask(live, x, vertical));
            store_mask(h_out, _mm512_mask_cmpeq_epi32_mask(live, x, _mm512_add_epi32(left, g)));
            _mm512_mask_storeu_epi32(cur + j, live, x);
        }
        if constexpr (kLocal) {
            const std::int32_t row_best = _mm512_reduce_max_epi32(top);
            if (row_best > track->best) {
                const __m512i wanted = _mm512_set1_epi32(row_best);
                std::size_t j = 1;
                for (;; j += kLanes) {
                    const __mmask16 live = j + kLanes <= n + 1
                                               ? __mmask16{0xFFFF}
                                               : static_cast<__mmask16>((1u << (n + 1 - j)) - 1u);
                    const __mmask16 hit = _mm512_mask_cmpeq_epi32_mask(
                        live, _mm512_maskz_loadu_epi32(live, cur + j), wanted);
                    if (hit != 0) {
                        j += static_cast<std::size_t>(__builtin_ctz(hit));
                        break;
                    }
                }
                track->best = row_best;
                track->events.push_back({.row = i, .col = j, .score = row_best});
            }
        }
        std::swap(up, cur);
    }
}

// Origins carried through one row of the global recurrence from its predecessor bits (`row_bits`
// as `advance_linear_rows_tight` lays out one row): a cell takes the origin of its horizontal
// predecessor when that reaches its value, else of the vertical one when that does, else of the
// diagonal one; column 0 keeps the one above. Sixteen columns at a time: the vertical or
// diagonal origins from the row above, then each run of horizontal cells takes the origin of the
// cell before the run, by doubling within the vector and from the vector before for a run that
// starts below it. kLocal: the local recurrence, where a cell whose value is not positive
// (column 0 included) is its own origin, `row_base` + column.
template <bool kLocal>
__attribute__((target("avx512bw,avx512vl"))) void carry_origins_avx512(
    const std::uint32_t* row_bits, std::size_t words, const std::uint32_t* above,
    std::uint32_t* out, std::size_t n, std::uint32_t row_base) {
    constexpr std::size_t kLanes = 16;
    const auto* p_bits = reinterpret_cast<const unsigned char*>(row_bits);
    const auto* v_bits = reinterpret_cast<const unsigned char*>(row_bits + words);
    const auto* h_bits = reinterpret_cast<const unsigned char*>(row_bits + 2 * words);
    const __m512i zero = _mm512_setzero_si512();
    const __m512i last = _mm512_set1_epi32(15);
    const __m512i lane = _mm512_loadu_si512(kIota32.data());
    out[0] = kLocal ? row_base : above[0];
    __m512i carry = _mm512_set1_epi32(static_cast<int>(out[0]));
    for (std::size_t j = 1, w = 0; j <= n; j += kLanes, ++w) {
        const __mmask16 live = j + kLanes <= n + 1
                                   ? __mmask16{0xFFFF}
                                   : static_cast<__mmask16>((1u << (n + 1 - j)) - 1u);
        std::uint16_t v = 0;
        std::uint16_t h = 0;
        std::memcpy(&v, v_bits + 2 * w, sizeof v);
        std::memcpy(&h, h_bits + 2 * w, sizeof h);
        __m512i x = _mm512_mask_blend_epi32(v, _mm512_maskz_loadu_epi32(live, above + j - 1),
                                            _mm512_maskz_loadu_epi32(live, above + j));
        std::uint32_t run = h & live;
        if constexpr (kLocal) {
            std::uint16_t positive = 0;
            std::memcpy(&positive, p_bits + 2 * w, sizeof positive);
            const __m512i self = _mm512_add_epi32(
                _mm512_set1_epi32(static_cast<int>(row_base + static_cast<std::uint32_t>(j))),
                lane);
            x = _mm512_mask_blend_epi32(positive, self, x);
            run &= positive;
        }
        // Lane l of a run takes lane l - k while lanes (l - k, l] are all horizontal, k doubling.
        std::uint32_t m = run;
        x = _mm512_mask_mov_epi32(x, static_cast<__mmask16>(m), _mm512_alignr_epi32(x, zero, 15));
        m &= m << 1;
        x = _mm512_mask_mov_epi32(x, static_cast<__mmask16>(m), _mm512_alignr_epi32(x, zero, 14));
        m &= m << 2;
        x = _mm512_mask_mov_epi32(x, static_cast<__mmask16>(m), _mm512_alignr_epi32(x, zero, 12));
        m &= m << 4;
        x = _mm512_mask_mov_epi32(x, static_cast<__mmask16>(m), _mm512_alignr_epi32(x, zero, 8));
        // The run from lane 0 up continues the one before the vector.
        const std::uint32_t from_before = run & ~(run + 1u);
        x = _mm512_mask_mov_epi32(x, static_cast<__mmask16>(from_before), carry);
        _mm512_mask_storeu_epi32(out + j, live, x);
        carry = _mm512_permutexvar_epi32(last, x);
    }
}

// carry_origins_avx512<true> with 64-bit cell numbers, eight columns at a time, for tables of
// more than 2^32 cells.
__attribute__((target("avx512bw,avx512vl"))) void carry_local_origins_avx512(
    const std::uint32_t* row_bits, std::size_t words, const std::uint64_t* above,
    std::uint64_t* out, std::size_t n, std::uint64_t row_base) {
    constexpr std::size_t kLanes = 8;
    const auto* p_bits = reinterpret_cast<const unsigned char*>(row_bits);
    const auto* v_bits = reinterpret_cast<const unsigned char*>(row_bits + words);
    const auto* h_bits = reinterpret_cast<const unsigned char*>(row_bits + 2 * words);
    const __m512i zero = _mm512_setzero_si512();
    const __m512i last = _mm512_set1_epi64(7);
    const __m512i lane = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
    out[0] = row_base;
    __m512i carry = _mm512_set1_epi64(static_cast<long long>(out[0]));
    for (std::size_t j = 1, w = 0; j <= n; j += kLanes, ++w) {
        const __mmask8 live = j + kLanes <= n + 1
                                  ? __mmask8{0xFF}
                                  : static_cast<__mmask8>((1u << (n + 1 - j)) - 1u);
        const std::uint32_t positive = p_bits[w] & live;
        const std::uint32_t vertical = v_bits[w];
        const std::uint32_t run = positive & h_bits[w];
        const __m512i self = _mm512_add_epi64(
            _mm512_set1_epi64(static_cast<long long>(row_base + j)), lane);
        const __m512i from_above =
            _mm512_mask_blend_epi64(static_cast<__mmask8>(vertical),
                                    _mm512_maskz_loadu_epi64(live, above + j - 1),
                                    _mm512_maskz_loadu_epi64(live, above + j));
        __m512i x = _mm512_mask_blend_epi64(static_cast<__mmask8>(positive), self, from_above);
        std::uint32_t m = run;
        x = _mm512_mask_mov_epi64(x, static_cast<__mmask8>(m), _mm512_alignr_epi64(x, zero, 7));
        m &= m << 1;
        x = _mm512_mask_mov_epi64(x, static_cast<__mmask8>(m), _mm512_alignr_epi64(x, zero, 6));
        m &= m << 2;
        x = _mm512_mask_mov_epi64(x, static_cast<__mmask8>(m), _mm512_alignr_epi64(x, zero, 4));
        const std::uint32_t from_before = run & ~(run + 1u);
        x = _mm512_mask_mov_epi64(x, static_cast<__mmask8>(from_before), carry);
        _mm512_mask_storeu_epi64(out + j, live, x);
        carry = _mm512_permutexvar_epi64(last, x);
    }
}

// --- Anti-diagonal passes (AVX-512BW), scores only, for a match/mismatch model. Cell (i, j) of a
// pass (row i of the pass; row 0 is the row it starts from) lies on anti-diagonal t = i + j at
// offset i. Its left neighbour (i, j - 1) is at offset i of t - 1, the one above (i - 1, j) at
// offset i - 1 of t - 1, and the diagonal one (i - 1, j - 1) at offset i - 1 of t - 2: all on
// earlier anti-diagonals, so a vector of cells needs no scan along a row. The one-lane shifts are
// made in registers from vectors loaded at the offsets they were stored at (a load across two
// recent stores would wait for both). The query runs forward along an anti-diagonal and the
// target backward, so both are read from contiguous (reversed) bytes. The pass's first row enters
// at offset 0 and column 0 at offset t; the last row leaves at offset m. Every neighbour of a
// cell inside the pass lies inside the pass, so the lanes outside it hold anything: they are only
// read by lanes outside it, or by the two boundary lanes, which are then overwritten. Each value
// is a candidate of its cell as in the row kernels, under the same bound.

// Whether an anti-diagonal pass runs instead of the row kernels: a match/mismatch model (the
// symbols are compared in the sweep) and enough rows and columns for vectors to fill.
bool diagonal_pass_suits(const SubstitutionScoring& scoring, std::size_t rows, std::size_t n) {
    return scoring.matrix_ptr() == nullptr && rows >= 64 && n >= 64;
}

#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vl")

// The operations of one lane width.
template <class T>
struct DiagonalOps;

template <>
struct DiagonalOps<std::int16_t> {
    using Mask = __mmask32;
    static constexpr std::size_t lanes = 32;
    [[gnu::always_inline]] static __m512i set1(std::int32_t v) {
        return _mm512_set1_epi16(static_cast<std::int16_t>(v));
    }
    [[gnu::always_inline]] static __m512i add(__m512i a, __m512i b) {
        return _mm512_add_epi16(a, b);
    }
    [[gnu::always_inline]] static __m512i max(__m512i a, __m512i b) {
        return _mm512_max_epi16(a, b);
    }
    // Lane l from lane l - 1 of x, lane 0 from the last lane of before.
    [[gnu::always_inline]] static __m512i shifted(__m512i x, __m512i before, __m512i index) {
        return _mm512_permutex2var_epi16(x, index, before);
    }
    [[gnu::always_inline]] static __m512i shift_index() {
        return _mm512_and_si512(
            _mm512_sub_epi16(_mm512_loadu_si512(kIota16.data()), _mm512_set1_epi16(1)),
            _mm512_set1_epi16(63));
    }
    [[gnu::always_inline]] static Mask same(const char* a, const char* b) {
        return _mm256_cmpeq_epi8_mask(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a)),
                                      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b)));
    }
    [[gnu::always_inline]] static __m512i blend(Mask k, __m512i if_clear, __m512i if_set) {
        return _mm512_mask_blend_epi16(k, if_clear, if_set);
    }
    [[gnu::always_inline]] static __m512i put(__m512i x, Mask k, __m512i v) {
        return _mm512_mask_mov_epi16(x, k, v);
    }
    [[gnu::always_inline]] static __m512i max_where(__m512i x, Mask k, __m512i v) {
        return _mm512_mask_max_epi16(x, k, x, v);
    }
    [[gnu::always_inline]] static std::int32_t highest(__m512i x) {
        const __m512i high = _mm512_srai_epi32(x, 16);
        const __m512i low = _mm512_srai_epi32(_mm512_slli_epi32(x, 16), 16);
        return _mm512_reduce_max_epi32(_mm512_max_epi32(high, low));
    }
};

template <>
struct DiagonalOps<std::int32_t> {
    using Mask = __mmask16;
    static constexpr std::size_t lanes = 16;
    [[gnu::always_inline]] static __m512i set1(std::int32_t v) { return _mm512_set1_epi32(v); }
    [[gnu::always_inline]] static __m512i add(__m512i a, __m512i b) {
        return _mm512_add_epi32(a, b);
    }
    [[gnu::always_inline]] static __m512i max(__m512i a, __m512i b) {
        return _mm512_maskz_max_epi32(0xFFFF, a, b);
    }
    [[gnu::always_inline]] static __m512i shifted(__m512i x, __m512i before, __m512i) {
        return _mm512_maskz_alignr_epi32(0xFFFF, x, before, 15);
    }
    [[gnu::always_inline]] static __m512i shift_index() { return _mm512_setzero_si512(); }
    [[gnu::always_inline]] static Mask same(const char* a, const char* b) {
        return _mm_cmpeq_epi8_mask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a)),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(b)));
    }
    [[gnu::always_inline]] static __m512i blend(Mask k, __m512i if_clear, __m512i if_set) {
        return _mm512_mask_blend_epi32(k, if_clear, if_set);
    }
    [[gnu::always_inline]] static __m512i put(__m512i x, Mask k, __m512i v) {
        return _mm512_mask_mov_epi32(x, k, v);
    }
    [[gnu::always_inline]] static __m512i max_where(__m512i x, Mask k, __m512i v) {
        return _mm512_mask_max_epi32(x, k, x, v);
    }
    [[gnu::always_inline]] static std::int32_t highest(__m512i x) {
        return _mm512_reduce_max_epi32(x);
    }
};

#pragma GCC pop_options

// The pass over `query` from `row` (n + 1 values), leaving the last row in `row`; with kLocal
// the floor at 0 (from a row of zeros) and the best cell, which it returns.
template <class T, bool kLocal>
__attribute__((target("avx512bw,avx512vl"))) std::int32_t diagonal_pass(
    std::span<std::int32_t> row, std::string_view query, std::string_view target,
    const SubstitutionScoring& scoring, std::int32_t gap) {
    using Ops = DiagonalOps<T>;
    using Mask = typename Ops::Mask;
    constexpr auto lanes = static_cast<std::int64_t>(Ops::lanes);
    const auto m = static_cast<std::int64_t>(query.size());
    const auto n = static_cast<std::int64_t>(target.size());

    // The query forward and the target reversed, with room on both sides for whole vectors.
    constexpr std::int64_t slack = 64;
    std::vector<char> q(static_cast<std::size_t>(m + 2 * slack), 0);
    std::copy(query.begin(), query.end(), q.begin() + slack);
    std::vector<char> r(static_cast<std::size_t>(n + 2 * slack), 0);
    std::reverse_copy(target.begin(), target.end(), r.begin() + slack);

    // Three anti-diagonals, offsets -lanes to the last vector's end, offset 0 on a cache line.
    const std::int64_t span = lanes + (m + 1 + lanes - 1) / lanes * lanes + lanes;
    std::vector<T> storage(static_cast<std::size_t>(3 * span) + kPad<T>);
    T* const base = aligned_at(storage, static_cast<std::size_t>(lanes));
    T* older = base + lanes;
    T* old = older + span;
    T* next = old + span;

    const auto& mm = scoring.match_mismatch_values();
    const __m512i if_match = Ops::set1(mm.match_score);
    const __m512i if_mismatch =
        Ops::set1(static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(mm.mismatch_penalty)));
    const __m512i gaps = Ops::set1(gap);
    const __m512i zero = _mm512_setzero_si512();
    const __m512i index = Ops::shift_index();
    const std::int32_t first_column = row[0];
    __m512i best = zero;

    for (std::int64_t t = 0; t <= m + n; ++t) {
        const std::int64_t lo = std::max<std::int64_t>(0, t - n);
        const std::int64_t hi = std::min(m, t);
        const std::int64_t k0 = lo / lanes * lanes;
        const std::int64_t k_end = hi / lanes * lanes + lanes;
        // Offset k is (k, t - k): query[k - 1] and target[t - k - 1] = reversed[n - t + k].
        const char* const qs = q.data() + slack - 1;
        const char* const ts = r.data() + slack + (n - t);
        __m512i old_before = zero;
        __m512i older_before = zero;
        if (k0 > 0) {
            old_before = _mm512_load_si512(old + k0 - lanes);
            older_before = _mm512_load_si512(older + k0 - lanes);
        }
        for (std::int64_t k = k0; k < k_end; k += lanes) {
            const __m512i left = _mm512_load_si512(old + k);
            const __m512i up = Ops::shifted(left, old_before, index);
            const __m512i older_here = _mm512_load_si512(older + k);
            const __m512i diagonal = Ops::shifted(older_here, older_before, index);
            old_before = left;
            older_before = older_here;
            const __m512i s = Ops::blend(Ops::same(qs + k, ts + k), if_mismatch, if_match);
            __m512i v = Ops::max(Ops::add(diagonal, s), Ops::add(Ops::max(up, left), gaps));
            if constexpr (kLocal)
                v = Ops::max(v, zero);
            // The pass's first row at offset 0, column 0 at offset t.
            if (k == 0 && t <= n)
                v = Ops::put(v, Mask{1}, Ops::set1(row[static_cast<std::size_t>(t)]));
            if (t <= m && k <= t && t - k < lanes)
                v = Ops::put(v, static_cast<Mask>(Mask{1} << (t - k)),
                             Ops::set1(kLocal ? 0
                                              : static_cast<std::int32_t>(
                                                    first_column +
                                                    static_cast<std::int64_t>(t) * gap)));
            if constexpr (kLocal) {
                const std::int64_t from = std::max(lo - k, std::int64_t{0});
                const std::int64_t to = std::min(hi - k, lanes - 1);
                const auto live = static_cast<Mask>(
                    (~std::uint64_t{0} << from) & (~std::uint64_t{0} >> (63 - to)));
                best = Ops::max_where(best, live, v);
            }
            _mm512_store_si512(next + k, v);
        }
        // Row m, column t - m, lies at offset m.
        if (t >= m)
            row[static_cast<std::size_t>(t - m)] = next[m];
        T* const free = older;
        older = old;
        old = next;
        next = free;
    }
    return kLocal ? Ops::highest(best) : 0;
}

#pragma GCC diagnostic pop
#endif  // RUX_LINEAR_X86

template <class T, bool kLocal>
RowKernel<T> row_kernel(simd::Isa isa) {
#ifdef RUX_LINEAR_X86
    if constexpr (std::is_same_v<T, std::int16_t>) {
        if (isa == simd::Isa::avx512bw)
            return row16_avx512<kLocal>;
        if (isa == simd::Isa::avx2)
            return row16_avx2<kLocal>;
    } else {
        if (isa == simd::Isa::avx512bw)
            return row32_avx512<kLocal>;
        if (isa == simd::Isa::avx2)
            return row32_avx2<kLocal>;
    }
#endif
    (void)isa;
    return row_scalar<T, kLocal>;
}

// One vector pass in lane type T over the rows of `query`, starting from `row`.
template <class T, bool kLocal>
std::int32_t vector_pass(simd::Isa isa, std::span<std::int32_t> row, std::string_view query,
                         std::string_view target, const SubstitutionScoring& scoring,
                         std::int32_t gap, std::int32_t* table) {
    const std::size_t n = target.size();
#ifdef RUX_LINEAR_X86
    if (isa == simd::Isa::avx512bw && table == nullptr &&
        diagonal_pass_suits(scoring, query.size(), n))
        return diagonal_pass<T, kLocal>(row, query, target, scoring, gap);
#endif
    PassBuffers<T>& kept = kept_buffers<T>();
    const SubstitutionProfile<T> profile(scoring, query, target, kept.profile);
    const RowKernel<T> kernel = row_kernel<T, kLocal>(isa);
    std::vector<T> up_own;
    std::vector<T> cur_own;
    T* up = aligned_at(pass_storage(kept.up, up_own, n + 1 + 2 * kPad<T>), 1);
    T* cur = aligned_at(pass_storage(kept.cur, cur_own, n + 1 + 2 * kPad<T>), 1);
    for (std::size_t j = 0; j <= n; ++j)
        up[j] = static_cast<T>(row[j]);
    T best = 0;
    const auto lane_gap = static_cast<T>(gap);
#ifdef RUX_LINEAR_X86
    if constexpr (std::is_same_v<T, std::int16_t>) {
        if (isa == simd::Isa::avx512bw) {
            rows16_avx512<kLocal>(up, cur, profile, query, n, lane_gap, &best, table);
            for (std::size_t j = 0; j <= n; ++j)
                row[j] = up[j];
            return best;
        }
    }
#endif
    for (std::size_t i = 0; i < query.size(); ++i) {
        kernel(up, cur, profile.row(query[i]), n, lane_gap, &best);
        if (table != nullptr) {
            std::int32_t* out = table + i * (n + 1);
            for (std::size_t j = 0; j <= n; ++j)
                out[j] = cur[j];
        }
        std::swap(up, cur);
    }
    for (std::size_t j = 0; j <= n; ++j)
        row[j] = up[j];
    return best;
}

// The lowest and highest value of a non-empty row. Only asked for when the machine has AVX2 (a
// vector kernel may run), which has the 32-bit min and max that the baseline lacks.
#ifdef RUX_LINEAR_X86
__attribute__((target("avx2")))
#endif
std::pair<std::int32_t, std::int32_t>
row_range(std::span<const std::int32_t> row) {
    std::int32_t lo = row[0];
    std::int32_t hi = row[0];
    for (const std::int32_t v : row) {
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    return {lo, hi};
}

// The kernel for a pass: the active instruction set, the narrowest lanes the bound allows.
LinearKernel choose_kernel(std::span<const std::int32_t> row, std::uint64_t rows, std::uint64_t n,
                           const SubstitutionScoring& scoring, std::int32_t gap, bool origin,
                           bool local, simd::Lanes narrowest) {
    const simd::Isa isa = simd::active_isa();
    // Rows narrower than a few vectors gain nothing from the vector kernels.
    if (isa == simd::Isa::scalar || n < 16 || rows == 0)
        return {simd::Isa::scalar, simd::Lanes::scalar};
    std::int64_t f_min = 0;
    std::int64_t f_max = 0;
    if (!row.empty()) {
        const auto [lo, hi] = row_range(row);
        f_min = lo;
        f_max = hi;
    }
    const auto s = substitution_range(scoring);
    const simd::Lanes lanes =
        local && local_fits16(f_max, rows, n, gap, s)
            ? linear_lanes(0, narrowest)
            : linear_lanes(pass_magnitude(f_min, f_max, rows, n, gap, s, origin, local), narrowest);
    if (lanes == simd::Lanes::scalar)
        return {simd::Isa::scalar, simd::Lanes::scalar};
    return {isa, lanes};
}

}  // namespace

LinearKernel advance_linear_rows(std::span<std::int32_t> row, std::string_view query,
                                 std::string_view target, const SubstitutionScoring& scoring,
                                 std::int32_t gap, LinearStart start, std::int32_t* table,
                                 simd::Lanes narrowest) {
    const std::size_t n = target.size();
    invariant(row.size() == n + 1, "linear row width mismatch");
    const LinearKernel kernel = choose_kernel(
        row, query.size(), n, scoring, gap, start == LinearStart::global_origin, false, narrowest);
    switch (kernel.lanes) {
        case simd::Lanes::bits16:
            vector_pass<std::int16_t, false>(kernel.isa, row, query, target, scoring, gap, table);
            return kernel;
        case simd::Lanes::bits32:
            vector_pass<std::int32_t, false>(kernel.isa, row, query, target, scoring, gap, table);
            return kernel;
        case simd::Lanes::scalar:
            break;
    }
    PassBuffers<std::int32_t>& kept = kept_buffers<std::int32_t>();
    std::vector<std::int32_t> prev_own;
    std::vector<std::int32_t> next_own;
    std::vector<std::int32_t> srow_own;
    std::int32_t* prev = pass_storage(kept.up, prev_own, n + 1).data();
    std::int32_t* next = pass_storage(kept.cur, next_own, n + 1).data();
    std::int32_t* srow = pass_storage(kept.profile, srow_own, n).data();
    std::copy(row.begin(), row.end(), prev);
    // Rows go straight into the table when there is one; `above` is the last row formed.
    const std::int32_t* above = prev;
    const auto advance = [&](std::size_t i, auto&& form_row) {
        std::int32_t* out = table != nullptr ? table + i * (n + 1) : next;
        form_row(above, out);
        if (table != nullptr) {
            above = out;
        } else {
            std::swap(prev, next);
            above = prev;
        }
    };
    if (scoring.matrix_ptr() == nullptr) {
        // Match and mismatch need no profile row: the score is picked cell by cell.
        const auto& mm = scoring.match_mismatch_values();
        const std::int32_t match = mm.match_score;
        const auto mismatch =
            static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(mm.mismatch_penalty));
        const char* t = target.data();
        for (std::size_t i = 0; i < query.size(); ++i) {
            const char symbol = query[i];
            advance(i, [&](const std::int32_t* up, std::int32_t* cur) {
                cur[0] = wrap_add(up[0], gap);
                std::int32_t h = cur[0];
                for (std::size_t j = 1; j <= n; ++j) {
                    const std::int32_t diagonal =
                        wrap_add(up[j - 1], t[j - 1] == symbol ? match : mismatch);
                    const std::int32_t vertical = wrap_add(up[j], gap);
                    h = std::max(diagonal, std::max(vertical, wrap_add(h, gap)));
                    cur[j] = h;
                }
            });
        }
    } else {
        const SubstitutionRows rows(scoring, target);
        for (std::size_t i = 0; i < query.size(); ++i) {
            rows.fill(query[i], srow);
            advance(i, [&](const std::int32_t* up, std::int32_t* cur) {
                advance_nw_row_reference(up, cur, srow, n, gap);
            });
        }
    }
    std::copy(above, above + n + 1, row.begin());
    return kernel;
}

std::int32_t local_linear_best(std::string_view query, std::string_view target,
                               const SubstitutionScoring& scoring, std::int32_t gap,
                               simd::Lanes narrowest, LinearKernel* kernel_used) {
    const std::size_t n = target.size();
    std::vector<std::int32_t> row(n + 1, 0);
    const LinearKernel kernel =
        choose_kernel(row, query.size(), n, scoring, gap, false, true, narrowest);
    if (kernel_used != nullptr)
        *kernel_used = kernel;
    switch (kernel.lanes) {
        case simd::Lanes::bits16:
            return vector_pass<std::int16_t, true>(kernel.isa, row, query, target, scoring, gap,
                                                   nullptr);
        case simd::Lanes::bits32:
            return vector_pass<std::int32_t, true>(kernel.isa, row, query, target, scoring, gap,
                                                   nullptr);
        case simd::Lanes::scalar:
            break;
    }
    return local_linear_best_reference(query, target, scoring, gap);
}

namespace {

// The AVX-512 pass with predecessor bits, global or (with a track) local.
bool tight_pass(std::span<std::int32_t> row, std::string_view query, std::string_view target,
                const SubstitutionScoring& scoring, std::int32_t gap, LinearStart start,
                std::vector<std::uint32_t>& bits, LocalBestTrack* track) {
#ifdef RUX_LINEAR_X86
    const std::size_t n = target.size();
    invariant(row.size() == n + 1, "linear row width mismatch");
    const bool local = track != nullptr;
    const LinearKernel kernel = choose_kernel(row, query.size(), n, scoring, gap,
                                              start == LinearStart::global_origin, local,
                                              simd::Lanes::bits16);
    if (kernel.isa != simd::Isa::avx512bw || kernel.lanes == simd::Lanes::scalar)
        return false;
    const std::size_t words = tight_words(n);
    bits.resize(query.size() * 3 * words);
    const auto pass = [&]<class T>(T lane_gap, auto rows) {
        PassBuffers<T>& kept = kept_buffers<T>();
        const SubstitutionProfile<T> profile(scoring, query, target, kept.profile);
        std::vector<T> up_own;
        std::vector<T> cur_own;
        T* up = aligned_at(pass_storage(kept.up, up_own, n + 1 + 2 * kPad<T>), 1);
        T* cur = aligned_at(pass_storage(kept.cur, cur_own, n + 1 + 2 * kPad<T>), 1);
        for (std::size_t j = 0; j <= n; ++j)
            up[j] = static_cast<T>(row[j]);
        rows(up, cur, profile, query, n, lane_gap, bits.data(), words, track);
        // The kernels leave the last row in `up` (a swap after every row).
        const T* last = query.size() % 2 == 0 ? up : cur;
        for (std::size_t j = 0; j <= n; ++j)
            row[j] = last[j];
    };
    if (kernel.lanes == simd::Lanes::bits16)
        pass(static_cast<std::int16_t>(gap),
             local ? rows16_avx512_tight<true> : rows16_avx512_tight<false>);
    else
        pass(gap, local ? rows32_avx512_tight<true> : rows32_avx512_tight<false>);
    return true;
#else
    (void)row, (void)query, (void)target, (void)scoring, (void)gap, (void)start, (void)bits;
    (void)track;
    return false;
#endif
}

}  // namespace

bool advance_linear_rows_tight(std::span<std::int32_t> row, std::string_view query,
                               std::string_view target, const SubstitutionScoring& scoring,
                               std::int32_t gap, LinearStart start,
                               std::vector<std::uint32_t>& bits) {
    return tight_pass(row, query, target, scoring, gap, start, bits, nullptr);
}

bool advance_local_rows_tight(std::span<std::int32_t> row, std::string_view query,
                              std::string_view target, const SubstitutionScoring& scoring,
                              std::int32_t gap, LocalBestTrack& track,
                              std::vector<std::uint32_t>& bits) {
    return tight_pass(row, query, target, scoring, gap, LinearStart::any_row, bits, &track);
}

std::optional<std::int32_t> linear_tight_bits(std::string_view query, std::string_view target,
                                              const SubstitutionScoring& scoring, std::int32_t gap,
                                              std::vector<std::uint32_t>& bits) {
    std::vector<std::int32_t> row(target.size() + 1);
    for (std::size_t j = 1; j < row.size(); ++j)
        row[j] = wrap_add(row[j - 1], gap);
    if (!advance_linear_rows_tight(row, query, target, scoring, gap, LinearStart::global_origin,
                                   bits))
        return std::nullopt;
    return row.back();
}

bool carry_linear_origins(const std::uint32_t* row_bits, std::size_t n,
                          const std::uint32_t* above, std::uint32_t* out) {
#ifdef RUX_LINEAR_X86
    if (simd::active_isa() != simd::Isa::avx512bw)
        return false;
    carry_origins_avx512<false>(row_bits, tight_words(n), above, out, n, 0);
    return true;
#else
    (void)row_bits, (void)n, (void)above, (void)out;
    return false;
#endif
}

bool carry_local_origins(const std::uint32_t* row_bits, std::size_t n,
                         const std::uint64_t* above, std::uint64_t* out, std::uint64_t row_base) {
#ifdef RUX_LINEAR_X86
    if (simd::active_isa() != simd::Isa::avx512bw)
        return false;
    carry_local_origins_avx512(row_bits, tight_words(n), above, out, n, row_base);
    return true;
#else
    (void)row_bits, (void)n, (void)above, (void)out, (void)row_base;
    return false;
#endif
}

bool carry_local_origins(const std::uint32_t* row_bits, std::size_t n,
                         const std::uint32_t* above, std::uint32_t* out, std::uint32_t row_base) {
#ifdef RUX_LINEAR_X86
    if (simd::active_isa() != simd::Isa::avx512bw)
        return false;
    carry_origins_avx512<true>(row_bits, tight_words(n), above, out, n, row_base);
    return true;
#else
    (void)row_bits, (void)n, (void)above, (void)out, (void)row_base;
    return false;
#endif
}

}  // namespace rux_dp::detail
