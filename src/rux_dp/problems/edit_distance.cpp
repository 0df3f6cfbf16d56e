#include "rux_dp/problems/edit_distance.hpp"

#include "rux_dp/base/invariant.hpp"

#include <algorithm>
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

}  // namespace

std::uint32_t distance_myers(std::string_view query, std::string_view target) {
    if (query.empty())
        return static_cast<std::uint32_t>(target.size());
    if (query.size() <= 64)
        return myers_one_word(query, target);
    return myers_blocks(query, target);
}

std::optional<BandedTrace> trace_banded(std::string_view query, std::string_view target,
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

BandedTrace trace_adaptive_banded(std::string_view query, std::string_view target) {
    const std::uint64_t m = query.size();
    const std::uint64_t n = target.size();
    const std::uint64_t full = std::max(m, n);
    if (full == 0)
        return BandedTrace{.cells = {{0, 0}}, .band = 0, .distance = 0};

    // Roughly doubling the band keeps the total work within a constant factor of the last try.
    std::uint64_t band = m > n ? m - n : n - m;
    while (true) {
        std::optional<BandedTrace> trace = trace_banded(query, target, band);
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
