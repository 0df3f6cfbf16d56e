// The affine row kernels over striped rows, written once over a lane type V. nw_affine_simd.cpp
// includes this file once per instruction set, inside that set's `#pragma GCC target` region and
// namespace, so every function here is compiled for that set only (a template defined outside the
// region could not inline the intrinsics). No include guard on purpose.
//
// V provides: Lane, Reg, lanes, sentinel, load, store, set1, add (saturating for 16-bit lanes), max
// and shift_up<D>(x, fill) (lane l gets x(l - D), the first D lanes come from fill).
//
// Striped layout: a row of `lanes * seg` positions keeps position p in lane p / seg of vector
// p % seg, so position p - 1 is the same lane of the previous vector, except at a stripe start,
// where it is the last vector's previous lane (shift_up). Column 0 is lane 0 of vector 0; the
// positions past the last column only feed positions further right, which are padding too.

// x moved up by one lane; lane 0 becomes the impossible sentinel.
template <class V>
inline typename V::Reg shift_up(typename V::Reg x) {
    return V::template shift_up<1>(x, V::set1(V::sentinel));
}

// Z with Z(l) = max(Z(l), Z(l - d) + d * step) for d = D, 2D, 4D, ... below the lane count: a
// max-plus prefix scan in log2(lanes) steps (Hillis and Steele 1986).
template <class V, std::size_t D>
inline typename V::Reg scan_lanes(typename V::Reg z, std::int64_t step) {
    if constexpr (D >= V::lanes) {
        return z;
    } else {
        constexpr std::int64_t lo = std::numeric_limits<typename V::Lane>::min();
        constexpr std::int64_t hi = std::numeric_limits<typename V::Lane>::max();
        const auto shift = static_cast<std::int32_t>(
            std::clamp<std::int64_t>(static_cast<std::int64_t>(D) * step, lo, hi));
        const typename V::Reg moved = V::template shift_up<D>(z, V::set1(V::sentinel));
        return scan_lanes<V, 2 * D>(V::max(z, V::add(moved, V::set1(shift))), step);
    }
}

// The value carried into each stripe from the stripes before it: lane l gets Z(l - 1), where
// Z(l) = max(a(l), Z(l - 1) + step) and Z(-1) is impossible.
template <class V>
inline typename V::Reg carry_in(typename V::Reg a, std::int64_t step) {
    return shift_up<V>(scan_lanes<V, 1>(a, step));
}

// A row between two row kernels: the Match and GapInT values (or BM and BT), and for the scanned state
// only the part from within each stripe (P), plus one vector `carry` with the value carried into
// each stripe from the stripes to its left; the scanned state at vector k is max(P(k), carry +
// k * e). The next row applies that correction as it reads the row, so each row costs one sweep.
// A row without a pending correction has carry = sentinel.

// The scanned state of a row with its correction applied, in place.
template <class V>
void settle_row(typename V::Lane* scanned, typename V::Lane* carry_lanes, std::size_t seg,
                std::int32_t e_value) {
    using Reg = typename V::Reg;
    constexpr std::size_t n = V::lanes;
    const Reg e = V::set1(e_value);
    Reg carry = V::load(carry_lanes);
    for (std::size_t at = 0; at < seg * n; at += n) {
        V::store(scanned + at, V::max(V::load(scanned + at), carry));
        carry = V::add(carry, e);
    }
    V::store(carry_lanes, V::set1(V::sentinel));
}

// The scanned state of the row above at the last vector, corrected.
template <class V>
inline typename V::Reg settled_last(const typename V::Lane* scanned, typename V::Reg carry,
                                    std::size_t seg, std::int32_t e_value) {
    constexpr std::int64_t lo = std::numeric_limits<typename V::Lane>::min();
    constexpr std::int64_t hi = std::numeric_limits<typename V::Lane>::max();
    const auto ramp = static_cast<std::int32_t>(
        std::clamp<std::int64_t>(static_cast<std::int64_t>(seg - 1) * e_value, lo, hi));
    return V::max(V::load(scanned + (seg - 1) * V::lanes), V::add(carry, V::set1(ramp)));
}

// One forward row from the row above (p*, its correction in `carry`) into the current row (c*,
// which may be the same arrays: each vector is read before it is overwritten), leaving the
// current row's correction in `carry`. prof holds s(query symbol, target[p - 1]) at position p,
// 0 at column 0 and in the padding.
//   Match(p) = max(M, T, S)(above, p - 1) + s(p)
//   GapInT(p) = max(M(above, p) + oe, T(above, p) + e)
//   GapInS(p) = max(Match(p - 1) + oe, GapInS(p - 1) + e), a max-plus scan along the row: within
//   each stripe here, across stripes by carry_in.
template <class V>
void forward_row(const typename V::Lane* pm, const typename V::Lane* pt, const typename V::Lane* ps,
                 typename V::Lane* cm, typename V::Lane* ct, typename V::Lane* cs,
                 typename V::Lane* carry_lanes, const typename V::Lane* prof, std::size_t seg,
                 std::int32_t oe_value, std::int32_t e_value) {
    using Reg = typename V::Reg;
    constexpr std::size_t n = V::lanes;
    const Reg oe = V::set1(oe_value);
    const Reg e = V::set1(e_value);
    const Reg none = V::set1(V::sentinel);
    const std::size_t end = seg * n;
    const std::size_t last = end - n;
    Reg carry = V::load(carry_lanes);
    Reg diag = shift_up<V>(V::max(V::max(V::load(pm + last), V::load(pt + last)),
                                  settled_last<V>(ps, carry, seg, e_value)));
    Reg left_match = none;
    Reg gap = none;
    for (std::size_t at = 0; at < end; at += n) {
        const Reg up_m = V::load(pm + at);
        const Reg up_t = V::load(pt + at);
        const Reg up_s = V::max(V::load(ps + at), carry);
        carry = V::add(carry, e);
        const Reg m = V::add(diag, V::load(prof + at));
        V::store(ct + at, V::max(V::add(up_m, oe), V::add(up_t, e)));
        gap = V::max(V::add(left_match, oe), V::add(gap, e));
        V::store(cm + at, m);
        V::store(cs + at, gap);
        diag = V::max(V::max(up_m, up_t), up_s);
        left_match = m;
    }
    // GapInS at the first position of the next stripe, from this stripe alone.
    const Reg out = V::max(V::add(left_match, oe), V::add(gap, e));
    V::store(carry_lanes, carry_in<V>(out, static_cast<std::int64_t>(seg) * e_value));
}

// One backward row of a split from the row below (p*, its correction in `carry`) into the current
// row (c*, possibly the same arrays), positions counted from the right end (p = w - k). prof holds
// s(query symbol, target[w - p]) at position p, 0 at position 0 and in the padding. With
// d(p) = s(p) + BM(below, p - 1) and Q(p) = BS(p - 1), the best rest of a path that leaves p
// horizontally:
//   BT(p) = max(d, BT(below, p) + e)
//   Q(p) = max(d(p - 1), Q(p - 1) + e), the scanned state
//   BM(p) = max(d, BT(below, p) + oe, Q(p) + oe); the row keeps the part without Q, and the next
//   row (or the end of the pass) adds Q + oe once Q is corrected.
// BS itself is never read by the next row; at the end of the pass BS(p) = Q(p + 1).
template <class V>
void backward_row(const typename V::Lane* pm, const typename V::Lane* pt,
                  const typename V::Lane* ps, typename V::Lane* cm, typename V::Lane* ct,
                  typename V::Lane* cs, typename V::Lane* carry_lanes, const typename V::Lane* prof,
                  std::size_t seg, std::int32_t oe_value, std::int32_t e_value) {
    using Reg = typename V::Reg;
    constexpr std::size_t n = V::lanes;
    const Reg oe = V::set1(oe_value);
    const Reg e = V::set1(e_value);
    const Reg none = V::set1(V::sentinel);
    const std::size_t end = seg * n;
    const std::size_t last = end - n;
    Reg carry = V::load(carry_lanes);
    Reg diag = shift_up<V>(
        V::max(V::load(pm + last), V::add(settled_last<V>(ps, carry, seg, e_value), oe)));
    Reg left_d = none;
    Reg gap = none;
    for (std::size_t at = 0; at < end; at += n) {
        const Reg down_t = V::load(pt + at);
        const Reg down_m = V::max(V::load(pm + at), V::add(V::max(V::load(ps + at), carry), oe));
        carry = V::add(carry, e);
        const Reg d = V::add(diag, V::load(prof + at));
        V::store(ct + at, V::max(d, V::add(down_t, e)));
        V::store(cm + at, V::max(d, V::add(down_t, oe)));
        gap = V::max(left_d, V::add(gap, e));
        V::store(cs + at, gap);
        diag = down_m;
        left_d = d;
    }
    // Q at the first position of the next stripe, from this stripe alone.
    const Reg out = V::max(left_d, V::add(gap, e));
    V::store(carry_lanes, carry_in<V>(out, static_cast<std::int64_t>(seg) * e_value));
}

// The end of a backward pass: Q corrected, then BM completed with Q + oe.
template <class V>
void settle_backward(typename V::Lane* bm, typename V::Lane* q, typename V::Lane* carry_lanes,
                     std::size_t seg, std::int32_t oe_value, std::int32_t e_value) {
    settle_row<V>(q, carry_lanes, seg, e_value);
    const typename V::Reg oe = V::set1(oe_value);
    for (std::size_t at = 0; at < seg * V::lanes; at += V::lanes)
        V::store(bm + at, V::max(V::load(bm + at), V::add(V::load(q + at), oe)));
}
