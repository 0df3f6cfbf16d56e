#pragma once

// Vector versions of the global affine row recurrences (Gotoh 1982), exact to the value: a pass
// runs on 16-bit or 32-bit lanes only when a bound computed before the pass proves that every value
// fits, and otherwise reports that the caller must use its scalar rows.

#include "rux_dp/problems/nw_affine.hpp"
#include "rux_dp/problems/simd_dispatch.hpp"
#include "rux_dp/scoring/substitution.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string_view>

namespace rux_dp::detail {

/// The gap values of a problem: oe opens a gap (its first symbol), e extends it. The opening cost
/// saturates so that extreme gap values make gaps impossible instead of wrapping.
struct AffineGaps {
    std::int32_t oe;
    std::int32_t e;
};

inline AffineGaps affine_gaps(std::int32_t gap_open, std::int32_t gap_extend) {
    const std::int64_t oe = static_cast<std::int64_t>(gap_open) + gap_extend;
    const std::int64_t clamped = std::clamp<std::int64_t>(
        oe, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max());
    return {static_cast<std::int32_t>(clamped), gap_extend};
}

/// A fixed-size array of trivial values on 64-byte boundaries (one vector register per load).
template <class T>
class AlignedArray {
public:
    AlignedArray() = default;
    explicit AlignedArray(std::size_t size)
        : data_(static_cast<T*>(
            ::operator new (std::max<std::size_t>(size, 1) * sizeof(T), std::align_val_t{64}))),
          size_(size) {}
    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }
    std::size_t size() const { return size_; }

private:
    struct Free {
        void operator()(T* p) const { ::operator delete (p, std::align_val_t{64}); }
    };
    std::unique_ptr<T, Free> data_;
    std::size_t size_ = 0;
};

/// The lane width a pass of `rows` query symbols over `frontier` (target.size() + 1 columns) runs
/// on: bits16 or bits32 when the bound on every value of the pass fits, scalar when it does not or
/// when a matrix lacks one of the pass's symbols (the scalar rows then raise the model's
/// violation).
simd::Lanes affine_pass_lanes(const NwAffineFrontier& frontier, std::string_view rows,
                              std::string_view target, const SubstitutionScoring& scoring,
                              AffineGaps gaps);

/// Advances `frontier` over the query symbols `rows` (in order) against `target` with the vector
/// rows; false, leaving `frontier` unchanged, when no vector pass is exact (or none is available).
bool affine_forward_simd(NwAffineFrontier& frontier, std::string_view rows, std::string_view target,
                         const SubstitutionScoring& scoring, AffineGaps gaps);

/// The backward rows of a split: `below` holds B of the row under rows.back(); the rows are taken
/// from the last to the first, and `below` becomes B of the row of rows.front(). False, leaving
/// `below` unchanged, when no vector pass is exact.
bool affine_backward_simd(NwAffineFrontier& below, std::string_view rows, std::string_view target,
                          const SubstitutionScoring& scoring, AffineGaps gaps);

/// A leaf's full three-state table, rows 0 to rows.size(), filled by the vector rows and kept in
/// their striped lane layout.
class AffineLeafTable {
public:
    /// The table from `start` (row 0) over `rows` against `target`; nothing when no vector pass is
    /// exact.
    static std::optional<AffineLeafTable> fill(const NwAffineFrontier& start, std::string_view rows,
                                               std::string_view target,
                                               const SubstitutionScoring& scoring, AffineGaps gaps);

    /// The value the scalar table has in `state` at row i, column j (NEG_INF when impossible).
    std::int32_t value(AffineState state, std::size_t i, std::size_t j) const {
        const std::size_t at = i * row_size_ + (j % seg_) * lanes_ + j / seg_;
        const auto s = static_cast<std::size_t>(state);
        if (wide_) {
            const std::int32_t v = cells32_[s].data()[at];
            return v < affine_usable_min ? neg_inf : v;
        }
        const std::int16_t v = cells16_[s].data()[at];
        return v < impossible_below16 ? neg_inf : v;
    }

    /// 16-bit lane values below this stand for impossible states.
    static constexpr std::int32_t impossible_below16 = -16'384;

private:
    AffineLeafTable() = default;

    bool wide_ = false;  // 32-bit lanes
    std::size_t lanes_ = 1;
    std::size_t seg_ = 1;
    std::size_t row_size_ = 0;
    AlignedArray<std::int16_t> cells16_[3];
    AlignedArray<std::int32_t> cells32_[3];

    template <class Lane>
    static std::optional<AffineLeafTable> fill_lanes(const NwAffineFrontier& start,
                                                     std::string_view rows, std::string_view target,
                                                     const SubstitutionScoring& scoring,
                                                     AffineGaps gaps);
};

}  // namespace rux_dp::detail
