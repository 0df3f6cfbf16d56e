// The banded global affine kernel. The band is stored by diagonal: row i keeps the offsets
// d = j - i + band for d in [0, 2 band], so the three neighbours of a cell sit at fixed offsets
// (diagonal d, up d + 1, left d - 1) and a row is a plain array that vector code can sweep. Scores
// live in two rolling rows; the traceback reads one byte per cell naming the predecessor of each
// state, chosen with the preferences of the cell-by-cell reference. A small band keeps those
// bytes for the whole table; a large one keeps the score rows of every R-th row instead and
// recomputes the bytes of one block of R rows at a time as the traceback walks up through it.

#include "rux_dp/problems/nw_affine.hpp"

#include "rux_dp/base/invariant.hpp"
#include "rux_dp/problems/kernel_detail.hpp"
#include "rux_dp/problems/simd_dispatch.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include <sys/mman.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace rux_dp {

namespace {

// The arithmetic below adds plainly and maps every value under `affine_usable_min` back to
// `neg_inf` once per cell. That equals the saturating, impossibility-aware arithmetic of the
// reference as long as every possible value and every step stays far from the sentinels: then a
// sum with an impossible operand stays below the threshold, and no possible value is ever near it.
constexpr std::int64_t plain_arithmetic_limit = std::int64_t{1} << 26;

struct RowArgs {
    const std::int32_t* pm;  // previous row, Match, indexed by diagonal offset (pads at -1, W)
    const std::int32_t* pt;  // previous row, GapInT
    const std::int32_t* ps;  // previous row, GapInS
    std::int32_t* cm;        // current row
    std::int32_t* ct;
    std::int32_t* cs;
    std::uint8_t* from;     // current row's predecessor codes; none when only scores are wanted
    const std::int32_t* s;  // substitution score per offset, unless read from the target
    std::size_t d0;         // first stored offset of the row
    std::size_t d1;         // last stored offset of the row
    std::int32_t oe;
    std::int32_t e;
    // A match/mismatch model on AVX-512 compares symbols in the row sweep instead: offset d holds
    // column col0 + (d - d0) + 1, so its target symbol is target[col0 + (d - d0)] (col0 is -1
    // when the row starts at column 0, which has no diagonal).
    const char* target = nullptr;
    std::int64_t col0 = 0;
    char symbol = 0;
    std::int32_t match_score = 0;
    std::int32_t mismatch_score = 0;
};

// A cell's predecessor code: bits 0-1 the state before a Match (Match, GapInT, GapInS), bit 2
// set when GapInT extends rather than opens, bit 3 the same for GapInS. Each is the first
// candidate, in that order, that reaches the cell's value.
constexpr std::uint8_t from_gap_in_t = 1;
constexpr std::uint8_t from_gap_in_s = 2;
constexpr std::uint8_t t_extends = 4;
constexpr std::uint8_t s_extends = 8;

inline std::int32_t clamp_impossible(std::int32_t v) { return v < affine_usable_min ? neg_inf : v; }

// The state the traceback starts in at (m, n): Match, replaced by GapInT if strictly greater, then
// by GapInS if strictly greater.
template <class Value>
std::size_t end_state(Value match, Value gap_in_t, Value gap_in_s) {
    std::size_t state = 0;
    Value best = match;
    if (gap_in_t > best) {
        state = 1;
        best = gap_in_t;
    }
    if (gap_in_s > best)
        state = 2;
    return state;
}

// The path from (m, n) in `state` back to (0, 0), each step by the code `code_of(i, j)` of the
// cell it leaves; nothing unless it arrives in Match. Every state on the way back has a possible
// value (its successor was reached from it), so each code names a predecessor.
template <class CodeOf>
std::optional<std::vector<AffineCell>> walk_back(std::uint64_t m, std::uint64_t n,
                                                 std::size_t state, const CodeOf& code_of) {
    std::vector<AffineCell> path;
    path.reserve(m + n + 1);
    std::uint64_t i = m;
    std::uint64_t j = n;
    path.push_back({.row = i, .col = j, .state = static_cast<AffineState>(state)});
    while (i > 0 || j > 0) {
        const std::uint8_t code = code_of(i, j);
        if (state == 0) {
            invariant(i > 0 && j > 0, "match state requires a diagonal predecessor");
            state = code & 3;
            --i;
            --j;
        } else if (state == 1) {
            invariant(i > 0, "gap-in-t state requires a vertical predecessor");
            state = (code & t_extends) != 0 ? 1 : 0;
            --i;
        } else {
            invariant(j > 0, "gap-in-s state requires a horizontal predecessor");
            state = (code & s_extends) != 0 ? 2 : 0;
            --j;
        }
        path.push_back({.row = i, .col = j, .state = static_cast<AffineState>(state)});
    }
    if (state != 0)
        return std::nullopt;
    std::reverse(path.begin(), path.end());
    return path;
}

// Match and GapInT of offsets [d0, d1], then GapInS left to right.
template <bool with_codes>
void banded_row_scalar(const RowArgs& a) {
    for (std::size_t d = a.d0; d <= a.d1; ++d) {
        const std::int32_t best = std::max(a.pm[d], std::max(a.pt[d], a.ps[d]));
        a.cm[d] = clamp_impossible(best + a.s[d]);
        const std::int32_t open = a.pm[d + 1] + a.oe;
        const std::int32_t extend = a.pt[d + 1] + a.e;
        a.ct[d] = clamp_impossible(std::max(open, extend));
        if constexpr (with_codes) {
            std::uint8_t code = a.pm[d] == best   ? 0
                                : a.pt[d] == best ? from_gap_in_t
                                                  : from_gap_in_s;
            if (open < extend)
                code |= t_extends;
            a.from[d] = code;
        }
    }
    std::int32_t left = neg_inf;  // GapInS of the offset before d0: not stored
    for (std::size_t d = a.d0; d <= a.d1; ++d) {
        const std::int32_t open = a.cm[d - 1] + a.oe;
        const std::int32_t extend = left + a.e;
        if (with_codes && open < extend)
            a.from[d] |= s_extends;
        left = clamp_impossible(std::max(open, extend));
        a.cs[d] = left;
    }
}

#if defined(__x86_64__)
// GCC 12's AVX-512 headers pass _mm512_undefined values on purpose.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#define RUX_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl")))

RUX_AVX512 inline __m512i clamp_impossible16(__m512i v) {
    return _mm512_mask_mov_epi32(
        v, _mm512_cmplt_epi32_mask(v, _mm512_set1_epi32(affine_usable_min)),
        _mm512_set1_epi32(neg_inf));
}

RUX_AVX512 inline __mmask16 live_lanes(std::size_t remaining) {
    return remaining >= 16 ? __mmask16{0xFFFF}
                           : static_cast<__mmask16>((1u << remaining) - 1u);
}

// The same row with 16 lanes, in one sweep. GapInS(d) = max(Match(d - 1) + oe, GapInS(d - 1) + e)
// is a max-plus prefix scan: four shift-and-max steps inside a vector, then the carry from the
// vector before. Only the last vector of a row stores under a mask, so the pads after it keep
// their values.
template <bool with_codes, bool from_target>
RUX_AVX512 void banded_row_avx512(const RowArgs& a) {
    const __m512i oe = _mm512_set1_epi32(a.oe);
    const __m512i e = _mm512_set1_epi32(a.e);
    const __m512i e2 = _mm512_add_epi32(e, e);
    const __m512i e4 = _mm512_add_epi32(e2, e2);
    const __m512i e8 = _mm512_add_epi32(e4, e4);
    const __m512i e16 = _mm512_add_epi32(e8, e8);
    const __m512i neg = _mm512_set1_epi32(neg_inf);
    const __m512i lane = _mm512_set_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    const __m512i ramp = _mm512_mullo_epi32(_mm512_add_epi32(lane, _mm512_set1_epi32(1)), e);
    const __m512i last = _mm512_set1_epi32(15);
    const __m512i code_t = _mm512_set1_epi32(from_gap_in_t);
    const __m512i code_s = _mm512_set1_epi32(from_gap_in_s);
    const __m512i code_t_extends = _mm512_set1_epi32(t_extends);
    const __m512i code_s_extends = _mm512_set1_epi32(s_extends);
    const __m128i symbol = _mm_set1_epi8(a.symbol);
    const __m512i if_match = _mm512_set1_epi32(a.match_score);
    const __m512i if_mismatch = _mm512_set1_epi32(a.mismatch_score);

    const std::size_t count = a.d1 - a.d0 + 1;
    __m512i carry = neg;                               // GapInS before the vector, every lane
    __m512i match_before = _mm512_set1_epi32(a.cm[a.d0 - 1]);  // Match before the vector, lane 15
    for (std::size_t k = 0; k < count; k += 16) {
        const std::size_t d = a.d0 + k;
        const bool full = count - k >= 16;
        const __mmask16 live = live_lanes(count - k);
        const __m512i pm = _mm512_maskz_loadu_epi32(live, a.pm + d);
        const __m512i pt = _mm512_maskz_loadu_epi32(live, a.pt + d);
        const __m512i ps = _mm512_maskz_loadu_epi32(live, a.ps + d);
        const __m512i best = _mm512_max_epi32(pm, _mm512_max_epi32(pt, ps));
        __m512i code = _mm512_setzero_si512();
        if constexpr (with_codes) {
            code = _mm512_mask_mov_epi32(code_s, _mm512_cmpeq_epi32_mask(pt, best), code_t);
            code = _mm512_maskz_mov_epi32(_mm512_cmpneq_epi32_mask(pm, best), code);
        }
        __m512i subst;
        if constexpr (from_target) {
            // Lane l of the first vector of a row that starts at column 0 takes the symbol
            // before its own; that lane has no diagonal and any score leaves it impossible.
            const __m128i symbols =
                a.col0 + static_cast<std::int64_t>(k) >= 0
                    ? _mm_maskz_loadu_epi8(live, a.target + a.col0 + static_cast<std::int64_t>(k))
                    : _mm_bslli_si128(_mm_maskz_loadu_epi8(live >> 1, a.target), 1);
            subst = _mm512_mask_blend_epi32(_mm_cmpeq_epi8_mask(symbols, symbol), if_mismatch,
                                            if_match);
        } else {
            subst = _mm512_maskz_loadu_epi32(live, a.s + d);
        }
        const __m512i match = clamp_impossible16(_mm512_add_epi32(best, subst));

        const __m512i t_open = _mm512_add_epi32(_mm512_maskz_loadu_epi32(live, a.pm + d + 1), oe);
        const __m512i t_extend = _mm512_add_epi32(_mm512_maskz_loadu_epi32(live, a.pt + d + 1), e);
        if constexpr (with_codes)
            code = _mm512_mask_or_epi32(code, _mm512_cmplt_epi32_mask(t_open, t_extend), code,
                                        code_t_extends);
        const __m512i gap_t = clamp_impossible16(_mm512_max_epi32(t_open, t_extend));

        const __m512i s_open = _mm512_add_epi32(_mm512_alignr_epi32(match, match_before, 15), oe);
        __m512i x = s_open;
        x = _mm512_max_epi32(x, _mm512_add_epi32(_mm512_alignr_epi32(x, neg, 15), e));
        x = _mm512_max_epi32(x, _mm512_add_epi32(_mm512_alignr_epi32(x, neg, 14), e2));
        x = _mm512_max_epi32(x, _mm512_add_epi32(_mm512_alignr_epi32(x, neg, 12), e4));
        x = _mm512_max_epi32(x, _mm512_add_epi32(_mm512_alignr_epi32(x, neg, 8), e8));
        const __m512i scan_last = _mm512_permutexvar_epi32(last, x);
        x = _mm512_max_epi32(x, _mm512_add_epi32(carry, ramp));
        // Not clamped (the clamp sat on the chain from vector to vector): the carry is at least
        // the lowest Match plus oe, far above where a sum could wrap, and an impossible carry
        // stays under every possible value it meets, so no possible value or code changes.
        carry = _mm512_max_epi32(scan_last, _mm512_add_epi32(carry, e16));
        // Extending won where opening does not reach the value.
        if constexpr (with_codes)
            code = _mm512_mask_or_epi32(code, _mm512_cmpneq_epi32_mask(s_open, x), code,
                                        code_s_extends);
        const __m512i gap_s = clamp_impossible16(x);
        match_before = match;

        if (full) {
            _mm512_storeu_si512(a.cm + d, match);
            _mm512_storeu_si512(a.ct + d, gap_t);
            _mm512_storeu_si512(a.cs + d, gap_s);
            if constexpr (with_codes)
                _mm_storeu_si128(reinterpret_cast<__m128i*>(a.from + d),
                                 _mm512_cvtepi32_epi8(code));
        } else {
            _mm512_mask_storeu_epi32(a.cm + d, live, match);
            _mm512_mask_storeu_epi32(a.ct + d, live, gap_t);
            _mm512_mask_storeu_epi32(a.cs + d, live, gap_s);
            if constexpr (with_codes)
                _mm_mask_storeu_epi8(a.from + d, live, _mm512_cvtepi32_epi8(code));
        }
    }
}

#undef RUX_AVX512
#pragma GCC diagnostic pop
#endif

void banded_row(const RowArgs& a) {
#if defined(__x86_64__)
    if (simd::active_isa() == simd::Isa::avx512bw) {
        if (a.target != nullptr) {
            if (a.from != nullptr)
                banded_row_avx512<true, true>(a);
            else
                banded_row_avx512<false, true>(a);
        } else {
            if (a.from != nullptr)
                banded_row_avx512<true, false>(a);
            else
                banded_row_avx512<false, false>(a);
        }
        return;
    }
#endif
    if (a.from != nullptr)
        banded_row_scalar<true>(a);
    else
        banded_row_scalar<false>(a);
}

}  // namespace

namespace {

// A table of `count` bytes that is written before it is read. Tables from 1 MiB up are mapped on
// 2 MiB boundaries and asked for huge pages: first-touch page faults of small pages otherwise
// cost as much as filling the band. Each thread keeps its last mapping of up to 32 MiB for the
// next table, so a batch of similar pairs does not map and fault its table in again and again.
class ByteTable {
public:
    explicit ByteTable(std::size_t count) : size_(std::max<std::size_t>(count, 1)) {
        if (size_ < huge / 2) {
            owned_ = std::make_unique_for_overwrite<std::uint8_t[]>(size_);
            data_ = owned_.get();
            return;
        }
        Mapping& kept = kept_mapping();
        if (kept.base != nullptr && kept.usable >= size_) {
            mapping_ = std::exchange(kept, Mapping{});
        } else {
            mapping_ = map(size_);
            if (mapping_.base == nullptr) {
                owned_ = std::make_unique_for_overwrite<std::uint8_t[]>(size_);
                data_ = owned_.get();
                return;
            }
        }
        data_ = mapping_.data;
    }
    ~ByteTable() {
        if (mapping_.base == nullptr) return;
        Mapping& kept = kept_mapping();
        if (mapping_.usable <= keep_limit && mapping_.usable >= kept.usable) {
            release(kept);
            kept = mapping_;
        } else {
            release(mapping_);
        }
    }
    ByteTable(const ByteTable&) = delete;
    ByteTable& operator=(const ByteTable&) = delete;
    std::uint8_t* data() { return data_; }

private:
    static constexpr std::size_t huge = std::size_t{2} << 20;
    static constexpr std::size_t keep_limit = std::size_t{32} << 20;

    struct Mapping {
        void* base = nullptr;
        std::size_t length = 0;
        std::uint8_t* data = nullptr;  // 2 MiB aligned inside the mapping
        std::size_t usable = 0;
    };
    // Released when the thread ends.
    struct Kept {
        Mapping mapping;
        ~Kept() { release(mapping); }
    };
    static Mapping& kept_mapping() {
        thread_local Kept kept;
        return kept.mapping;
    }
    static Mapping map(std::size_t size) {
        const std::size_t usable = (size + huge - 1) / huge * huge;
        const std::size_t length = usable + huge;
        void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return {};
        const auto address = reinterpret_cast<std::uintptr_t>(p);
        auto* data = reinterpret_cast<std::uint8_t*>((address + huge - 1) / huge * huge);
        madvise(data, usable, MADV_HUGEPAGE);
        return {.base = p, .length = length, .data = data, .usable = usable};
    }
    static void release(Mapping& m) {
        if (m.base != nullptr) munmap(m.base, m.length);
        m = Mapping{};
    }

    std::size_t size_;
    std::unique_ptr<std::uint8_t[]> owned_;
    Mapping mapping_;
    std::uint8_t* data_ = nullptr;
};

// Up to this many bytes the predecessor codes of the whole band are kept; a fast pair with a
// narrow band then pays for one pass only. Larger tables are traced from checkpoints.
constexpr std::uint64_t whole_table_limit = std::uint64_t{4} << 20;

std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b) {
    constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    return b != 0 && a > most / b ? most : a * b;
}

// Bytes of one checkpoint: the three score rows of a row, pads included.
std::uint64_t checkpoint_bytes(std::uint64_t width) {
    return 3 * (width + 2) * sizeof(std::int32_t);
}

// Rows per block of the checkpointed traceback: m / R checkpoints plus R rows of codes are
// smallest at R = sqrt(m * checkpoint / code row).
std::uint64_t block_rows_for(std::uint64_t m, std::uint64_t width) {
    const long double ratio = static_cast<long double>(checkpoint_bytes(width)) /
                              static_cast<long double>(width);
    const auto rows =
        static_cast<std::uint64_t>(std::ceil(std::sqrt(static_cast<long double>(m) * ratio)));
    return std::clamp<std::uint64_t>(rows, 1, std::max<std::uint64_t>(m, 1));
}

// Checkpoints of rows 0, R, 2R, ... below m, and the codes of row 0 and of one block.
std::uint64_t checkpointed_bytes(std::uint64_t m, std::uint64_t width, std::uint64_t block_rows) {
    const std::uint64_t checkpoints = m == 0 ? 1 : (m - 1) / block_rows + 1;
    const std::uint64_t code_rows = std::min(block_rows, m) + 1;
    return saturating_product(checkpoints, checkpoint_bytes(width)) +
           saturating_product(code_rows, width);
}

// The block height for tracing this band from checkpoints, or 0 to keep the whole table: when
// the table is small, or when checkpoints would not take less (a short query against a long
// target).
std::uint64_t planned_block_rows(std::uint64_t m, std::uint64_t n, std::uint64_t band) {
    const std::uint64_t table = banded_affine_table_bytes(m, n, band);
    if (table <= whole_table_limit)
        return 0;
    const std::uint64_t width = 2 * std::min(band, std::max(m, n)) + 1;
    const std::uint64_t rows = block_rows_for(m, width);
    return checkpointed_bytes(m, width, rows) < table ? rows : 0;
}

// The anti-diagonal pass keeps code_width = min(band, m, n) + 1 code bytes for each of the m + n
// anti-diagonals after the first; past the limit, checkpoints of two anti-diagonals (three
// 16-bit states each) every R of them and the codes of one block of R.
std::uint64_t diagonal_code_width(std::uint64_t m, std::uint64_t n, std::uint64_t band) {
    return std::min({band, m, n}) + 1;
}

// Offsets of one state of one anti-diagonal: vectors of 32 from offset 0, with one vector of room
// before and two after.
constexpr std::int64_t diagonal_front = 32;

std::size_t diagonal_len(std::uint64_t band) {
    return static_cast<std::size_t>(diagonal_front) + (band + 1 + 31) / 32 * 32 + 64;
}

std::uint64_t diagonal_checkpoint_bytes(std::uint64_t band) {
    return 2 * 3 * diagonal_len(band) * sizeof(std::int16_t);
}

// Anti-diagonals per block of the checkpointed traceback, or 0 to keep the whole table.
std::uint64_t planned_block_diagonals(std::uint64_t m, std::uint64_t n, std::uint64_t band) {
    const std::uint64_t width = diagonal_code_width(m, n, band);
    if (saturating_product(m + n, width) <= whole_table_limit)
        return 0;
    const long double ratio = static_cast<long double>(diagonal_checkpoint_bytes(band)) /
                              static_cast<long double>(width);
    const auto block = static_cast<std::uint64_t>(
        std::ceil(std::sqrt(static_cast<long double>(m + n) * ratio)));
    return std::clamp<std::uint64_t>(block, 1, m + n);
}

std::uint64_t diagonal_trace_bytes(std::uint64_t m, std::uint64_t n, std::uint64_t band) {
    const std::uint64_t width = diagonal_code_width(m, n, band);
    const std::uint64_t block = planned_block_diagonals(m, n, band);
    if (block == 0)
        return saturating_product(m + n, width);
    const std::uint64_t checkpoints = (m + n - 1) / block + 1;
    return saturating_product(checkpoints, diagonal_checkpoint_bytes(band)) +
           saturating_product(block, width);
}

// The anti-diagonal pass: a match/mismatch model with gap values <= 0 on AVX-512 sweeps the band
// by anti-diagonals t = i + j in 16-bit lanes. Each neighbour of a cell lies on one of the two
// anti-diagonals before it, so a vector of 32 cells needs no scan along a row. Cell (i, j) of
// anti-diagonal t sits at k = (j - i + band) / 2, rounded down; with p = (t + band) mod 2 its
// up neighbour (i - 1, j) is at k + p and its left one (i, j - 1) at k + p - 1 of t - 1, and its
// diagonal one at k of t - 2. The query is read reversed, so both sequences run forward along k.
// The codes are those of the row kernels, so the traceback takes the same path.
//
// Scores are kept relative to a base that moves with them (true value = stored value + base).
// With gap values <= 0 the possible values of nearby anti-diagonals stay close together. Take
// cells c = (i, j) and c' on anti-diagonals at most 4 apart, a possible value Q at c' and the
// path that realises it. Where that path last leaves the quadrant of rows <= i and columns <= j,
// it is on row i or column j at most 2 band cells from c, and gains at most (band + 2) S+ after
// that (one diagonal per row or column still to cross); a gap run along the row or column (after
// one diagonal step when the path is in the other gap state) reaches c in its best state with at
// least Q - (band + 2) S+ - 2 band G - |S-| - O. When c' lies inside the quadrant, a few diagonal
// and gap steps reach c. Each state of a cell is within |S-| + O of the best state of a cell one
// to three anti-diagonals before it (row 0 and column 0 hold gap runs from the start, within
// O + band G of 0). So two possible values of anti-diagonals t - 1 to t + 1 differ by at most
// W = band (S+ + 2 G) + 16 step (S+: the best substitution score if positive, S-: the worst if
// negative, G = |e|, O = |oe|, step: the largest of these magnitudes). After each anti-diagonal
// with a possible Match, it is moved back to 0 with the one before it when its best Match leaves
// [-rebase16, rebase16], so every value formed until the next check lies within
// rebase16 + W + step of 0; `diagonals16_fits` keeps that, with W counted twice, above
// `usable16`. Impossible values are exactly `none16`: adds of gap values <= 0 saturate there,
// and a Match, which adds a substitution score once, is clamped back.
constexpr std::int32_t none16 = -32768;
constexpr std::int32_t usable16 = -30000;
constexpr std::int32_t rebase16 = 8192;

// Whether the anti-diagonal pass runs this band: decided from the band and the scoring.
bool diagonals16_fits(const NwAffineProblem& problem, std::uint64_t band) {
#if defined(__x86_64__)
    if (simd::active_isa() != simd::Isa::avx512bw || problem.scoring.matrix_ptr() != nullptr)
        return false;
    if (problem.gap_open > 0 || problem.gap_extend > 0)
        return false;
    const auto& mm = problem.scoring.match_mismatch_values();
    const long double best = std::max({0.0L, static_cast<long double>(mm.match_score),
                                       -static_cast<long double>(mm.mismatch_penalty)});
    const long double gap = -static_cast<long double>(problem.gap_extend);
    const long double step =
        std::max({static_cast<long double>(problem.scoring.max_abs_score()),
                  -(static_cast<long double>(problem.gap_open) + problem.gap_extend), gap});
    const long double spread =
        static_cast<long double>(band) * (best + 2.0L * gap) + 16.0L * step;
    return rebase16 + 2.0L * spread + step <= 29000.0L;
#else
    (void)problem;
    (void)band;
    return false;
#endif
}

// The cells of anti-diagonal t with i <= rows and j <= cols inside the band, as offsets k from
// lo to hi (none when lo > hi).
struct DiagonalRange {
    std::int64_t lo;
    std::int64_t hi;
};

inline DiagonalRange diagonal_range(std::int64_t t, std::int64_t band, std::int64_t rows,
                                    std::int64_t cols) {
    const std::int64_t parity = (t + band) & 1;
    std::int64_t q0 = std::max({std::int64_t{0}, band - t, band + t - 2 * rows});
    std::int64_t q1 = std::min({2 * band, band + t, band + 2 * cols - t});
    q0 += (q0 ^ parity) & 1;
    q1 -= (q1 ^ parity) & 1;
    if (q0 > q1)
        return {1, 0};
    return {q0 >> 1, q1 >> 1};
}

// A 16-bit anti-diagonal pass: the sequences, the scoring and the moving base.
struct Diagonals16 {
    std::int64_t m = 0;
    std::int64_t n = 0;
    std::int64_t band = 0;
    std::size_t len = 0;         // entries of one state of one anti-diagonal, pads included
    std::size_t code_width = 0;  // code bytes kept per anti-diagonal
    std::int16_t oe = 0;
    std::int16_t e = 0;
    std::int16_t match_score = 0;
    std::int16_t mismatch_score = 0;
    const char* query_rev = nullptr;  // query[m - 1 - x] at x, readable from -64 to m + 64
    const char* target = nullptr;     // readable from -64 to n + 64
    std::int64_t base = 0;            // true value = stored value + base
};

// Three anti-diagonals, t - 2, t - 1 and the one being filled, each holding Match, GapInT and
// GapInS at slot + state * len + diagonal_front + k.
struct DiagonalSlots {
    std::int16_t* older;
    std::int16_t* old;
    std::int16_t* next;
};

constexpr std::array<std::int16_t, 32> lane_index16 = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                                                       11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                                                       22, 23, 24, 25, 26, 27, 28, 29, 30, 31};

// Both live anti-diagonals moved down by mu, impossible values kept impossible. Entries outside
// their cells are never read, whatever they become.
void rebase_diagonals16(Diagonals16& p, DiagonalSlots& s, std::int32_t mu) {
    for (std::int16_t* slot : {s.old, s.older})
        for (std::size_t x = 0; x < 3 * p.len; ++x)
            slot[x] = static_cast<std::int16_t>(slot[x] == none16 ? none16 : slot[x] - mu);
    p.base += mu;
}

#if defined(__x86_64__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#define RUX_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl")))

// What the sweep of one anti-diagonal reads and writes: the vectors of 32 offsets from k0 to
// k_end (multiples of 32) holding its cells lo to hi.
struct DiagonalSweep {
    const std::int16_t* dm;  // t - 2, diagonal neighbours
    const std::int16_t* dt;
    const std::int16_t* ds;
    const std::int16_t* om;  // t - 1, up and left neighbours
    const std::int16_t* ot;
    const std::int16_t* os;
    std::int16_t* cm;  // t
    std::int16_t* ct;
    std::int16_t* cs;
    const char* qs;           // query symbol of offset k at qs[k]
    const char* ts;           // target symbol of offset k at ts[k]
    std::uint8_t* code_row;   // code of offset k at code_row[k]
    std::int64_t lo, hi, k0, k_end;
};

struct DiagonalConstants {
    __m512i oe, e, none, usable, if_match, if_mismatch, down, up;
    __m256i code_t, code_s, code_t_extends, code_s_extends;
};

// One anti-diagonal; returns its best Match per lane. Every vector is stored whole, its lanes
// outside lo..hi impossible, so the stores of t - 1 and t - 2 are read back at the same offsets
// and sizes (a load that straddles two recent stores waits for them to reach the cache). The
// neighbour one lane off comes from registers: with parity 0 the left one is lane l - 1 (the
// vector before supplying lane 0), with parity 1 the up one is lane l + 1 (the vector after
// supplying lane 31).
template <bool with_codes, bool odd>
RUX_AVX512 __attribute__((always_inline)) inline __m512i sweep_diagonal16(
    const DiagonalConstants& c, const DiagonalSweep& a) {
    __m512i best_match = c.none;
    __m512i before_m = c.none;
    __m512i before_s = c.none;
    if (!odd && a.k0 > 0) {
        before_m = _mm512_loadu_si512(a.om + a.k0 - 32);
        before_s = _mm512_loadu_si512(a.os + a.k0 - 32);
    }
    for (std::int64_t k = a.k0; k < a.k_end; k += 32) {
        const std::uint32_t from_lo = k >= a.lo ? ~0u : ~0u << (a.lo - k);
        const std::uint32_t to_hi = a.hi - k >= 31 ? ~0u : (2u << (a.hi - k)) - 1u;
        const __mmask32 live = from_lo & to_hi;
        const __m512i diag_m = _mm512_loadu_si512(a.dm + k);
        const __m512i diag_t = _mm512_loadu_si512(a.dt + k);
        const __m512i diag_s = _mm512_loadu_si512(a.ds + k);
        const __m512i best = _mm512_max_epi16(diag_m, _mm512_max_epi16(diag_t, diag_s));
        const __m256i q = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a.qs + k));
        const __m256i r = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a.ts + k));
        const __m512i subst =
            _mm512_mask_blend_epi16(_mm256_cmpeq_epi8_mask(q, r), c.if_mismatch, c.if_match);
        __m512i match = _mm512_adds_epi16(best, subst);
        match = _mm512_mask_mov_epi16(match, _mm512_cmplt_epi16_mask(match, c.usable), c.none);

        const __m512i old_m = _mm512_loadu_si512(a.om + k);
        __m512i up_m, up_t, left_m, left_s;
        if constexpr (odd) {
            up_m = _mm512_permutex2var_epi16(old_m, c.up, _mm512_loadu_si512(a.om + k + 32));
            up_t = _mm512_permutex2var_epi16(_mm512_loadu_si512(a.ot + k), c.up,
                                             _mm512_loadu_si512(a.ot + k + 32));
            left_m = old_m;
            left_s = _mm512_loadu_si512(a.os + k);
        } else {
            const __m512i old_s = _mm512_loadu_si512(a.os + k);
            up_m = old_m;
            up_t = _mm512_loadu_si512(a.ot + k);
            left_m = _mm512_permutex2var_epi16(old_m, c.down, before_m);
            left_s = _mm512_permutex2var_epi16(old_s, c.down, before_s);
            before_m = old_m;
            before_s = old_s;
        }
        const __m512i t_open = _mm512_adds_epi16(up_m, c.oe);
        const __m512i t_extend = _mm512_adds_epi16(up_t, c.e);
        const __m512i s_open = _mm512_adds_epi16(left_m, c.oe);
        const __m512i s_extend = _mm512_adds_epi16(left_s, c.e);
        match = _mm512_mask_mov_epi16(c.none, live, match);
        best_match = _mm512_max_epi16(best_match, match);
        _mm512_storeu_si512(a.cm + k, match);
        _mm512_storeu_si512(a.ct + k,
                            _mm512_mask_max_epi16(c.none, live, t_open, t_extend));
        _mm512_storeu_si512(a.cs + k,
                            _mm512_mask_max_epi16(c.none, live, s_open, s_extend));
        if constexpr (with_codes) {
            __m256i code = _mm256_maskz_mov_epi8(
                _mm512_cmpneq_epi16_mask(diag_m, best),
                _mm256_mask_blend_epi8(_mm512_cmpeq_epi16_mask(diag_t, best), c.code_s,
                                       c.code_t));
            code = _mm256_or_si256(
                code, _mm256_maskz_mov_epi8(_mm512_cmplt_epi16_mask(t_open, t_extend),
                                            c.code_t_extends));
            code = _mm256_or_si256(
                code, _mm256_maskz_mov_epi8(_mm512_cmplt_epi16_mask(s_open, s_extend),
                                            c.code_s_extends));
            _mm256_mask_storeu_epi8(a.code_row + k, live, code);
        }
    }
    // The offsets next to the cells that the vectors above did not cover.
    if (a.lo == a.k0 && a.k0 > 0) {
        _mm512_storeu_si512(a.cm + a.k0 - 32, c.none);
        _mm512_storeu_si512(a.ct + a.k0 - 32, c.none);
        _mm512_storeu_si512(a.cs + a.k0 - 32, c.none);
    }
    if (a.hi + 1 == a.k_end) {
        _mm512_storeu_si512(a.cm + a.k_end, c.none);
        _mm512_storeu_si512(a.ct + a.k_end, c.none);
        _mm512_storeu_si512(a.cs + a.k_end, c.none);
    }
    return best_match;
}

// Anti-diagonals first to last after the two in s.older and s.old, restricted to the cells with
// i <= rows and j <= cols (every cell such a cell depends on obeys the same bounds). The codes
// of anti-diagonal t go to codes + (t - first) code_width, by offset from the first cell of
// the whole anti-diagonal, unless codes is null. On return s.older and s.old hold the last two.
template <bool with_codes>
RUX_AVX512 void diagonals16_avx512(Diagonals16& p, DiagonalSlots& s, std::int64_t first,
                                   std::int64_t last, std::int64_t rows, std::int64_t cols,
                                   std::uint8_t* codes) {
    const __m512i iota = _mm512_loadu_si512(lane_index16.data());
    const DiagonalConstants c{
        .oe = _mm512_set1_epi16(p.oe),
        .e = _mm512_set1_epi16(p.e),
        .none = _mm512_set1_epi16(none16),
        .usable = _mm512_set1_epi16(usable16),
        .if_match = _mm512_set1_epi16(p.match_score),
        .if_mismatch = _mm512_set1_epi16(p.mismatch_score),
        // Lane l from lane l - 1, lane 0 from the last lane of the second operand.
        .down = _mm512_and_si512(_mm512_sub_epi16(iota, _mm512_set1_epi16(1)),
                                 _mm512_set1_epi16(63)),
        // Lane l from lane l + 1, lane 31 from the first lane of the second operand.
        .up = _mm512_add_epi16(iota, _mm512_set1_epi16(1)),
        .code_t = _mm256_set1_epi8(from_gap_in_t),
        .code_s = _mm256_set1_epi8(from_gap_in_s),
        .code_t_extends = _mm256_set1_epi8(t_extends),
        .code_s_extends = _mm256_set1_epi8(s_extends),
    };
    const __m512i high = _mm512_set1_epi16(rebase16);
    const __m512i low = _mm512_set1_epi16(-rebase16);
    const std::int64_t band = p.band;
    const auto len = static_cast<std::int64_t>(p.len);

    for (std::int64_t t = first; t <= last; ++t) {
        const DiagonalRange cells = diagonal_range(t, band, rows, cols);
        std::int16_t* const next = s.next;
        __m512i best_match = c.none;
        if (cells.lo > cells.hi) {
            // Only a band of 0 has empty anti-diagonals (every other one); the offsets its
            // neighbours read are outside the band.
            for (std::int64_t state = 0; state < 3; ++state)
                _mm512_storeu_si512(next + state * len + diagonal_front, c.none);
        } else {
            const std::int64_t parity = (t + band) & 1;
            std::uint8_t* code_row = nullptr;
            if constexpr (with_codes)
                code_row = codes + (t - first) * static_cast<std::int64_t>(p.code_width) -
                           diagonal_range(t, band, p.m, p.n).lo;
            // Offset k is the cell (i, j) = ((t + band - parity) / 2 - k,
            // (t + parity - band) / 2 + k), scored on query[i - 1] = query_rev[m - i] and
            // target[j - 1].
            const DiagonalSweep a{
                .dm = s.older + diagonal_front,
                .dt = s.older + len + diagonal_front,
                .ds = s.older + 2 * len + diagonal_front,
                .om = s.old + diagonal_front,
                .ot = s.old + len + diagonal_front,
                .os = s.old + 2 * len + diagonal_front,
                .cm = next + diagonal_front,
                .ct = next + len + diagonal_front,
                .cs = next + 2 * len + diagonal_front,
                .qs = p.query_rev + (p.m - (t + band - parity) / 2),
                .ts = p.target + ((t + parity - band) / 2 - 1),
                .code_row = code_row,
                .lo = cells.lo,
                .hi = cells.hi,
                .k0 = cells.lo & ~std::int64_t{31},
                .k_end = (cells.hi & ~std::int64_t{31}) + 32,
            };
            best_match = parity != 0 ? sweep_diagonal16<with_codes, true>(c, a)
                                     : sweep_diagonal16<with_codes, false>(c, a);
        }
        s.next = s.older;
        s.older = s.old;
        s.old = next;
        const bool above = _mm512_cmpgt_epi16_mask(best_match, high) != 0;
        const bool below = _mm512_cmpge_epi16_mask(best_match, low) == 0 &&
                           _mm512_cmpge_epi16_mask(best_match, c.usable) != 0;
        if (above || below) {
            alignas(64) std::array<std::int16_t, 32> lanes{};
            _mm512_store_si512(lanes.data(), best_match);
            rebase_diagonals16(p, s, *std::max_element(lanes.begin(), lanes.end()));
        }
    }
}

#undef RUX_AVX512
#pragma GCC diagnostic pop
#endif

void diagonals16(Diagonals16& p, DiagonalSlots& s, std::int64_t first, std::int64_t last,
                 std::int64_t rows, std::int64_t cols, std::uint8_t* codes) {
#if defined(__x86_64__)
    if (codes != nullptr)
        diagonals16_avx512<true>(p, s, first, last, rows, cols, codes);
    else
        diagonals16_avx512<false>(p, s, first, last, rows, cols, codes);
#else
    (void)p;
    (void)s;
    (void)first;
    (void)last;
    (void)rows;
    (void)cols;
    (void)codes;
    invariant(false, "the anti-diagonal pass needs AVX-512");
#endif
}

// The band traced by anti-diagonals. Anti-diagonal t (1 to m + n) keeps code_width bytes of
// codes; a table over the limit keeps the two anti-diagonals of every R-th one instead and
// recomputes R of them at a time as the traceback walks down through them, restricted to the
// cells above and left of where the walk is.
std::optional<BandedAffineTrace> trace_diagonals16(const NwAffineProblem& problem,
                                                   std::uint64_t band_u,
                                                   std::uint64_t forced_block) {
    const std::uint64_t m_u = problem.query.size();
    const std::uint64_t n_u = problem.target.size();
    const auto m = static_cast<std::int64_t>(m_u);
    const auto n = static_cast<std::int64_t>(n_u);
    const auto band = static_cast<std::int64_t>(band_u);
    const std::int64_t diagonals = m + n;

    // Both sequences with 64 readable bytes on each side.
    constexpr std::int64_t slack = 64;
    std::vector<char> query_rev(static_cast<std::size_t>(m + 2 * slack), 0);
    std::reverse_copy(problem.query.begin(), problem.query.end(), query_rev.begin() + slack);
    std::vector<char> target(static_cast<std::size_t>(n + 2 * slack), 0);
    std::copy(problem.target.begin(), problem.target.end(), target.begin() + slack);

    const auto& mm = problem.scoring.match_mismatch_values();
    Diagonals16 p{.m = m,
                  .n = n,
                  .band = band,
                  .len = diagonal_len(band_u),
                  .code_width = static_cast<std::size_t>(diagonal_code_width(m_u, n_u, band_u)),
                  .oe = static_cast<std::int16_t>(problem.gap_open + problem.gap_extend),
                  .e = static_cast<std::int16_t>(problem.gap_extend),
                  .match_score = static_cast<std::int16_t>(mm.match_score),
                  .mismatch_score = static_cast<std::int16_t>(-mm.mismatch_penalty),
                  .query_rev = query_rev.data() + slack,
                  .target = target.data() + slack};

    // Three anti-diagonals of three states, on cache lines.
    const std::size_t slot_size = 3 * p.len;
    std::vector<std::int16_t> slot_memory(3 * slot_size + 32, static_cast<std::int16_t>(none16));
    std::int16_t* const slots = slot_memory.data() + (64 - reinterpret_cast<std::uintptr_t>(
                                                               slot_memory.data()) % 64) % 64 / 2;
    DiagonalSlots s{.older = slots, .old = slots + slot_size, .next = slots + 2 * slot_size};
    // Anti-diagonal 0: the start in Match; the one before it is all outside.
    s.old[diagonal_front + band / 2] = 0;

    std::int64_t block = static_cast<std::int64_t>(
        forced_block != 0 ? forced_block : planned_block_diagonals(m_u, n_u, band_u));
    const bool whole = block == 0 || diagonals == 0;
    if (!whole)
        block = std::clamp<std::int64_t>(block, 1, std::max<std::int64_t>(diagonals, 1));
    const std::int64_t held = whole ? diagonals : std::min(block, diagonals);
    ByteTable codes(static_cast<std::size_t>(held) * p.code_width);

    // Checkpoint c holds anti-diagonals c R - 1 and c R and the base.
    const std::int64_t checkpoints = whole ? 0 : (diagonals - 1) / block + 1;
    std::vector<std::int16_t> saved(static_cast<std::size_t>(checkpoints) * 2 * slot_size);
    std::vector<std::int64_t> saved_base(static_cast<std::size_t>(checkpoints));
    const auto save = [&](std::int64_t c) {
        std::int16_t* to = saved.data() + c * 2 * static_cast<std::int64_t>(slot_size);
        std::copy_n(s.older, slot_size, to);
        std::copy_n(s.old, slot_size, to + slot_size);
        saved_base[static_cast<std::size_t>(c)] = p.base;
    };
    const auto restore = [&](std::int64_t c) {
        const std::int16_t* from = saved.data() + c * 2 * static_cast<std::int64_t>(slot_size);
        std::copy_n(from, slot_size, s.older);
        std::copy_n(from + slot_size, slot_size, s.old);
        p.base = saved_base[static_cast<std::size_t>(c)];
    };

    if (whole) {
        if (diagonals > 0)
            diagonals16(p, s, 1, diagonals, m, n, codes.data());
    } else {
        for (std::int64_t c = 0; c < checkpoints; ++c) {
            save(c);
            diagonals16(p, s, c * block + 1, std::min((c + 1) * block, diagonals), m, n,
                        nullptr);
        }
    }

    // The end cell (m, n) on the last anti-diagonal.
    const std::int64_t end_k = (n - m + band) >> 1;
    const auto end_value = [&](std::size_t state) {
        return s.old[state * p.len + diagonal_front + end_k];
    };
    const std::size_t state = end_state(end_value(0), end_value(1), end_value(2));
    if (end_value(state) < usable16)
        return std::nullopt;
    const auto score = static_cast<std::int32_t>(end_value(state) + p.base);

    // The block whose codes are held; the walk goes down the anti-diagonals, so each block is
    // recomputed once, last first, from where the walk enters it.
    std::int64_t loaded = -1;
    const auto code_of = [&](std::uint64_t row, std::uint64_t col) -> std::uint8_t {
        const auto i = static_cast<std::int64_t>(row);
        const auto j = static_cast<std::int64_t>(col);
        invariant(j - i <= band && i - j <= band,
                  "banded affine traceback must stay inside the band");
        const std::int64_t t = i + j;
        const std::int64_t k = (j - i + band) >> 1;
        const std::int64_t offset = k - diagonal_range(t, band, m, n).lo;
        if (whole)
            return codes.data()[(t - 1) * static_cast<std::int64_t>(p.code_width) + offset];
        const std::int64_t c = (t - 1) / block;
        if (c != loaded) {
            // Only the cells above and left of (i, j) matter, but on row 0 or column 0 those
            // hold no Match to keep the base in step: the whole anti-diagonals are recomputed.
            restore(c);
            const bool edge = i == 0 || j == 0;
            diagonals16(p, s, c * block + 1, t, edge ? m : i, edge ? n : j, codes.data());
            loaded = c;
        }
        return codes.data()[(t - c * block - 1) * static_cast<std::int64_t>(p.code_width) +
                            offset];
    };

    auto path = walk_back(m_u, n_u, state, code_of);
    if (!path)
        return std::nullopt;
    return BandedAffineTrace{.path = std::move(*path), .score = score};
}

std::optional<BandedAffineTrace> trace_banded(const NwAffineProblem& problem, std::uint64_t band,
                                              std::uint64_t forced_block_rows) {
    const std::uint64_t m = problem.query.size();
    const std::uint64_t n = problem.target.size();
    if (band < (m > n ? m - n : n - m))
        return std::nullopt;
    // A band of max(m, n) already holds every cell, and so does any wider one.
    band = std::min(band, std::max(m, n));
    const auto abs64 = [](std::int64_t v) { return v < 0 ? -v : v; };
    const std::int64_t oe64 = static_cast<std::int64_t>(problem.gap_open) + problem.gap_extend;
    const std::int64_t step =
        std::max({problem.scoring.max_abs_score(), abs64(oe64), abs64(problem.gap_extend)});
    const long double reach = (static_cast<long double>(m) + static_cast<long double>(n) +
                               2.0L * static_cast<long double>(band) + 64.0L) *
                              static_cast<long double>(step);
    if (reach >= static_cast<long double>(plain_arithmetic_limit))
        return trace_banded_affine_reference(problem, band);
    if (diagonals16_fits(problem, band))
        return trace_diagonals16(problem, band, forced_block_rows);

    const std::int32_t oe = static_cast<std::int32_t>(oe64);
    const std::int32_t e = problem.gap_extend;
    const std::size_t width = 2 * band + 1;
    const std::size_t stride = width + 2;  // a pad on each side
    // 0: the codes of every row are kept.
    const std::uint64_t block_rows =
        forced_block_rows != 0 ? forced_block_rows : planned_block_rows(m, n, band);

    // Two rolling rows of scores per state.
    std::vector<std::int32_t> scores(6 * stride, neg_inf);
    const auto row_of = [&](std::size_t state, std::uint64_t i) {
        return scores.data() + (state * 2 + (i & 1)) * stride + 1;
    };
    // Offsets of row i: columns max(0, i - band) to min(i + band, n).
    const auto first_offset = [&](std::uint64_t i) { return i >= band ? 0 : band - i; };
    const auto last_offset = [&](std::uint64_t i) {
        return n + band - i >= 2 * band ? 2 * band : n + band - i;
    };
    // The next row reads this one from offset d0 - 1 to d1 + 1 at most (the band moves by one
    // offset a row), and the row itself reads Match at d0 - 1, so the pads next to its stored
    // offsets are all that must be impossible.
    const auto pad_row = [&](std::uint64_t i, std::size_t d0, std::size_t d1) {
        for (std::size_t state = 0; state < 3; ++state) {
            std::int32_t* r = row_of(state, i);
            r[static_cast<std::ptrdiff_t>(d0) - 1] = neg_inf;
            r[d1 + 1] = neg_inf;
        }
    };
    // Row 0: the start in Match at column 0, then a gap along the target.
    const auto fill_first_row = [&](std::uint8_t* codes) {
        const std::size_t d1 = last_offset(0);
        pad_row(0, band, d1);
        std::int32_t* cm = row_of(0, 0);
        std::int32_t* ct = row_of(1, 0);
        std::int32_t* cs = row_of(2, 0);
        cm[band] = 0;
        ct[band] = neg_inf;
        cs[band] = neg_inf;
        codes[band] = 0;
        for (std::size_t d = band + 1; d <= d1; ++d) {
            cm[d] = neg_inf;
            ct[d] = neg_inf;
            const std::int32_t open = cm[d - 1] + oe;
            const std::int32_t extend = cs[d - 1] + e;
            codes[d] = open < extend ? s_extends : 0;
            cs[d] = clamp_impossible(std::max(open, extend));
        }
    };
    std::vector<std::int32_t> srow(width + 1, 0);
    const detail::SubstitutionRows subst(problem.scoring, problem.target);
    // A match/mismatch model on AVX-512 is scored inside the row sweep, without a row of scores.
    const char* direct_target = nullptr;
    std::int32_t match_score = 0;
    std::int32_t mismatch_score = 0;
#if defined(__x86_64__)
    if (problem.scoring.matrix_ptr() == nullptr && simd::active_isa() == simd::Isa::avx512bw) {
        const auto& mm = problem.scoring.match_mismatch_values();
        direct_target = problem.target.data();
        match_score = mm.match_score;
        // The negated penalty, as the model scores it.
        mismatch_score =
            static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(mm.mismatch_penalty));
    }
#endif
    // Row i from row i - 1, up to column `last_col`; `codes` may be null. A cell depends only on
    // the row before it and on cells to its left, so a row recomputed from a restored checkpoint,
    // even cut short on the right, gets the same scores and codes up to where it stops.
    const auto fill_row = [&](std::uint64_t i, std::uint8_t* codes, std::uint64_t last_col) {
        const std::size_t d0 = first_offset(i);
        const std::size_t d1 = std::min<std::uint64_t>(last_offset(i), last_col + band - i);
        invariant(d0 <= d1, "current band cell must exist while filling");
        pad_row(i, d0, d1);
        // Column j = i + d - band. The cell of column 0 has no diagonal predecessor: its diagonal
        // neighbour is a pad, so its Match comes out impossible.
        const std::size_t ds = i <= band ? d0 + 1 : d0;
        if (ds <= d1 && direct_target == nullptr)
            subst.fill(problem.query[i - 1], srow.data() + ds, i + ds - band - 1, i + d1 - band);
        banded_row(RowArgs{.pm = row_of(0, i - 1),
                           .pt = row_of(1, i - 1),
                           .ps = row_of(2, i - 1),
                           .cm = row_of(0, i),
                           .ct = row_of(1, i),
                           .cs = row_of(2, i),
                           .from = codes,
                           .s = srow.data(),
                           .d0 = d0,
                           .d1 = d1,
                           .oe = oe,
                           .e = e,
                           .target = direct_target,
                           .col0 = static_cast<std::int64_t>(i + d0) -
                                   static_cast<std::int64_t>(band) - 1,
                           .symbol = problem.query[i - 1],
                           .match_score = match_score,
                           .mismatch_score = mismatch_score});
    };
    // The three score rows of row i, pads included, to and from a checkpoint.
    const auto save_row = [&](std::uint64_t i, std::int32_t* to) {
        for (std::size_t state = 0; state < 3; ++state)
            std::copy_n(row_of(state, i) - 1, stride, to + state * stride);
    };
    const auto restore_row = [&](std::uint64_t i, const std::int32_t* from) {
        for (std::size_t state = 0; state < 3; ++state)
            std::copy_n(from + state * stride, stride, row_of(state, i) - 1);
    };

    // Whole table: the codes of row i at i * width. Checkpointed: row 0's codes, the score rows
    // of rows 0, R, 2R, ... below m, and room for the codes of one block of R rows, which the
    // traceback recomputes from the block's checkpoint when it enters the block.
    const bool whole = block_rows == 0;
    const std::uint64_t checkpoints = whole ? 0 : (m == 0 ? 1 : (m - 1) / block_rows + 1);
    ByteTable from(whole ? static_cast<std::size_t>(m + 1) * width
                         : static_cast<std::size_t>(std::min(block_rows, m) + 1) * width);
    std::uint8_t* const first_codes = from.data();
    std::uint8_t* const block_codes = from.data() + width;  // rows below row 0 (whole: all)
    std::vector<std::int32_t> saved(static_cast<std::size_t>(checkpoints) * 3 * stride);

    fill_first_row(first_codes);
    if (!whole)
        save_row(0, saved.data());
    for (std::uint64_t i = 1; i <= m; ++i) {
        if (whole) {
            fill_row(i, block_codes + (i - 1) * width, n);
            continue;
        }
        fill_row(i, nullptr, n);
        if (i % block_rows == 0 && i < m)
            save_row(i, saved.data() + (i / block_rows) * 3 * stride);
    }

    const std::size_t end_offset = n + band - m;
    const auto end_value = [&](std::size_t state) { return row_of(state, m)[end_offset]; };
    const std::size_t state = end_state(end_value(0), end_value(1), end_value(2));
    const std::int32_t best = end_value(state);
    if (best < affine_usable_min)
        return std::nullopt;

    // The block whose codes sit in `block_codes`; the walk goes up, so each block is recomputed
    // once, last block first. The walk enters a block on its last row at column j and stays at or
    // left of j, so the block's rows are recomputed up to column j only.
    std::uint64_t loaded = std::numeric_limits<std::uint64_t>::max();
    const auto codes_of = [&](std::uint64_t i, std::uint64_t j) -> const std::uint8_t* {
        if (i == 0)
            return first_codes;
        if (whole)
            return block_codes + (i - 1) * width;
        const std::uint64_t block = (i - 1) / block_rows;
        const std::uint64_t top = block * block_rows;
        if (block != loaded) {
            restore_row(top, saved.data() + block * 3 * stride);
            const std::uint64_t bottom = std::min(top + block_rows, m);
            for (std::uint64_t r = top + 1; r <= bottom; ++r)
                fill_row(r, block_codes + (r - top - 1) * width, j);
            loaded = block;
        }
        return block_codes + (i - top - 1) * width;
    };

    auto path = walk_back(m, n, state, [&](std::uint64_t i, std::uint64_t j) {
        const std::size_t d = j + band - i;
        invariant(d >= first_offset(i) && d <= last_offset(i),
                  "banded affine traceback must stay inside the band");
        return codes_of(i, j)[d];
    });
    if (!path)
        return std::nullopt;
    return BandedAffineTrace{.path = std::move(*path), .score = best};
}

}  // namespace

std::uint64_t banded_affine_table_bytes(std::uint64_t m, std::uint64_t n, std::uint64_t band) {
    const std::uint64_t width = 2 * std::min(band, std::max(m, n)) + 1;
    return saturating_product(m + 1, width);
}

std::uint64_t banded_affine_trace_bytes(const NwAffineProblem& problem, std::uint64_t band) {
    const std::uint64_t m = problem.query.size();
    const std::uint64_t n = problem.target.size();
    if (band < (m > n ? m - n : n - m))
        return 0;
    band = std::min(band, std::max(m, n));
    if (diagonals16_fits(problem, band))
        return diagonal_trace_bytes(m, n, band);
    const std::uint64_t rows = planned_block_rows(m, n, band);
    if (rows == 0)
        return banded_affine_table_bytes(m, n, band);
    return checkpointed_bytes(m, 2 * std::min(band, std::max(m, n)) + 1, rows);
}

std::optional<BandedAffineTrace> trace_banded_affine(const NwAffineProblem& problem,
                                                     std::uint64_t band) {
    return trace_banded(problem, band, 0);
}

namespace detail {

std::optional<BandedAffineTrace> trace_banded_affine_in_blocks(const NwAffineProblem& problem,
                                                               std::uint64_t band,
                                                               std::uint64_t block_rows) {
    invariant(block_rows > 0, "banded affine blocks must hold at least one row");
    return trace_banded(problem, band, block_rows);
}

}  // namespace detail

}  // namespace rux_dp
