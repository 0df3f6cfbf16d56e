#include "rux_dp/problems/nw_affine_simd.hpp"

#include "rux_dp/problems/kernel_detail.hpp"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

// Exactness. The scalar rows compute max-plus sums where an operand below -268,435,455 makes the
// result NEG_INF. A pass runs on vector lanes only when
//   bound = max |usable frontier value| + (rows + columns + 64) * max(|s|, |oe|, |e|)
// fits the lane width (simd::lanes_for), with s over the pairs the pass scores. Every value of the
// pass is the best sum along some chain of right and down steps inside the padded table (at most
// rows + columns + 32 steps, each at most max(...) in magnitude) from a frontier value or from the
// impossible sentinel, so:
// - a possible value stays within [-bound, bound]: no 32-bit arithmetic saturates, no usable
//   operand comes near the -268,435,455 threshold, and the scalar rows reduce to plain max-plus
//   with NEG_INF absorbing (normalise and the GapInS tie rule change nothing);
// - an impossible value starts at the sentinel and moves by at most `bound` either way (16-bit
//   adds saturate at the bottom, which only raises it): in [-32768, -24768] for 16-bit lanes, in
//   NEG_INF +- 2^26 for 32-bit lanes. A start set without Match, for instance, leaves a diagonal
//   of impossible Match cells that gain s per row; they stay far below every possible value and
//   below the threshold at which they are written back as NEG_INF.
// Substitution values below -268,435,455 (impossible Match cells in the scalar rows) exceed every
// vector bound, so such passes stay scalar.

namespace rux_dp::detail {

namespace {

template <class Lane>
struct LaneTraits;
template <>
struct LaneTraits<std::int16_t> {
    static constexpr std::int16_t sentinel = std::numeric_limits<std::int16_t>::min();
    static constexpr std::int32_t impossible_below = AffineLeafTable::impossible_below16;
};
template <>
struct LaneTraits<std::int32_t> {
    static constexpr std::int32_t sentinel = neg_inf;
    static constexpr std::int32_t impossible_below = affine_usable_min;
};

// One row kernel: (above or below: M, T, scanned state), (current: the same), carry, substitution
// profile, vectors per row, oe, e.
template <class Lane>
using RowKernel = void (*)(const Lane*, const Lane*, const Lane*, Lane*, Lane*, Lane*, Lane*,
                           const Lane*, std::size_t, std::int32_t, std::int32_t);

template <class Lane>
struct RowKernels {
    std::size_t lanes;
    RowKernel<Lane> forward;
    RowKernel<Lane> backward;
    void (*settle)(Lane* scanned, Lane* carry, std::size_t seg, std::int32_t e);
    void (*settle_backward)(Lane* bm, Lane* q, Lane* carry, std::size_t seg, std::int32_t oe,
                            std::int32_t e);
};

}  // namespace

#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2_rows {

struct V16 {
    using Lane = std::int16_t;
    using Reg = __m256i;
    static constexpr std::size_t lanes = 16;
    static constexpr Lane sentinel = LaneTraits<Lane>::sentinel;
    static Reg load(const Lane* p) { return _mm256_load_si256(reinterpret_cast<const Reg*>(p)); }
    static void store(Lane* p, Reg v) { _mm256_store_si256(reinterpret_cast<Reg*>(p), v); }
    static Reg set1(std::int32_t v) { return _mm256_set1_epi16(static_cast<std::int16_t>(v)); }
    static Reg add(Reg a, Reg b) { return _mm256_adds_epi16(a, b); }
    static Reg max(Reg a, Reg b) { return _mm256_max_epi16(a, b); }
    template <std::size_t D>
    static Reg shift_up(Reg x, Reg fill) {
        // [fill's low half, x's low half], then byte shifts within each half.
        const Reg low = _mm256_permute2x128_si256(x, fill, 0x02);
        if constexpr (D == 8)
            return low;
        else
            return _mm256_alignr_epi8(x, low, 16 - 2 * D);
    }
};

struct V32 {
    using Lane = std::int32_t;
    using Reg = __m256i;
    static constexpr std::size_t lanes = 8;
    static constexpr Lane sentinel = LaneTraits<Lane>::sentinel;
    static Reg load(const Lane* p) { return _mm256_load_si256(reinterpret_cast<const Reg*>(p)); }
    static void store(Lane* p, Reg v) { _mm256_store_si256(reinterpret_cast<Reg*>(p), v); }
    static Reg set1(std::int32_t v) { return _mm256_set1_epi32(v); }
    static Reg add(Reg a, Reg b) { return _mm256_add_epi32(a, b); }
    static Reg max(Reg a, Reg b) { return _mm256_max_epi32(a, b); }
    template <std::size_t D>
    static Reg shift_up(Reg x, Reg fill) {
        // Lane l takes lane l - D (mod 8); the first D lanes are replaced by fill.
        constexpr int d = static_cast<int>(D);
        const Reg index = _mm256_setr_epi32(-d & 7, (1 - d) & 7, (2 - d) & 7, (3 - d) & 7,
                                            (4 - d) & 7, (5 - d) & 7, (6 - d) & 7, (7 - d) & 7);
        return _mm256_blend_epi32(_mm256_permutevar8x32_epi32(x, index), fill, (1 << D) - 1);
    }
};

#include "rux_dp/problems/nw_affine_simd_rows.ipp"

const RowKernels<std::int16_t> rows16{V16::lanes, &forward_row<V16>, &backward_row<V16>,
                                      &settle_row<V16>, &settle_backward<V16>};
const RowKernels<std::int32_t> rows32{V32::lanes, &forward_row<V32>, &backward_row<V32>,
                                      &settle_row<V32>, &settle_backward<V32>};

}  // namespace avx2_rows
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vl")
namespace avx512_rows {

// GCC 12's _mm512_max_epi32 and _mm512_alignr_epi32 pass _mm512_undefined_epi32() and trip
// -Wuninitialized (gcc.gnu.org/bugzilla/show_bug.cgi?id=105593); the zero-masked forms with a
// full mask compile to the same instructions.
template <int Shift>
__m512i align32(__m512i high, __m512i low) {
    return _mm512_maskz_alignr_epi32(0xffff, high, low, Shift);
}

struct V16 {
    using Lane = std::int16_t;
    using Reg = __m512i;
    static constexpr std::size_t lanes = 32;
    static constexpr Lane sentinel = LaneTraits<Lane>::sentinel;
    static Reg load(const Lane* p) { return _mm512_load_si512(p); }
    static void store(Lane* p, Reg v) { _mm512_store_si512(p, v); }
    static Reg set1(std::int32_t v) { return _mm512_set1_epi16(static_cast<std::int16_t>(v)); }
    static Reg add(Reg a, Reg b) { return _mm512_adds_epi16(a, b); }
    static Reg max(Reg a, Reg b) { return _mm512_max_epi16(a, b); }
    template <std::size_t D>
    static Reg shift_up(Reg x, Reg fill) {
        if constexpr (D % 2 == 0) {
            return align32<16 - D / 2>(x, fill);
        } else {
            static_assert(D == 1);
            // x moved up by one 128-bit block, then a byte shift within each block.
            return _mm512_alignr_epi8(x, align32<12>(x, fill), 14);
        }
    }
};

struct V32 {
    using Lane = std::int32_t;
    using Reg = __m512i;
    static constexpr std::size_t lanes = 16;
    static constexpr Lane sentinel = LaneTraits<Lane>::sentinel;
    static Reg load(const Lane* p) { return _mm512_load_si512(p); }
    static void store(Lane* p, Reg v) { _mm512_store_si512(p, v); }
    static Reg set1(std::int32_t v) { return _mm512_set1_epi32(v); }
    static Reg add(Reg a, Reg b) { return _mm512_add_epi32(a, b); }
    static Reg max(Reg a, Reg b) { return _mm512_maskz_max_epi32(0xffff, a, b); }
    template <std::size_t D>
    static Reg shift_up(Reg x, Reg fill) {
        return align32<16 - D>(x, fill);
    }
};

#include "rux_dp/problems/nw_affine_simd_rows.ipp"

const RowKernels<std::int16_t> rows16{V16::lanes, &forward_row<V16>, &backward_row<V16>,
                                      &settle_row<V16>, &settle_backward<V16>};
const RowKernels<std::int32_t> rows32{V32::lanes, &forward_row<V32>, &backward_row<V32>,
                                      &settle_row<V32>, &settle_backward<V32>};

}  // namespace avx512_rows
#pragma GCC pop_options

namespace {

template <class Lane>
const RowKernels<Lane>& kernels_for(simd::Isa isa) {
    if constexpr (sizeof(Lane) == 2)
        return isa == simd::Isa::avx512bw ? avx512_rows::rows16 : avx2_rows::rows16;
    else
        return isa == simd::Isa::avx512bw ? avx512_rows::rows32 : avx2_rows::rows32;
}

// The striped layout of a row: position p at (p % seg) * lanes + p / seg.
struct Stripes {
    std::size_t lanes;
    std::size_t seg;  // vectors per row, at least 1
    std::size_t size() const { return lanes * seg; }

    // f(p, where p lives) for the positions p < count, without a division per position.
    template <class F>
    void each(std::size_t count, F&& f) const {
        for (std::size_t l = 0, p = 0; l < lanes && p < count; ++l)
            for (std::size_t k = 0; k < seg && p < count; ++k, ++p)
                f(p, k * lanes + l);
    }
};

Stripes stripes_for(std::size_t columns, std::size_t lanes) {
    return {lanes, std::max<std::size_t>(1, (columns + lanes - 1) / lanes)};
}

// Slack for the padding of a striped row and the carry steps between stripes.
constexpr std::int64_t lane_slack = 64;

// The largest |s| over the pairs the pass scores; nothing when a matrix lacks one of the symbols.
std::optional<std::int64_t> max_abs_substitution(const SubstitutionScoring& scoring,
                                                 std::string_view rows, std::string_view target) {
    std::array<bool, 256> in_rows{};
    std::array<bool, 256> in_target{};
    for (const char c : rows)
        in_rows[static_cast<std::uint8_t>(c)] = true;
    for (const char c : target)
        in_target[static_cast<std::uint8_t>(c)] = true;
    std::vector<std::uint8_t> a;
    std::vector<std::uint8_t> b;
    for (std::size_t c = 0; c < 256; ++c) {
        const auto symbol = static_cast<std::uint8_t>(c);
        if ((in_rows[c] || in_target[c]) && !scoring.contains(symbol))
            return std::nullopt;
        if (in_rows[c])
            a.push_back(symbol);
        if (in_target[c])
            b.push_back(symbol);
    }
    std::int64_t best = 0;
    for (const std::uint8_t x : a)
        for (const std::uint8_t y : b)
            best = std::max<std::int64_t>(best,
                                          std::abs(static_cast<std::int64_t>(scoring.score(x, y))));
    return best;
}

std::int64_t max_abs_usable(const NwAffineFrontier& f) {
    // Branch-free, so that it vectorises: impossible values count as 0.
    std::int32_t hi = 0;
    std::int32_t lo = 0;
    for (const auto* row : {&f.match, &f.gap_in_t, &f.gap_in_s}) {
        for (const std::int32_t v : *row) {
            const std::int32_t usable = v < affine_usable_min ? 0 : v;
            hi = std::max(hi, usable);
            lo = std::min(lo, usable);
        }
    }
    return std::max<std::int64_t>(hi, -static_cast<std::int64_t>(lo));
}

}  // namespace

simd::Lanes affine_pass_lanes(const NwAffineFrontier& frontier, std::string_view rows,
                              std::string_view target, const SubstitutionScoring& scoring,
                              AffineGaps gaps) {
    const std::size_t columns = target.size() + 1;
    if (frontier.match.size() != columns || frontier.gap_in_t.size() != columns
        || frontier.gap_in_s.size() != columns)
        return simd::Lanes::scalar;
    const std::optional<std::int64_t> s = max_abs_substitution(scoring, rows, target);
    if (!s)
        return simd::Lanes::scalar;
    const std::int64_t step = std::max({*s, std::abs(static_cast<std::int64_t>(gaps.oe)),
                                        std::abs(static_cast<std::int64_t>(gaps.e))});
    const std::int64_t start = max_abs_usable(frontier);
    constexpr std::int64_t limit = simd::kBound32 + 1;
    if (step > limit || start > limit)
        return simd::Lanes::scalar;
    const std::uint64_t chain = static_cast<std::uint64_t>(rows.size()) + columns + lane_slack;
    if (step != 0 && chain > static_cast<std::uint64_t>(limit))
        return simd::Lanes::scalar;
    return simd::lanes_for(start + static_cast<std::int64_t>(chain) * step);
}

namespace {

// The instruction set and lane width of a vector pass.
struct Plan {
    simd::Isa isa;
    simd::Lanes lanes;
};

std::optional<Plan> plan_pass(const NwAffineFrontier& frontier, std::string_view rows,
                              std::string_view target, const SubstitutionScoring& scoring,
                              AffineGaps gaps) {
    const simd::Isa isa = simd::active_isa();
    if (isa == simd::Isa::scalar || rows.empty())
        return std::nullopt;
    const simd::Lanes lanes = affine_pass_lanes(frontier, rows, target, scoring, gaps);
    if (lanes == simd::Lanes::scalar)
        return std::nullopt;
    return Plan{isa, lanes};
}

// Substitution rows of each distinct query symbol of the pass in the striped layout: position p
// holds s(symbol, target[p - 1]); column 0 and the padding hold 0.
template <class Lane>
class Profiles {
public:
    Profiles(const SubstitutionScoring& scoring, std::string_view rows, std::string_view target,
             Stripes stripes) {
        slot_.fill(-1);
        std::size_t count = 0;
        for (const char c : rows) {
            auto& slot = slot_[static_cast<std::uint8_t>(c)];
            if (slot < 0)
                slot = static_cast<int>(count++);
        }
        size_ = stripes.size();
        table_ = AlignedArray<Lane>(count * size_);
        std::fill(table_.data(), table_.data() + table_.size(), Lane{0});
        std::vector<std::int32_t> srow(target.size());
        const SubstitutionRows subs(scoring, target);
        for (std::size_t c = 0; c < 256; ++c) {
            if (slot_[c] < 0)
                continue;
            subs.fill(static_cast<char>(c), srow.data());
            Lane* out = table_.data() + static_cast<std::size_t>(slot_[c]) * size_;
            stripes.each(target.size() + 1, [&](std::size_t p, std::size_t at) {
                if (p > 0)
                    out[at] = static_cast<Lane>(srow[p - 1]);
            });
        }
    }
    const Lane* of(char symbol) const {
        return table_.data()
               + static_cast<std::size_t>(slot_[static_cast<std::uint8_t>(symbol)]) * size_;
    }

private:
    std::array<int, 256> slot_{};
    std::size_t size_ = 0;
    AlignedArray<Lane> table_;
};

// Three striped rows of one pass.
template <class Lane>
struct StripedRows {
    AlignedArray<Lane> match;
    AlignedArray<Lane> gap_in_t;
    AlignedArray<Lane> gap_in_s;

    explicit StripedRows(std::size_t size) : match(size), gap_in_t(size), gap_in_s(size) {}
};

// Row `f` into striped rows at `m`, `t`, `s`; column p goes to position p, or to w - p when
// `reversed`. Impossible values and the padding become the sentinel.
template <class Lane>
void to_lanes(const NwAffineFrontier& f, Stripes stripes, bool reversed, Lane* m, Lane* t,
              Lane* s) {
    const std::size_t w = f.match.size() - 1;
    constexpr Lane none = LaneTraits<Lane>::sentinel;
    std::fill(m, m + stripes.size(), none);
    std::fill(t, t + stripes.size(), none);
    std::fill(s, s + stripes.size(), none);
    const auto lane_value = [](std::int32_t v) {
        return v < affine_usable_min ? none : static_cast<Lane>(v);
    };
    stripes.each(w + 1, [&](std::size_t p, std::size_t at) {
        const std::size_t col = reversed ? w - p : p;
        m[at] = lane_value(f.match[col]);
        t[at] = lane_value(f.gap_in_t[col]);
        s[at] = lane_value(f.gap_in_s[col]);
    });
}

template <class Lane>
std::int32_t from_lane(Lane v) {
    return v < LaneTraits<Lane>::impossible_below ? neg_inf : static_cast<std::int32_t>(v);
}

template <class Lane>
void from_lanes(const Lane* m, const Lane* t, const Lane* s, Stripes stripes, NwAffineFrontier& f) {
    const std::size_t w = f.match.size() - 1;
    stripes.each(w + 1, [&](std::size_t p, std::size_t at) {
        f.match[p] = from_lane(m[at]);
        f.gap_in_t[p] = from_lane(t[at]);
        f.gap_in_s[p] = from_lane(s[at]);
    });
}

// Backward rows hold column k at position w - k, and Q(p) = BS(p - 1) instead of BS.
template <class Lane>
void from_backward_lanes(const Lane* m, const Lane* t, const Lane* q, Stripes stripes,
                         NwAffineFrontier& f) {
    const std::size_t w = f.match.size() - 1;
    stripes.each(w + 1, [&](std::size_t p, std::size_t at) {
        f.match[w - p] = from_lane(m[at]);
        f.gap_in_t[w - p] = from_lane(t[at]);
    });
    stripes.each(w + 2, [&](std::size_t p, std::size_t at) {
        if (p > 0)
            f.gap_in_s[w - (p - 1)] = from_lane(q[at]);
    });
}

// A carry vector without a pending correction.
template <class Lane>
AlignedArray<Lane> no_carry(std::size_t lanes) {
    AlignedArray<Lane> carry(lanes);
    std::fill(carry.data(), carry.data() + lanes, LaneTraits<Lane>::sentinel);
    return carry;
}

template <class Lane>
void forward_pass(simd::Isa isa, NwAffineFrontier& frontier, std::string_view rows,
                  std::string_view target, const SubstitutionScoring& scoring, AffineGaps gaps) {
    const RowKernels<Lane>& k = kernels_for<Lane>(isa);
    const Stripes stripes = stripes_for(target.size() + 1, k.lanes);
    StripedRows<Lane> cur(stripes.size());
    Lane* m = cur.match.data();
    Lane* t = cur.gap_in_t.data();
    Lane* s = cur.gap_in_s.data();
    AlignedArray<Lane> carry = no_carry<Lane>(k.lanes);
    to_lanes(frontier, stripes, false, m, t, s);
    const Profiles<Lane> profiles(scoring, rows, target, stripes);
    for (const char q : rows)
        k.forward(m, t, s, m, t, s, carry.data(), profiles.of(q), stripes.seg, gaps.oe, gaps.e);
    k.settle(s, carry.data(), stripes.seg, gaps.e);
    from_lanes<Lane>(m, t, s, stripes, frontier);
}

template <class Lane>
void backward_pass(simd::Isa isa, NwAffineFrontier& below, std::string_view rows,
                   std::string_view target, const SubstitutionScoring& scoring, AffineGaps gaps) {
    const RowKernels<Lane>& k = kernels_for<Lane>(isa);
    // One position past the left end: BS(w) = Q(w + 1).
    const Stripes stripes = stripes_for(target.size() + 2, k.lanes);
    StripedRows<Lane> cur(stripes.size());
    Lane* m = cur.match.data();
    Lane* t = cur.gap_in_t.data();
    Lane* q = cur.gap_in_s.data();
    AlignedArray<Lane> carry = no_carry<Lane>(k.lanes);
    // The row below is complete: its BM needs no Q, and Q starts impossible.
    to_lanes(below, stripes, true, m, t, q);
    std::fill(q, q + stripes.size(), LaneTraits<Lane>::sentinel);
    const std::string reversed_target(target.rbegin(), target.rend());
    const Profiles<Lane> profiles(scoring, rows, reversed_target, stripes);
    for (std::size_t r = rows.size(); r-- > 0;)
        k.backward(m, t, q, m, t, q, carry.data(), profiles.of(rows[r]), stripes.seg, gaps.oe,
                   gaps.e);
    k.settle_backward(m, q, carry.data(), stripes.seg, gaps.oe, gaps.e);
    from_backward_lanes<Lane>(m, t, q, stripes, below);
}

}  // namespace

bool affine_forward_simd(NwAffineFrontier& frontier, std::string_view rows, std::string_view target,
                         const SubstitutionScoring& scoring, AffineGaps gaps) {
    const std::optional<Plan> plan = plan_pass(frontier, rows, target, scoring, gaps);
    if (!plan)
        return false;
    if (plan->lanes == simd::Lanes::bits16)
        forward_pass<std::int16_t>(plan->isa, frontier, rows, target, scoring, gaps);
    else
        forward_pass<std::int32_t>(plan->isa, frontier, rows, target, scoring, gaps);
    return true;
}

bool affine_backward_simd(NwAffineFrontier& below, std::string_view rows, std::string_view target,
                          const SubstitutionScoring& scoring, AffineGaps gaps) {
    const std::optional<Plan> plan = plan_pass(below, rows, target, scoring, gaps);
    if (!plan)
        return false;
    if (plan->lanes == simd::Lanes::bits16)
        backward_pass<std::int16_t>(plan->isa, below, rows, target, scoring, gaps);
    else
        backward_pass<std::int32_t>(plan->isa, below, rows, target, scoring, gaps);
    return true;
}

template <class Lane>
std::optional<AffineLeafTable> AffineLeafTable::fill_lanes(const NwAffineFrontier& start,
                                                           std::string_view rows,
                                                           std::string_view target,
                                                           const SubstitutionScoring& scoring,
                                                           AffineGaps gaps) {
    const simd::Isa isa = simd::active_isa();
    const RowKernels<Lane>& k = kernels_for<Lane>(isa);
    const Stripes stripes = stripes_for(target.size() + 1, k.lanes);
    const std::size_t size = stripes.size();
    const std::size_t cells = (rows.size() + 1) * size;
    AffineLeafTable table;
    table.wide_ = sizeof(Lane) == 4;
    table.lanes_ = stripes.lanes;
    table.seg_ = stripes.seg;
    table.row_size_ = size;
    AlignedArray<Lane> arrays[3] = {AlignedArray<Lane>(cells), AlignedArray<Lane>(cells),
                                    AlignedArray<Lane>(cells)};
    Lane* m = arrays[0].data();
    Lane* t = arrays[1].data();
    Lane* s = arrays[2].data();
    to_lanes(start, stripes, false, m, t, s);
    const Profiles<Lane> profiles(scoring, rows, target, stripes);
    AlignedArray<Lane> carry = no_carry<Lane>(k.lanes);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const std::size_t up = i * size;
        const std::size_t at = up + size;
        k.forward(m + up, t + up, s + up, m + at, t + at, s + at, carry.data(),
                  profiles.of(rows[i]), stripes.seg, gaps.oe, gaps.e);
        // The traceback reads every row: settle each one.
        k.settle(s + at, carry.data(), stripes.seg, gaps.e);
    }
    for (std::size_t st = 0; st < 3; ++st) {
        if constexpr (sizeof(Lane) == 4)
            table.cells32_[st] = std::move(arrays[st]);
        else
            table.cells16_[st] = std::move(arrays[st]);
    }
    return table;
}

std::optional<AffineLeafTable> AffineLeafTable::fill(const NwAffineFrontier& start,
                                                     std::string_view rows, std::string_view target,
                                                     const SubstitutionScoring& scoring,
                                                     AffineGaps gaps) {
    if (simd::active_isa() == simd::Isa::scalar)
        return std::nullopt;
    const simd::Lanes lanes = affine_pass_lanes(start, rows, target, scoring, gaps);
    if (lanes == simd::Lanes::scalar || rows.empty())
        return std::nullopt;
    if (lanes == simd::Lanes::bits16)
        return fill_lanes<std::int16_t>(start, rows, target, scoring, gaps);
    return fill_lanes<std::int32_t>(start, rows, target, scoring, gaps);
}

}  // namespace rux_dp::detail
