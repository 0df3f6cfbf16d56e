#include "rux_dp/problems/edit_distance.hpp"

#include "rux_dp/base/invariant.hpp"

#include <algorithm>
#include <bit>
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
    BlockBand(std::uint64_t m, std::uint64_t n, std::uint64_t k) : m_(static_cast<std::int64_t>(m)) {
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

// The banded column loop. Only the blocks of the band are updated; the row above the first block
// rises by 1 per column and a block that enters below starts one more per row than the block above
// it. Both only bound the true values from above, and every path within the band is computed
// exactly, so a result <= k is the distance and a result > k means the distance exceeds k.
// With `Keep`, `bottom` follows the value at every block's last row (the last block's is the
// result) and `column(j, first, last)` sees each computed column.
template <bool Keep, class Column>
std::uint64_t banded_columns(const MatchTable& peq, std::string_view target, std::uint64_t k,
                             std::uint64_t* vp, std::uint64_t* vn, std::uint64_t* bottom,
                             Column&& column) {
    const std::uint64_t n = target.size();
    const BlockBand band(peq.rows(), n, k);
    // Column 0 holds D(i, 0) = i exactly.
    std::size_t last = band.last_block(1);
    for (std::size_t b = 0; b <= last; ++b) {
        vp[b] = all_ones;
        vn[b] = 0;
        if constexpr (Keep)
            bottom[b] = 64 * std::uint64_t{b} + peq.block_rows(b);
    }
    std::uint64_t score = 64 * std::uint64_t{last} + peq.block_rows(last);
    for (std::uint64_t j = 1; j <= n; ++j) {
        const std::size_t first = band.first_block(j);
        const std::size_t end = band.last_block(j);
        while (last < end) {
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
            column(j, first, last);
        }
    }
    return score;
}

// The value at row m, column n, computed within the band of cut-off k.
std::uint64_t banded_score(const MatchTable& peq, std::string_view target, std::uint64_t k,
                           std::vector<std::uint64_t>& vp, std::vector<std::uint64_t>& vn) {
    return banded_columns<false>(peq, target, k, vp.data(), vn.data(), nullptr,
                                 [](std::uint64_t, std::size_t, std::size_t) {});
}

// The exact distance if it is at most `limit`, by passes with a doubling cut-off. Both
// sequences are non-empty.
std::optional<std::uint64_t> distance_within(const MatchTable& peq, std::string_view query,
                                             std::string_view target, std::uint64_t limit) {
    std::vector<std::uint64_t> vp(peq.words());
    std::vector<std::uint64_t> vn(peq.words());
    // Any cut-off of at least max(m, n) succeeds.
    const std::uint64_t cap = std::min<std::uint64_t>(limit, std::max(query.size(), target.size()));
    std::uint64_t k = std::min(cap, std::max(first_band, length_difference(query, target)));
    while (true) {
        const std::uint64_t score = banded_score(peq, target, k, vp, vn);
        if (score <= k)
            return score;
        if (k >= cap)
            return std::nullopt;
        k = std::min(2 * k, cap);
    }
}

// The banded table as vertical differences: per column j >= 1, the blocks of the band with
// their VP / VN words and the value at each block's last row, 2.5 bits per cell. Any cell reads
// in O(1). Cells outside the band read as `outside`.
class BitBandTable {
public:
    static constexpr std::uint64_t outside = std::uint64_t{1} << 62;

    BitBandTable(const MatchTable& peq, std::string_view target, std::uint64_t k)
        : peq_(peq), band_(peq.rows(), target.size(), k), offsets_(target.size() + 1, 0) {
        const std::uint64_t n = target.size();
        std::uint64_t total = 0;
        for (std::uint64_t j = 1; j <= n; ++j) {
            offsets_[j] = total;
            total += band_.last_block(j) - band_.first_block(j) + 1;
        }
        words_ = std::make_unique_for_overwrite<Words[]>(total);
        bottoms_ = std::make_unique_for_overwrite<std::uint32_t[]>(total);

        std::vector<std::uint64_t> vp(peq.words());
        std::vector<std::uint64_t> vn(peq.words());
        std::vector<std::uint64_t> bottom(peq.words());
        banded_columns<true>(peq, target, k, vp.data(), vn.data(), bottom.data(),
                             [&](std::uint64_t j, std::size_t first, std::size_t last) {
                                 Words* words = words_.get() + offsets_[j];
                                 std::uint32_t* bottoms = bottoms_.get() + offsets_[j];
                                 for (std::size_t b = first; b <= last; ++b) {
                                     words[b - first] = {vp[b], vn[b]};
                                     bottoms[b - first] = static_cast<std::uint32_t>(bottom[b]);
                                 }
                             });
    }

    // D(r, j) for cells of the band (exact on every optimal path), `outside` elsewhere.
    std::uint64_t at(std::uint64_t r, std::uint64_t j) const {
        if (r == 0)
            return j;
        if (j == 0)
            return r;
        const std::size_t b = static_cast<std::size_t>((r - 1) / 64);
        const std::size_t first = band_.first_block(j);
        if (b < first || b > band_.last_block(j))
            return outside;
        const std::uint64_t index = offsets_[j] + (b - first);
        const Words& words = words_[index];
        // The differences of rows r + 1 to the block's last row lead from D(r, j) to its value.
        const auto bit = static_cast<unsigned>((r - 1) % 64);
        const std::uint64_t below = ((std::uint64_t{2} << peq_.last_bit(b)) - 1)
                                    & ~((std::uint64_t{2} << bit) - 1);
        return std::uint64_t{bottoms_[index]} + std::popcount(words.vn & below)
               - std::popcount(words.vp & below);
    }

private:
    struct Words {
        std::uint64_t vp;
        std::uint64_t vn;
    };

    const MatchTable& peq_;
    BlockBand band_;
    std::vector<std::uint64_t> offsets_;
    std::unique_ptr<Words[]> words_;
    std::unique_ptr<std::uint32_t[]> bottoms_;
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

// The traceback of `trace_banded_reference` on the bit table of cut-off `distance`. Every cell
// the reference's order could step to lies on an optimal path, which stays within that band
// where the values are exact; every other candidate reads at least its true value, which does
// not realise the current one. So both tracebacks take the same steps. Both sequences are
// non-empty.
std::vector<PathCell> banded_path(const MatchTable& peq, std::string_view query,
                                  std::string_view target, std::uint64_t distance) {
    const BitBandTable table(peq, target, distance);
    std::vector<PathCell> cells;
    cells.reserve(query.size() + target.size() + 1);
    std::uint64_t i = query.size();
    std::uint64_t j = target.size();
    std::uint64_t value = distance;
    cells.emplace_back(i, j);
    while (i > 0 || j > 0) {
        if (i > 0 && j > 0
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
    const MatchTable peq(query);
    return static_cast<std::uint32_t>(
        *distance_within(peq, query, target, std::max(query.size(), target.size())));
}

std::optional<BandedTrace> trace_banded(std::string_view query, std::string_view target,
                                        std::uint64_t band) {
    const std::uint64_t m = query.size();
    const std::uint64_t n = target.size();
    if (band < length_difference(query, target))
        return std::nullopt;
    if (m == 0 || n == 0) {
        return BandedTrace{
            .cells = straight_cells(m, n), .band = band, .distance = static_cast<std::uint32_t>(m + n)};
    }
    const MatchTable peq(query);
    const std::optional<std::uint64_t> distance = distance_within(peq, query, target, band);
    if (!distance)
        return std::nullopt;
    return BandedTrace{.cells = banded_path(peq, query, target, *distance),
                       .band = band,
                       .distance = static_cast<std::uint32_t>(*distance)};
}

BandedTrace trace_adaptive_banded(std::string_view query, std::string_view target) {
    const std::uint64_t m = query.size();
    const std::uint64_t n = target.size();
    if (m == 0 || n == 0) {
        return BandedTrace{.cells = straight_cells(m, n),
                           .band = std::max(m, n),
                           .distance = static_cast<std::uint32_t>(m + n)};
    }
    const MatchTable peq(query);
    const std::uint64_t distance = *distance_within(peq, query, target, std::max(m, n));
    return BandedTrace{.cells = banded_path(peq, query, target, distance),
                       .band = adaptive_band(m, n, distance),
                       .distance = static_cast<std::uint32_t>(distance)};
}

std::optional<BandedTrace> trace_banded_reference(std::string_view query,
                                                  std::string_view target, std::uint64_t band) {
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
