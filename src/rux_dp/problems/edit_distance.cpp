#include "rux_dp/problems/edit_distance.hpp"

#include "rux_dp/base/invariant.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>

namespace rux_dp {

namespace {

constexpr std::uint64_t all_ones = ~std::uint64_t{0};
constexpr std::uint64_t u32_max = std::numeric_limits<std::uint32_t>::max();

std::uint32_t byte_cost(char a, char b) {
    return a == b ? 0 : 1;
}

// Myers 1999 in Hyyro's formulation, one word: bit i of VP / VN is the +1 / -1 vertical
// difference between rows i and i + 1 of the current column; the score tracks row m.
std::uint32_t myers_one_word(std::string_view query, std::string_view target) {
    const std::size_t m = query.size();
    std::array<std::uint64_t, 256> peq{};
    for (std::size_t i = 0; i < m; ++i)
        peq[static_cast<unsigned char>(query[i])] |= std::uint64_t{1} << i;
    const std::uint64_t mask = m == 64 ? all_ones : (std::uint64_t{1} << m) - 1;
    const std::uint64_t high = std::uint64_t{1} << (m - 1);

    std::uint64_t vp = mask;
    std::uint64_t vn = 0;
    auto score = static_cast<std::uint32_t>(m);
    for (const char c : target) {
        const std::uint64_t eq = peq[static_cast<unsigned char>(c)];
        const std::uint64_t d0 = ((((eq | vn) & vp) + vp) ^ vp) | eq | vn;
        const std::uint64_t hp = vn | ~((d0 & mask) | vp);
        const std::uint64_t hn = vp & d0 & mask;
        if (hp & high) {
            ++score;
        } else if (hn & high) {
            --score;
        }
        const std::uint64_t hps = ((hp & mask) << 1) | 1;
        vp = (~(d0 | hps) | (hn << 1)) & mask;
        vn = d0 & mask & hps;
    }
    return score;
}

// The block version: word w holds rows 64w to 64w + 63. The addition's carry and the horizontal
// differences' top bits ripple from word w to word w + 1. Word w's new VP / VN depend only on the
// old VP / VN of word w and on what word w - 1 passes up, so one pass can update them in place.
std::uint32_t myers_blocks(std::string_view query, std::string_view target) {
    const std::size_t m = query.size();
    const std::size_t words = (m + 63) / 64;
    const std::uint64_t last_mask = m % 64 == 0 ? all_ones : (std::uint64_t{1} << (m % 64)) - 1;
    const std::uint64_t high = std::uint64_t{1} << ((m - 1) % 64);

    // Symbol-major, so the words of one target symbol are contiguous.
    std::vector<std::uint64_t> peq(256 * words, 0);
    for (std::size_t i = 0; i < m; ++i)
        peq[static_cast<unsigned char>(query[i]) * words + i / 64] |= std::uint64_t{1} << (i % 64);
    std::vector<std::uint64_t> vp(words, all_ones);
    std::vector<std::uint64_t> vn(words, 0);
    vp[words - 1] = last_mask;

    auto score = static_cast<std::uint32_t>(m);
    const std::size_t last = words - 1;
    for (const char c : target) {
        const std::uint64_t* eq = peq.data() + static_cast<unsigned char>(c) * words;
        std::uint64_t carry = 0;
        // Row 0 of the table rises by 1 per column: a +1 horizontal difference enters word 0.
        std::uint64_t hp_in = 1;
        std::uint64_t hn_in = 0;
        for (std::size_t w = 0; w <= last; ++w) {
            const std::uint64_t wmask = w == last ? last_mask : all_ones;
            const std::uint64_t v_p = vp[w];
            const std::uint64_t v_n = vn[w];
            const std::uint64_t x = eq[w] | v_n;
            const std::uint64_t addend = x & v_p;
            const std::uint64_t partial = addend + v_p;
            const std::uint64_t sum = partial + carry;
            carry = static_cast<std::uint64_t>(partial < addend)
                    | static_cast<std::uint64_t>(sum < partial);
            const std::uint64_t d0 = ((sum ^ v_p) | x) & wmask;
            const std::uint64_t hp = (v_n | ~(v_p | d0)) & wmask;
            const std::uint64_t hn = d0 & v_p;
            if (w == last) {
                if (hp & high) {
                    ++score;
                } else if (hn & high) {
                    --score;
                }
            }
            const std::uint64_t hps = ((hp << 1) | hp_in) & wmask;
            vp[w] = (~(d0 | hps) | ((hn << 1) | hn_in)) & wmask;
            vn[w] = hps & d0;
            hp_in = hp >> 63;
            hn_in = hn >> 63;
        }
    }
    return score;
}

// The banded table: row i stores columns lo(i) to hi(i) contiguously in one buffer, allocated
// once; a column outside its row reads as `inf`.
class BandTable {
public:
    BandTable(std::uint64_t m, std::uint64_t n, std::uint64_t band, std::uint32_t inf)
        : n_(n), band_(band), inf_(inf), offsets_(m + 2, 0) {
        for (std::uint64_t i = 0; i <= m; ++i)
            offsets_[i + 1] = offsets_[i] + (hi(i) - lo(i) + 1);
        // Rows are written before they are read, so the buffer needs no initialisation, and
        // the rows after an early stop are never touched.
        values_ = std::make_unique_for_overwrite<std::uint32_t[]>(offsets_[m + 1]);
    }

    std::uint64_t lo(std::uint64_t i) const { return i > band_ ? i - band_ : 0; }
    std::uint64_t hi(std::uint64_t i) const {
        const std::uint64_t reach = band_ > all_ones - i ? all_ones : i + band_;
        return std::min(reach, n_);
    }
    std::uint32_t* row(std::uint64_t i) { return values_.get() + offsets_[i]; }
    std::uint32_t at(std::uint64_t i, std::uint64_t j) const {
        if (j < lo(i) || j > hi(i))
            return inf_;
        return values_[offsets_[i] + (j - lo(i))];
    }

private:
    std::uint64_t n_;
    std::uint64_t band_;
    std::uint32_t inf_;
    std::vector<std::uint64_t> offsets_;
    std::unique_ptr<std::uint32_t[]> values_;
};

// value + step, saturating at the largest 32-bit value (kept in 64 bits for the comparisons).
std::uint64_t plus(std::uint32_t value, std::uint32_t step) {
    return std::min(std::uint64_t{value} + step, u32_max);
}

std::uint64_t length_difference(std::string_view a, std::string_view b) {
    return a.size() > b.size() ? a.size() - b.size() : b.size() - a.size();
}

// The first band of the doubling schedules: one or two words around the diagonal.
constexpr std::uint64_t first_band = 64;

// Myers' match table for the banded kernels: bit r - 1 - 64b of word b of a symbol is set when
// query row r holds that symbol. Symbol-major, so a column reads contiguous words.
class MatchTable {
public:
    explicit MatchTable(std::string_view query)
        : rows_(query.size()), words_((query.size() + 63) / 64), bits_(256 * words_, 0) {
        for (std::size_t i = 0; i < query.size(); ++i)
            bits_[static_cast<unsigned char>(query[i]) * words_ + i / 64] |= std::uint64_t{1}
                                                                             << (i % 64);
    }

    std::uint64_t rows() const { return rows_; }
    std::size_t words() const { return words_; }
    const std::uint64_t* symbol(char c) const {
        return bits_.data() + static_cast<unsigned char>(c) * words_;
    }
    // The rows of block b, and the bit of its last row.
    std::uint64_t block_rows(std::size_t b) const {
        return std::min<std::uint64_t>(64, rows_ - 64 * std::uint64_t{b});
    }
    unsigned last_bit(std::size_t b) const { return static_cast<unsigned>(block_rows(b) - 1); }

private:
    std::uint64_t rows_;
    std::size_t words_;
    std::vector<std::uint64_t> bits_;
};

// The blocks of 64 rows each column computes for a cut-off k. A path through cell (i, j) costs at
// least |i - j| + |(m - i) - (n - j)|, so a path of cost <= k stays on the diagonals d = i - j
// with |d| + |d - (m - n)| <= k, that is ceil((m - n - k) / 2) <= d <= floor((m - n + k) / 2)
// (k >= |m - n|). Both block bounds are non-decreasing in j and rise by at most one per column.
class BlockBand {
public:
    BlockBand(std::uint64_t m, std::uint64_t n, std::uint64_t k)
        : m_(static_cast<std::int64_t>(m)) {
        const std::int64_t delta = m_ - static_cast<std::int64_t>(n);
        // Beyond m + n every diagonal is in; the cap keeps the arithmetic in range.
        const auto cut = static_cast<std::int64_t>(std::min(k, m + n));
        low_ = -floor_half(cut - delta);
        high_ = floor_half(delta + cut);
    }

    // Rows 1..m live in blocks; row r is bit (r - 1) % 64 of block (r - 1) / 64. Columns j >= 1.
    std::size_t first_block(std::uint64_t j) const {
        const std::int64_t row = std::max<std::int64_t>(1, static_cast<std::int64_t>(j) + low_);
        return static_cast<std::size_t>((row - 1) / 64);
    }
    std::size_t last_block(std::uint64_t j) const {
        const std::int64_t row = std::min(m_, static_cast<std::int64_t>(j) + high_);
        return static_cast<std::size_t>((row - 1) / 64);
    }

    // The most blocks any column computes: the band's diagonals span at most this many rows.
    std::size_t widest() const {
        const auto rows = static_cast<std::uint64_t>(high_ - low_ + 1);
        return static_cast<std::size_t>(
            std::min<std::uint64_t>(rows / 64 + 2, (static_cast<std::uint64_t>(m_) + 63) / 64));
    }

private:
    static std::int64_t floor_half(std::int64_t x) { return x >= 0 ? x / 2 : -((1 - x) / 2); }

    std::int64_t m_;
    std::int64_t low_ = 0;
    std::int64_t high_ = 0;
};

// A horizontal difference of +1 (p) or -1 (n) between two columns, entering a block's first row
// from the row above or leaving its last row.
struct HorizontalStep {
    std::uint64_t p;
    std::uint64_t n;
};

// One 64-row block of one column, Hyyro's block formulation: VP / VN of the previous column
// become those of this one; `in` is the step of the row above the block, the returned step that
// of the block's row `out_bit`. Bits above the last query row carry no meaning.
inline HorizontalStep advance_block(std::uint64_t& vp, std::uint64_t& vn, std::uint64_t eq,
                                    HorizontalStep in, unsigned out_bit) {
    const std::uint64_t xv = eq | vn;
    eq |= in.n;
    const std::uint64_t xh = (((eq & vp) + vp) ^ vp) | eq;
    std::uint64_t hp = vn | ~(xh | vp);
    std::uint64_t hn = vp & xh;
    const HorizontalStep out{(hp >> out_bit) & 1, (hn >> out_bit) & 1};
    hp = (hp << 1) | in.p;
    hn = (hn << 1) | in.n;
    vp = hn | ~(xv | hp);
    vn = hp & xv;
    return out;
}

// The banded columns after some column j: VP / VN of blocks `first_block(j)` to `last`, and
// with `Keep` the value at each of those blocks' last row (`score` is that of block `last`).
struct BandState {
    explicit BandState(std::size_t words) : vp(words), vn(words), bottom(words) {}

    std::vector<std::uint64_t> vp;
    std::vector<std::uint64_t> vn;
    std::vector<std::uint64_t> bottom;
    std::size_t last = 0;
    std::uint64_t score = 0;
};

// Column 0, where D(i, 0) = i exactly, for the blocks column 1 needs.
void start_columns(const MatchTable& peq, const BlockBand& band, BandState& state) {
    state.last = band.last_block(1);
    for (std::size_t b = 0; b <= state.last; ++b) {
        state.vp[b] = all_ones;
        state.vn[b] = 0;
        state.bottom[b] = 64 * std::uint64_t{b} + peq.block_rows(b);
    }
    state.score = state.bottom[state.last];
}

// Columns `begin` to `end` of the band, from the state after column begin - 1. Only the blocks of
// the band are updated; the row above the first block rises by 1 per column and a block that
// enters below starts one more per row than the block above it. Both only bound the true values
// from above, and every path within the band is computed exactly, so a result <= k is the
// distance and a result > k means the distance exceeds k (it is still the cost of some path).
// With `Keep`, the blocks' last-row values are followed and `column(j, first)` sees each column.
template <bool Keep, class Column>
void run_columns(const MatchTable& peq, std::string_view target, const BlockBand& band,
                 std::uint64_t begin, std::uint64_t end, BandState& state, Column&& column) {
    std::uint64_t* vp = state.vp.data();
    std::uint64_t* vn = state.vn.data();
    std::uint64_t* bottom = state.bottom.data();
    std::size_t last = state.last;
    std::uint64_t score = state.score;
    for (std::uint64_t j = begin; j <= end; ++j) {
        const std::size_t first = band.first_block(j);
        const std::size_t stop = band.last_block(j);
        while (last < stop) {
            ++last;
            vp[last] = all_ones;
            vn[last] = 0;
            score += peq.block_rows(last);
            if constexpr (Keep)
                bottom[last] = score;
        }
        const std::uint64_t* eq = peq.symbol(target[j - 1]);
        HorizontalStep step{1, 0};
        for (std::size_t b = first; b < last; ++b) {
            step = advance_block(vp[b], vn[b], eq[b], step, 63);
            if constexpr (Keep)
                bottom[b] = bottom[b] + step.p - step.n;
        }
        step = advance_block(vp[last], vn[last], eq[last], step, peq.last_bit(last));
        score = score + step.p - step.n;
        if constexpr (Keep) {
            bottom[last] = score;
            state.last = last;
            column(j, first);
        }
    }
    state.last = last;
    state.score = score;
}

// The value at row m, column n, computed within the band of cut-off k.
std::uint64_t banded_score(const MatchTable& peq, std::string_view target, std::uint64_t k,
                           BandState& state) {
    const BlockBand band(peq.rows(), target.size(), k);
    start_columns(peq, band, state);
    run_columns<false>(peq, target, band, 1, target.size(), state,
                       [](std::uint64_t, std::size_t) {});
    return state.score;
}

// Diagonal transition (Ukkonen, Landau and Vishkin): for each cost s, the furthest row reached
// with cost s on each diagonal k = j - i, |k| <= s. Values never decrease along a diagonal, so
// D(i, j) <= s exactly when row i is at most that furthest row. O(n + s^2) work for distance s,
// which beats the bit-parallel band while s stays below about max(m, n) / 64. With `Keep`,
// every wavefront is kept, (s + 1)^2 rows, for the traceback.
template <bool Keep>
class Wavefronts {
public:
    Wavefronts(std::string_view query, std::string_view target)
        : query_(query),
          target_(target),
          m_(static_cast<std::int64_t>(query.size())),
          n_(static_cast<std::int64_t>(target.size())) {}

    // Lengths up to this use 32-bit rows.
    static constexpr std::uint64_t longest = std::numeric_limits<std::int32_t>::max() / 2;

    // The distance if it is at most `limit`; nothing when it is larger, or when the progress
    // of the first costs predicts that it is far larger.
    std::optional<std::uint64_t> run(std::uint64_t limit) {
        const std::int64_t goal = n_ - m_;
        // Two wavefronts at fixed offsets, with a margin of unreached diagonals on both sides:
        // wavefront s overwrites all of wavefront s - 2's diagonals, so nothing else needs
        // clearing, and the neighbours k - 1 and k + 1 are always readable.
        const auto reach = static_cast<std::int64_t>(limit);
        std::vector<std::int32_t> first(static_cast<std::size_t>(2 * reach + 3), unreached);
        std::vector<std::int32_t> second(first.size(), unreached);
        std::int32_t* current = first.data() + reach + 1;
        std::int32_t* previous = second.data() + reach + 1;
        // Reserved, not touched: only the wavefronts computed reach memory.
        if constexpr (Keep)
            rows_.reserve(static_cast<std::size_t>((reach + 1) * (reach + 1)));
        for (std::int64_t cost = 0; cost <= reach; ++cost) {
            const std::int64_t low = -std::min(cost, m_);
            const std::int64_t high = std::min(cost, n_);
            if (cost == 0) {
                current[0] = static_cast<std::int32_t>(slide(0, 0));
            } else {
                // A substitution or a deletion from this diagonal's row, an insertion from the
                // diagonal below; a move past the table's edge stops at the edge, whose cell is
                // reached as cheaply. Rows fit 32 bits (see `longest`); this loop vectorises.
                const auto rows = static_cast<std::int32_t>(m_);
                const auto columns = static_cast<std::int32_t>(n_);
                for (auto k = static_cast<std::int32_t>(low); k <= high; ++k) {
                    const std::int32_t i =
                        std::max(previous[k] + 1, std::max(previous[k - 1], previous[k + 1] + 1));
                    current[k] = std::min(i, std::min(rows, columns - k));
                }
                for (std::int64_t k = low; k <= high; ++k)
                    current[k] = static_cast<std::int32_t>(slide(current[k], k));
            }
            if constexpr (Keep)
                rows_.insert(rows_.end(), current - cost, current + cost + 1);
            if (goal >= low && goal <= high && current[goal] >= m_)
                return static_cast<std::uint64_t>(cost);
            // Divergent pairs show early: if the rows reached so far extrapolate to a distance
            // beyond twice the limit, the band will be needed anyway.
            if (cost % 32 == 0 && cost > 0) {
                const std::int32_t furthest = *std::max_element(current + low, current + high + 1);
                if (furthest > 0 && cost * m_ > 2 * reach * std::int64_t{furthest})
                    return std::nullopt;
            }
            std::swap(current, previous);
        }
        return std::nullopt;
    }

    // D(i, j) <= cost, for cost within the wavefronts run (Keep only).
    bool within(std::uint64_t i, std::uint64_t j, std::int64_t cost) const {
        const auto k = static_cast<std::int64_t>(j) - static_cast<std::int64_t>(i);
        if (cost < 0 || k < -cost || k > cost)
            return false;
        return rows_[static_cast<std::size_t>(cost * cost + k + cost)]
               >= static_cast<std::int64_t>(i);
    }

private:
    static constexpr std::int32_t unreached = std::numeric_limits<std::int32_t>::min() / 2;

    // The last row of the run of matches from row i on diagonal k, 8 bytes at a time.
    [[gnu::always_inline]] std::int64_t slide(std::int64_t i, std::int64_t k) const {
        std::int64_t j = i + k;
        while (std::endian::native == std::endian::little && i + 8 <= m_ && j + 8 <= n_) {
            std::uint64_t a;
            std::uint64_t b;
            std::memcpy(&a, query_.data() + i, 8);
            std::memcpy(&b, target_.data() + j, 8);
            if (a != b) {
                // Little-endian: the lowest differing byte is the first mismatch.
                return i + std::countr_zero(a ^ b) / 8;
            }
            i += 8;
            j += 8;
        }
        while (i < m_ && j < n_
               && query_[static_cast<std::size_t>(i)] == target_[static_cast<std::size_t>(j)]) {
            ++i;
            ++j;
        }
        return i;
    }

    std::string_view query_;
    std::string_view target_;
    std::int64_t m_;
    std::int64_t n_;
    std::vector<std::int32_t> rows_;  // Keep: wavefront s at rows_[s * s], diagonal k at + k + s
};

// The largest distance diagonal transition is tried for before the bit-parallel band takes over;
// with the wavefronts kept for a traceback, also small enough for their (s + 1)^2 rows.
std::uint64_t wavefront_limit(std::string_view query, std::string_view target, bool keep) {
    const std::uint64_t longer = std::max(query.size(), target.size());
    if (longer > Wavefronts<false>::longest)
        return 0;
    const std::uint64_t limit = std::max<std::uint64_t>(16, longer / 64);
    return keep ? std::min<std::uint64_t>(limit, 4096) : limit;
}

// The exact distance, or with `bound_only` possibly just a bound no smaller than it, if the
// distance is at most `limit`; by passes with a growing cut-off. Both sequences are non-empty.
struct DistanceBound {
    std::uint64_t value;
    bool exact;
};
std::optional<DistanceBound> banded_distance(const MatchTable& peq, std::string_view query,
                                             std::string_view target, std::uint64_t limit,
                                             bool bound_only) {
    BandState state(peq.words());
    // Any cut-off of at least max(m, n) succeeds.
    const std::uint64_t cap = std::min<std::uint64_t>(limit, std::max(query.size(), target.size()));
    std::uint64_t k = std::min(cap, std::max(first_band, length_difference(query, target)));
    std::uint64_t previous = all_ones;
    while (true) {
        const std::uint64_t score = banded_score(peq, target, k, state);
        if (score <= k)
            return DistanceBound{score, true};
        if (k >= cap)
            return std::nullopt;
        // A failed pass still found a path: its cost bounds the distance, so a cut-off of that
        // cost must succeed. Narrow passes are cheap and their bound is usually the distance
        // itself: take the bound once it is within four times the cut-off or two passes agree
        // on it, else quadruple the cut-off.
        if (score <= cap && (score <= 4 * k || score == previous)) {
            if (bound_only)
                return DistanceBound{score, false};
            k = score;
        } else {
            k = std::min(4 * k, cap);
        }
        previous = score;
    }
}

// The banded table as vertical differences. The forward pass keeps every `segment`-th column
// (VP / VN words and the value at each block's last row); the traceback, which visits columns
// from n down to 0, recomputes one segment of columns at a time from its checkpoint into a buffer
// small enough to stay in cache. Any cell of the loaded segment reads in O(1).
class BitBandTable {
public:
    static constexpr std::uint64_t outside = std::uint64_t{1} << 62;
    static constexpr std::uint64_t segment = 64;

    BitBandTable(const MatchTable& peq, std::string_view target, std::uint64_t k)
        : peq_(peq), target_(target), band_(peq.rows(), target.size(), k), state_(peq.words()) {
        const std::uint64_t n = target.size();
        start_columns(peq, band_, state_);
        keep_checkpoint(0, 0);
        checkpoints_.reserve(n / segment + 1);
        // The blocks' last-row values are only needed at the checkpoints, where they follow
        // from the last block's by the vertical differences.
        for (std::uint64_t c = segment; c <= n; c += segment) {
            run_columns<false>(peq, target, band_, c - segment + 1, c, state_,
                               [](std::uint64_t, std::size_t) {});
            keep_checkpoint(c, band_.first_block(c));
        }
        run_columns<false>(peq, target, band_, n / segment * segment + 1, n, state_,
                           [](std::uint64_t, std::size_t) {});
        distance_ = state_.score;
    }

    // The value at (m, n): the distance, for a cut-off at least the distance.
    std::uint64_t distance() const { return distance_; }

    // Loads the segment holding columns j - 1 and j (j >= 1).
    void focus(std::uint64_t j) {
        const std::uint64_t begin = (j - 1) / segment * segment;
        if (loaded_ && begin == segment_begin_)
            return;
        loaded_ = true;
        segment_begin_ = begin;
        const Checkpoint& checkpoint = checkpoints_[begin / segment];
        const std::size_t count = checkpoint.words.size();
        for (std::size_t b = 0; b < count; ++b) {
            const std::size_t block = checkpoint.first + b;
            state_.vp[block] = checkpoint.words[b].vp;
            state_.vn[block] = checkpoint.words[b].vn;
            state_.bottom[block] = checkpoint.bottoms[b];
        }
        state_.last = checkpoint.first + count - 1;
        state_.score = state_.bottom[state_.last];
        const std::uint64_t end = std::min<std::uint64_t>(begin + segment, target_.size());
        // Column begin is the checkpoint itself; every later column has at most as many blocks
        // as the widest column of the band.
        const std::size_t width = band_.widest();
        words_.resize(count + (end - begin) * width);
        bottoms_.resize(words_.size());
        columns_.resize(end - begin + 1);
        std::copy(checkpoint.words.begin(), checkpoint.words.end(), words_.begin());
        std::copy(checkpoint.bottoms.begin(), checkpoint.bottoms.end(), bottoms_.begin());
        columns_[0] = 0;
        std::size_t used = count;
        run_columns<true>(peq_, target_, band_, begin + 1, end, state_,
                          [&](std::uint64_t column, std::size_t first) {
                              columns_[column - begin] = used;
                              Words* words = words_.data() + used;
                              std::uint64_t* bottoms = bottoms_.data() + used;
                              const std::size_t blocks = state_.last - first + 1;
                              for (std::size_t b = 0; b < blocks; ++b) {
                                  words[b] = {state_.vp[first + b], state_.vn[first + b]};
                                  bottoms[b] = state_.bottom[first + b];
                              }
                              used += blocks;
                          });
    }

    // D(r, j) for cells of the band (exact on every optimal path), `outside` elsewhere. Column j
    // must be in the loaded segment.
    std::uint64_t at(std::uint64_t r, std::uint64_t j) const {
        if (r == 0)
            return j;
        if (j == 0)
            return r;
        const std::size_t b = static_cast<std::size_t>((r - 1) / 64);
        const std::size_t first = band_.first_block(j);
        if (b < first || b > band_.last_block(j))
            return outside;
        const std::size_t index = columns_[j - segment_begin_] + (b - first);
        const Words& words = words_[index];
        // The differences of rows r + 1 to the block's last row lead from D(r, j) to its value.
        const auto bit = static_cast<unsigned>((r - 1) % 64);
        const std::uint64_t below =
            ((std::uint64_t{2} << peq_.last_bit(b)) - 1) & ~((std::uint64_t{2} << bit) - 1);
        return bottoms_[index] + static_cast<std::uint64_t>(std::popcount(words.vn & below))
               - static_cast<std::uint64_t>(std::popcount(words.vp & below));
    }

private:
    struct Words {
        std::uint64_t vp;
        std::uint64_t vn;
    };
    struct Checkpoint {
        std::size_t first;
        std::vector<Words> words;
        std::vector<std::uint64_t> bottoms;
    };

    void keep_checkpoint(std::uint64_t column, std::size_t first) {
        Checkpoint& checkpoint = checkpoints_.emplace_back();
        checkpoint.first = first;
        const std::size_t count = state_.last - first + 1;
        checkpoint.words.resize(count);
        checkpoint.bottoms.resize(count);
        // Column 0's values are exact already; later ones come down from the last block.
        std::uint64_t value = state_.score;
        for (std::size_t b = state_.last + 1; b-- > first;) {
            if (column > 0)
                state_.bottom[b] = value;
            const std::uint64_t rows = (std::uint64_t{2} << peq_.last_bit(b)) - 1;
            value = value - static_cast<std::uint64_t>(std::popcount(state_.vp[b] & rows))
                    + static_cast<std::uint64_t>(std::popcount(state_.vn[b] & rows));
            checkpoint.words[b - first] = {state_.vp[b], state_.vn[b]};
            checkpoint.bottoms[b - first] = state_.bottom[b];
        }
    }

    const MatchTable& peq_;
    std::string_view target_;
    BlockBand band_;
    BandState state_;
    std::uint64_t distance_ = 0;
    std::vector<Checkpoint> checkpoints_;
    bool loaded_ = false;
    std::uint64_t segment_begin_ = 0;
    // The loaded segment: column segment_begin_ + c starts at words_[columns_[c]].
    std::vector<std::size_t> columns_;
    std::vector<Words> words_;
    std::vector<std::uint64_t> bottoms_;
};

// The path from (0, 0) to (m, n) when one sequence is empty.
std::vector<PathCell> straight_cells(std::uint64_t m, std::uint64_t n) {
    std::vector<PathCell> cells;
    cells.reserve(m + n + 1);
    for (std::uint64_t i = 0; i <= m; ++i)
        cells.emplace_back(i, 0);
    for (std::uint64_t j = 1; j <= n; ++j)
        cells.emplace_back(0, j);
    return cells;
}

// The traceback of `trace_banded_reference` on a bit table whose cut-off is at least the
// distance. Every cell the reference's order could step to lies on an optimal path, which stays
// within that band where the values are exact; every other candidate reads at least its true
// value, which does not realise the current one. So both tracebacks take the same steps. Both
// sequences are non-empty.
std::vector<PathCell> banded_path(BitBandTable& table, std::string_view query,
                                  std::string_view target, std::uint64_t distance) {
    std::vector<PathCell> cells;
    cells.reserve(query.size() + target.size() + 1);
    std::uint64_t i = query.size();
    std::uint64_t j = target.size();
    std::uint64_t value = distance;
    cells.emplace_back(i, j);
    while (i > 0 || j > 0) {
        if (j > 0)
            table.focus(j);
        if (i > 0
            && j > 0
            // A match always realises its cell: D(i, j) = D(i - 1, j - 1) when the symbols agree.
            && (query[i - 1] == target[j - 1] || table.at(i - 1, j - 1) + 1 == value)) {
            value -= query[i - 1] == target[j - 1] ? 0 : 1;
            --i;
            --j;
        } else if (i > 0 && table.at(i - 1, j) + 1 == value) {
            --value;
            --i;
        } else {
            invariant(j > 0, "banded edit-distance traceback must have predecessor");
            invariant(table.at(i, j - 1) + 1 == value,
                      "banded edit-distance traceback left the optimal predecessor set");
            --value;
            --j;
        }
        cells.emplace_back(i, j);
    }
    std::reverse(cells.begin(), cells.end());
    return cells;
}

// The same traceback on the kept wavefronts: a predecessor realises value v exactly when its
// own value is at most v - 1 (it cannot be less), which the wavefronts answer directly.
std::vector<PathCell> wavefront_path(const Wavefronts<true>& fronts, std::string_view query,
                                     std::string_view target, std::uint64_t distance) {
    std::vector<PathCell> cells;
    cells.reserve(query.size() + target.size() + 1);
    std::uint64_t i = query.size();
    std::uint64_t j = target.size();
    auto value = static_cast<std::int64_t>(distance);
    cells.emplace_back(i, j);
    while (i > 0 || j > 0) {
        if (i > 0 && j > 0
            && (query[i - 1] == target[j - 1] || fronts.within(i - 1, j - 1, value - 1))) {
            value -= query[i - 1] == target[j - 1] ? 0 : 1;
            --i;
            --j;
        } else if (i > 0 && fronts.within(i - 1, j, value - 1)) {
            --value;
            --i;
        } else {
            invariant(j > 0, "banded edit-distance traceback must have predecessor");
            invariant(fronts.within(i, j - 1, value - 1),
                      "banded edit-distance traceback left the optimal predecessor set");
            --value;
            --j;
        }
        cells.emplace_back(i, j);
    }
    std::reverse(cells.begin(), cells.end());
    return cells;
}

// The distance and the reference's path, if the distance is at most `limit`: by diagonal
// transition for small distances, else by the bit-parallel band. Both sequences are non-empty.
std::optional<BandedTrace> optimal_trace(std::string_view query, std::string_view target,
                                         std::uint64_t limit) {
    const std::uint64_t tried = std::min(limit, wavefront_limit(query, target, true));
    Wavefronts<true> fronts(query, target);
    if (const std::optional<std::uint64_t> distance = fronts.run(tried)) {
        return BandedTrace{.cells = wavefront_path(fronts, query, target, *distance),
                           .band = 0,
                           .distance = static_cast<std::uint32_t>(*distance)};
    }
    const MatchTable peq(query);
    // A bound on the distance is enough: the table's own pass then finds the distance.
    const std::optional<DistanceBound> bound = banded_distance(peq, query, target, limit, true);
    if (!bound)
        return std::nullopt;
    BitBandTable table(peq, target, bound->value);
    const std::uint64_t distance = table.distance();
    invariant(distance <= bound->value, "banded edit-distance bound below the distance");
    return BandedTrace{.cells = banded_path(table, query, target, distance),
                       .band = 0,
                       .distance = static_cast<std::uint32_t>(distance)};
}

// The band `trace_adaptive_banded_reference` ends at: the first of its schedule that holds the
// distance (a band certifies exactly when it is at least the distance).
std::uint64_t adaptive_band(std::uint64_t m, std::uint64_t n, std::uint64_t distance) {
    const std::uint64_t full = std::max(m, n);
    std::uint64_t band = m > n ? m - n : n - m;
    while (band < distance) {
        if (band == 0) {
            band = 1;
        } else if (band > (all_ones - 1) / 2) {
            band = full;
        } else {
            band = std::min(2 * band + 1, full);
        }
    }
    return band;
}

}  // namespace

std::uint32_t distance_myers_full(std::string_view query, std::string_view target) {
    if (query.empty())
        return static_cast<std::uint32_t>(target.size());
    if (query.size() <= 64)
        return myers_one_word(query, target);
    return myers_blocks(query, target);
}

std::uint32_t distance_myers(std::string_view query, std::string_view target) {
    if (query.empty())
        return static_cast<std::uint32_t>(target.size());
    if (target.empty())
        return static_cast<std::uint32_t>(query.size());
    if (query.size() <= 64)
        return myers_one_word(query, target);
    // The distance is symmetric: a short target fits one word as the pattern.
    if (target.size() <= 64)
        return myers_one_word(target, query);
    // Small distances by diagonal transition; beyond, Ukkonen's cut-off on the bit-parallel band:
    // a distance found within a band of k is exact, otherwise it exceeds k.
    const std::uint64_t tried = wavefront_limit(query, target, false);
    if (const std::optional<std::uint64_t> distance = Wavefronts<false>(query, target).run(tried))
        return static_cast<std::uint32_t>(*distance);
    const MatchTable peq(query);
    return static_cast<std::uint32_t>(
        banded_distance(peq, query, target, std::max(query.size(), target.size()), false)->value);
}

std::optional<BandedTrace> trace_banded(std::string_view query, std::string_view target,
                                        std::uint64_t band) {
    const std::uint64_t m = query.size();
    const std::uint64_t n = target.size();
    if (band < length_difference(query, target))
        return std::nullopt;
    if (m == 0 || n == 0) {
        return BandedTrace{.cells = straight_cells(m, n),
                           .band = band,
                           .distance = static_cast<std::uint32_t>(m + n)};
    }
    std::optional<BandedTrace> trace = optimal_trace(query, target, band);
    if (trace)
        trace->band = band;
    return trace;
}

BandedTrace trace_adaptive_banded(std::string_view query, std::string_view target) {
    const std::uint64_t m = query.size();
    const std::uint64_t n = target.size();
    if (m == 0 || n == 0) {
        return BandedTrace{.cells = straight_cells(m, n),
                           .band = std::max(m, n),
                           .distance = static_cast<std::uint32_t>(m + n)};
    }
    BandedTrace trace = *optimal_trace(query, target, std::max(m, n));
    trace.band = adaptive_band(m, n, trace.distance);
    return trace;
}

std::optional<BandedTrace> trace_banded_reference(std::string_view query, std::string_view target,
                                                  std::uint64_t band) {
    const std::uint64_t m = query.size();
    const std::uint64_t n = target.size();
    if (band < (m > n ? m - n : n - m))
        return std::nullopt;

    // Any path through a cell with |i - j| > band costs more than band, so values above band
    // need not be exact and are capped at band + 1. The cap stays a 32-bit value even for a band
    // of 2^32 - 1 or more, where a plain truncation of band + 1 would wrap to 0.
    const auto inf = static_cast<std::uint32_t>(std::min(band, u32_max - 1) + 1);
    BandTable table(m, n, band, inf);

    std::uint32_t* row0 = table.row(0);
    for (std::uint64_t j = 0; j <= table.hi(0); ++j)
        row0[j] = static_cast<std::uint32_t>(j);

    for (std::uint64_t i = 1; i <= m; ++i) {
        const std::uint64_t lo = table.lo(i);
        const std::uint64_t hi = table.hi(i);
        std::uint32_t* cur = table.row(i);
        const char qi = query[i - 1];
        std::uint32_t row_min = inf;
        for (std::uint64_t j = lo; j <= hi; ++j) {
            std::uint32_t value;
            if (j == 0) {
                value = static_cast<std::uint32_t>(i);
            } else {
                std::uint64_t best = inf;
                best = std::min(best, plus(table.at(i - 1, j - 1), byte_cost(qi, target[j - 1])));
                best = std::min(best, plus(table.at(i - 1, j), 1));
                if (j > lo)
                    best = std::min(best, plus(cur[j - 1 - lo], 1));
                value = static_cast<std::uint32_t>(best);
            }
            cur[j - lo] = value;
            row_min = std::min(row_min, value);
        }
        // Every path crosses every row: a row without a value inside the band ends the attempt.
        if (row_min > band)
            return std::nullopt;
    }

    const std::uint32_t distance = table.at(m, n);
    if (distance > band)
        return std::nullopt;

    // Predecessors in the order diagonal, vertical, horizontal: the order fixes which optimal
    // path records carry.
    std::vector<PathCell> cells;
    cells.reserve(m + n + 1);
    std::uint64_t i = m;
    std::uint64_t j = n;
    cells.emplace_back(i, j);
    while (i > 0 || j > 0) {
        const std::uint64_t value = table.at(i, j);
        if (i > 0 && j > 0
            && value == plus(table.at(i - 1, j - 1), byte_cost(query[i - 1], target[j - 1]))) {
            --i;
            --j;
        } else if (i > 0 && value == plus(table.at(i - 1, j), 1)) {
            --i;
        } else {
            invariant(j > 0, "banded edit-distance traceback must have predecessor");
            invariant(value == plus(table.at(i, j - 1), 1),
                      "banded edit-distance traceback left the optimal predecessor set");
            --j;
        }
        cells.emplace_back(i, j);
    }
    std::reverse(cells.begin(), cells.end());
    return BandedTrace{.cells = std::move(cells), .band = band, .distance = distance};
}

BandedTrace trace_adaptive_banded_reference(std::string_view query, std::string_view target) {
    const std::uint64_t m = query.size();
    const std::uint64_t n = target.size();
    const std::uint64_t full = std::max(m, n);
    if (full == 0)
        return BandedTrace{.cells = {{0, 0}}, .band = 0, .distance = 0};

    // Roughly doubling the band keeps the total work within a constant factor of the last try.
    std::uint64_t band = m > n ? m - n : n - m;
    while (true) {
        std::optional<BandedTrace> trace = trace_banded_reference(query, target, band);
        if (trace)
            return std::move(*trace);
        invariant(band < full, "full-width band must contain the edit-distance optimum");
        if (band == 0) {
            band = 1;
        } else if (band > (all_ones - 1) / 2) {
            band = full;
        } else {
            band = std::min(2 * band + 1, full);
        }
    }
}

std::vector<std::uint32_t> edit_last_row(std::string_view query, std::string_view target) {
    const std::size_t n = target.size();
    std::vector<std::uint32_t> previous(n + 1);
    std::vector<std::uint32_t> current(n + 1, 0);
    for (std::size_t j = 0; j <= n; ++j)
        previous[j] = static_cast<std::uint32_t>(j);
    for (std::size_t i = 1; i <= query.size(); ++i) {
        const char qi = query[i - 1];
        current[0] = static_cast<std::uint32_t>(i);
        for (std::size_t j = 1; j <= n; ++j) {
            current[j] = std::min({current[j - 1] + 1, previous[j] + 1,
                                   previous[j - 1] + byte_cost(qi, target[j - 1])});
        }
        std::swap(previous, current);
    }
    return previous;
}

std::uint32_t edit_distance_reference(std::string_view query, std::string_view target) {
    return edit_last_row(query, target).back();
}

std::uint32_t edit_distance_adaptive_banded(std::string_view query, std::string_view target) {
    return trace_adaptive_banded(query, target).distance;
}

}  // namespace rux_dp
