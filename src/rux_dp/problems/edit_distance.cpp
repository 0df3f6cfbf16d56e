#include "rux_dp/problems/edit_distance.hpp"

#include "rux_dp/base/invariant.hpp"
#include "rux_dp/problems/simd_dispatch.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

// The blocks of one column of the pruned band: `first` to `last` were computed, `head` to `kept`
// are kept for the next column, and `score` is the value at block `kept`'s last row.
struct ColumnBlocks {
    std::size_t first;
    std::size_t last;
    std::size_t head;
    std::size_t kept;
    std::uint64_t score;
};

// The part of the table a path of cost <= t can use, found column by column (the pruning of
// A*PA2, with the gap cost as the heuristic). With g = D(i, j) and h = |(m - i) - (n - j)|, a
// lower bound on the cost from (i, j) to (m, n) that no move lowers by more than its cost,
// f = g + h never decreases along an optimal path, so every cell of a path of cost <= t, and
// every cell such a path is computed from, has f <= t.
//
// Each column computes a run of blocks: those the previous column kept, then one more below if
// the previous column's last kept cell (the diagonal predecessor of the cell under this column's
// last kept one) has f <= t, and on down while the last cell computed has f <= t (cells below it
// are reached only through it). Then blocks whose cells all have f > t are dropped from both
// ends. Above row i* = j + m - n, h falls by one per row, so f never rises down the column and a
// block's least f is at its last row; below i*, f never falls, so a block under a cell with
// f > t has none with f <= t; blocks holding i* stay. The row above the first block is taken to
// rise by 1 per column, and a block that enters below starts one more per row than the last
// cell kept above it: both only bound the true values from above, and cells with f <= t are
// computed from cells with f <= t alone, so they are exact. The run lies within Ukkonen's
// diagonal band for cut-off t and a block of it, and on similar pairs holds about half of it.
class PrunedBand {
public:
    PrunedBand(const MatchTable& peq, std::string_view target, std::uint64_t t)
        : peq_(peq),
          target_(target),
          m_(static_cast<std::int64_t>(peq.rows())),
          n_(static_cast<std::int64_t>(target.size())),
          t_(static_cast<std::int64_t>(std::min<std::uint64_t>(t, peq.rows() + target.size()))),
          vp_(peq.words()),
          vn_(peq.words()) {
        // Column 0: D(i, 0) = i exactly, and f = i + |i - (m - n)| <= t down to row
        // (t + m - n) / 2.
        const std::int64_t reach = (t_ + m_ - n_) / 2;
        const auto rows = static_cast<std::uint64_t>(std::clamp<std::int64_t>(reach, 1, m_));
        kept_ = static_cast<std::size_t>((rows - 1) / 64);
        for (std::size_t b = 0; b <= kept_; ++b) {
            vp_[b] = all_ones;
            vn_[b] = 0;
        }
        first_ = 0;
        score_ = last_row(kept_);
        above_ = kept_ > 0 ? last_row(kept_ - 1) : 0;
        top_ = last_row(0);
    }

    std::size_t first() const { return first_; }
    std::size_t kept() const { return kept_; }
    std::uint64_t score() const { return score_; }
    const std::uint64_t* vp() const { return vp_.data(); }
    const std::uint64_t* vn() const { return vn_.data(); }
    // Column 0's blocks, as a column record.
    ColumnBlocks start() const { return {0, kept_, 0, kept_, score_}; }
    // After the last column: the cost of a path to (m, n) when the band reached row m, else
    // all ones. At most t exactly when the distance is, and then it is the distance.
    std::uint64_t corner() const { return kept_ == peq_.words() - 1 ? score_ : all_ones; }

    // Columns `begin` to `end`, each from the one before. With `Record`, the step each computed
    // block passes down at its last row is written, one byte per block, from `steps` on: column
    // by column, each from its first computed block. `column(j, blocks)` sees every column.
    template <bool Record, class Column>
    std::uint8_t* run(std::uint64_t begin, std::uint64_t end, std::uint8_t* steps,
                      Column&& column) {
        std::uint64_t* vp = vp_.data();
        std::uint64_t* vn = vn_.data();
        const std::size_t words = peq_.words();
        const unsigned final_bit = peq_.last_bit(words - 1);
        const std::int64_t t = t_;
        std::size_t first = first_;
        std::size_t kept = kept_;
        std::uint64_t score = score_;
        std::uint64_t above = above_;
        std::uint64_t top = top_;
        // f at a block's last row, for a column whose row i* is `pivot`.
        const auto f_at = [&](std::size_t block, std::uint64_t value, std::int64_t pivot) {
            const auto row = static_cast<std::int64_t>(last_row(block));
            return static_cast<std::int64_t>(value) + (row > pivot ? row - pivot : pivot - row);
        };
        const auto out_bit = [&](std::size_t b) { return b + 1 == words ? final_bit : 63u; };
        // Column j's steps, from its first block.
        const auto record = [&](std::size_t b, HorizontalStep step) {
            if constexpr (Record)
                steps[b - first] = static_cast<std::uint8_t>(step.p | (step.n << 1));
        };
        for (std::uint64_t j = begin; j <= end; ++j) {
            const std::uint64_t* eq = peq_.symbol(target_[j - 1]);
            const std::int64_t pivot = static_cast<std::int64_t>(j) + m_ - n_;
            // The block below the kept ones is needed if the last kept cell of the previous
            // column, its diagonal predecessor, has f <= t, or if this column's last kept cell
            // does.
            bool below = kept + 1 < words && f_at(kept, score, pivot - 1) <= t;
            HorizontalStep step{1, 0};
            if (first < kept) {
                step = advance_block(vp[first], vn[first], eq[first], step, 63);
                record(first, step);
                top = top + step.p - step.n;
                for (std::size_t b = first + 1; b < kept; ++b) {
                    step = advance_block(vp[b], vn[b], eq[b], step, 63);
                    record(b, step);
                }
                above = above + step.p - step.n;
            }
            step = advance_block(vp[kept], vn[kept], eq[kept], step, out_bit(kept));
            record(kept, step);
            std::uint64_t base = score;
            score = score + step.p - step.n;
            if (first == kept)
                top = score;
            std::size_t last = kept;
            below = below || (last + 1 < words && f_at(last, score, pivot) <= t);
            while (below) {
                ++last;
                vp[last] = all_ones;
                vn[last] = 0;
                base += peq_.block_rows(last);
                step = advance_block(vp[last], vn[last], eq[last], step, out_bit(last));
                record(last, step);
                above = score;
                score = base + step.p - step.n;
                below = last + 1 < words && f_at(last, score, pivot) <= t;
            }
            const std::size_t computed = last;
            // Blocks wholly below i* under a cell with f > t.
            while (last > first && static_cast<std::int64_t>(last_row(last - 1)) >= pivot
                   && f_at(last - 1, above, pivot) > t) {
                score = above;
                --last;
                if (last > first)
                    above = score - block_sum(last);
            }
            // Blocks wholly above i* whose last cell has f > t.
            std::size_t head = first;
            while (head < last && static_cast<std::int64_t>(last_row(head)) <= pivot
                   && f_at(head, top, pivot) > t) {
                ++head;
                top += block_sum(head);
            }
            column(j, ColumnBlocks{first, computed, head, last, score});
            if constexpr (Record)
                steps += computed - first + 1;
            first = head;
            kept = last;
        }
        first_ = first;
        kept_ = kept;
        score_ = score;
        above_ = above;
        top_ = top;
        return steps;
    }

    std::uint64_t last_row(std::size_t b) const {
        return 64 * std::uint64_t{b} + peq_.block_rows(b);
    }

private:
    // The rise of the values over block b: its last-row value less the one above its first row.
    std::uint64_t block_sum(std::size_t b) const {
        const std::uint64_t rows = (std::uint64_t{2} << peq_.last_bit(b)) - 1;
        return static_cast<std::uint64_t>(std::popcount(vp_[b] & rows))
               - static_cast<std::uint64_t>(std::popcount(vn_[b] & rows));
    }

    const MatchTable& peq_;
    std::string_view target_;
    std::int64_t m_;
    std::int64_t n_;
    std::int64_t t_;
    std::vector<std::uint64_t> vp_;
    std::vector<std::uint64_t> vn_;
    std::size_t first_ = 0;
    std::size_t kept_ = 0;
    // The last-row values of blocks kept_, kept_ - 1 (when below first_) and first_.
    std::uint64_t score_ = 0;
    std::uint64_t above_ = 0;
    std::uint64_t top_ = 0;
};

// D(m, n) if it is at most t; else the cost of some path, or all ones (see `corner`).
std::uint64_t banded_score(const MatchTable& peq, std::string_view target, std::uint64_t t) {
    PrunedBand band(peq, target, t);
    band.run<false>(1, target.size(), nullptr, [](std::uint64_t, const ColumnBlocks&) {});
    return band.corner();
}

// Both sequences with a margin of spare bytes before and after each, so that 8-byte loads a few
// bytes past either end stay in bounds; what the margins hold never decides a result.
class PaddedPair {
public:
    static constexpr std::size_t margin = 16;

    PaddedPair(std::string_view query, std::string_view target)
        : bytes_(
            std::make_unique_for_overwrite<char[]>(query.size() + target.size() + 4 * margin)) {
        char* q = bytes_.get() + margin;
        char* t = q + query.size() + 2 * margin;
        std::memset(q - margin, 0, margin);
        std::memcpy(q, query.data(), query.size());
        std::memset(q + query.size(), 0, 2 * margin);
        std::memcpy(t, target.data(), target.size());
        std::memset(t + target.size(), 0, margin);
        query_ = q;
        target_ = t;
    }

    const char* query() const { return query_; }
    const char* target() const { return target_; }

private:
    std::unique_ptr<char[]> bytes_;
    const char* query_ = nullptr;
    const char* target_ = nullptr;
};

// Little-endian 8-byte loads: the lowest differing byte of two words is the first mismatch.
constexpr bool word_compare = std::endian::native == std::endian::little;

std::uint64_t load_word(const char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    return word;
}

// The last row of the run of matches from row i on diagonal k, stopping at row `end`, the
// diagonal's last cell (i <= end). Loads may reach 8 bytes past the ends: padded sequences.
[[gnu::always_inline]] inline std::int32_t slide(const char* query, const char* target,
                                                 std::int32_t i, std::int32_t k, std::int32_t end) {
    if constexpr (word_compare) {
        // Off the optimal diagonal the first probe almost always finds the mismatch.
        std::uint64_t x = load_word(query + i) ^ load_word(target + i + k);
        while (x == 0 && i + 8 < end) {
            i += 8;
            x = load_word(query + i) ^ load_word(target + i + k);
        }
        const std::int32_t run = x == 0 ? 8 : std::countr_zero(x) / 8;
        return std::min(i + run, end);
    } else {
        while (i < end && query[i] == target[i + k])
            ++i;
        return i;
    }
}

// The row of a diagonal no path of the cost reaches: below every real row, and far enough from
// the 32-bit limits that adding 1 never overflows.
constexpr std::int32_t unreached_row = std::numeric_limits<std::int32_t>::min() / 2;

// One wavefront of cost s >= 1 from that of cost s - 1: rows of diagonals `low` to `high`.
// A substitution or a deletion from this diagonal's row, an insertion from the diagonal below;
// a move past the table's edge stops at the edge, whose cell is reached as cheaply. Then each
// row slides along its run of matches.
struct FrontStep {
    const char* query;
    const char* target;
    std::int32_t m;
    std::int32_t n;
};
using FrontKernel = void (*)(const FrontStep& step, const std::int32_t* previous,
                             std::int32_t* current, std::int32_t low, std::int32_t high);

void front_scalar(const FrontStep& step, const std::int32_t* previous, std::int32_t* current,
                  std::int32_t low, std::int32_t high) {
    for (std::int32_t k = low; k <= high; ++k) {
        const std::int32_t end = std::min(step.m, step.n - k);
        const std::int32_t from =
            std::max(previous[k] + 1, std::max(previous[k - 1], previous[k + 1] + 1));
        current[k] = slide(step.query, step.target, std::min(from, end), k, end);
    }
}

#if defined(__x86_64__)
// The vector kernels compare the first 4 bytes of every diagonal's run at once, with gathers;
// a diagonal whose 4 bytes all match (the optimal one, mostly) continues by `slide`. The index of
// a 32-bit word's lowest set bit comes from the exponent of its lowest set bit as a float.
[[gnu::target("avx2")]] void front_avx2(const FrontStep& step, const std::int32_t* previous,
                                        std::int32_t* current, std::int32_t low,
                                        std::int32_t high) {
    // Narrow wavefronts, the first costs of every pair, go faster one diagonal at a time.
    if (high - low < 8) {
        front_scalar(step, previous, current, low, high);
        return;
    }
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i four = _mm256_set1_epi32(4);
    const __m256i rows = _mm256_set1_epi32(step.m);
    const __m256i columns = _mm256_set1_epi32(step.n);
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const auto* query = reinterpret_cast<const int*>(step.query);
    const auto* target = reinterpret_cast<const int*>(step.target);
    for (std::int32_t k = low; k <= high; k += 8) {
        const __m256i diagonal = _mm256_add_epi32(_mm256_set1_epi32(k), lanes);
        const __m256i valid = _mm256_cmpgt_epi32(_mm256_set1_epi32(high + 1), diagonal);
        // Masked loads: the last lanes may lie past the stored wavefront.
        const __m256i same = _mm256_maskload_epi32(previous + k, valid);
        const __m256i left = _mm256_maskload_epi32(previous + k - 1, valid);
        const __m256i right = _mm256_maskload_epi32(previous + k + 1, valid);
        const __m256i from = _mm256_max_epi32(_mm256_add_epi32(same, one),
                                              _mm256_max_epi32(left, _mm256_add_epi32(right, one)));
        const __m256i end = _mm256_min_epi32(rows, _mm256_sub_epi32(columns, diagonal));
        __m256i i = _mm256_min_epi32(from, end);
        const __m256i zero = _mm256_setzero_si256();
        const __m256i a = _mm256_mask_i32gather_epi32(zero, query, i, valid, 1);
        const __m256i b =
            _mm256_mask_i32gather_epi32(zero, target, _mm256_add_epi32(i, diagonal), valid, 1);
        const __m256i x = _mm256_xor_si256(a, b);
        const __m256i lowest = _mm256_and_si256(x, _mm256_sub_epi32(zero, x));
        const __m256i exponent =
            _mm256_and_si256(_mm256_srli_epi32(_mm256_castps_si256(_mm256_cvtepi32_ps(lowest)), 23),
                             _mm256_set1_epi32(0xff));
        const __m256i bytes =
            _mm256_srli_epi32(_mm256_sub_epi32(exponent, _mm256_set1_epi32(127)), 3);
        const __m256i all = _mm256_cmpeq_epi32(x, zero);
        i = _mm256_add_epi32(i, _mm256_blendv_epi8(bytes, four, all));
        const __m256i more =
            _mm256_and_si256(_mm256_and_si256(all, valid), _mm256_cmpgt_epi32(end, i));
        i = _mm256_min_epi32(i, end);
        _mm256_maskstore_epi32(current + k, valid, i);
        auto rest = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(more)));
        while (rest != 0) {
            const auto lane = static_cast<std::int32_t>(std::countr_zero(rest));
            rest &= rest - 1;
            const std::int32_t d = k + lane;
            current[d] =
                slide(step.query, step.target, current[d], d, std::min(step.m, step.n - d));
        }
    }
}

[[gnu::target("avx512f,avx512bw,avx512vl")]] void front_avx512(const FrontStep& step,
                                                               const std::int32_t* previous,
                                                               std::int32_t* current,
                                                               std::int32_t low,
                                                               std::int32_t high) {
    // Narrow wavefronts, the first costs of every pair, go faster one diagonal at a time.
    if (high - low < 8) {
        front_scalar(step, previous, current, low, high);
        return;
    }
    // The masked forms with every lane set: the plain ones of GCC 12 start from an undefined
    // register, which -Wmaybe-uninitialized reports.
    constexpr __mmask16 every = 0xffff;
    const __m512i one = _mm512_set1_epi32(1);
    const __m512i rows = _mm512_set1_epi32(step.m);
    const __m512i columns = _mm512_set1_epi32(step.n);
    const __m512i lanes = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    for (std::int32_t k = low; k <= high; k += 16) {
        const __m512i diagonal = _mm512_add_epi32(_mm512_set1_epi32(k), lanes);
        const __mmask16 valid = _mm512_cmplt_epi32_mask(diagonal, _mm512_set1_epi32(high + 1));
        // Masked loads: the last lanes may lie past the stored wavefront.
        const __m512i same = _mm512_maskz_loadu_epi32(valid, previous + k);
        const __m512i left = _mm512_maskz_loadu_epi32(valid, previous + k - 1);
        const __m512i right = _mm512_maskz_loadu_epi32(valid, previous + k + 1);
        const __m512i from = _mm512_maskz_max_epi32(
            every, _mm512_add_epi32(same, one),
            _mm512_maskz_max_epi32(every, left, _mm512_add_epi32(right, one)));
        const __m512i end =
            _mm512_maskz_min_epi32(every, rows, _mm512_sub_epi32(columns, diagonal));
        __m512i i = _mm512_maskz_min_epi32(every, from, end);
        const __m512i zero = _mm512_setzero_si512();
        const __m512i a = _mm512_mask_i32gather_epi32(zero, valid, i, step.query, 1);
        const __m512i b =
            _mm512_mask_i32gather_epi32(zero, valid, _mm512_add_epi32(i, diagonal), step.target, 1);
        const __m512i x = _mm512_xor_si512(a, b);
        const __m512i lowest = _mm512_and_si512(x, _mm512_sub_epi32(zero, x));
        const __m512i exponent = _mm512_maskz_srli_epi32(
            every, _mm512_castps_si512(_mm512_maskz_cvtepu32_ps(every, lowest)), 23);
        __m512i bytes =
            _mm512_maskz_srli_epi32(every, _mm512_sub_epi32(exponent, _mm512_set1_epi32(127)), 3);
        const __mmask16 all = _mm512_mask_cmpeq_epi32_mask(valid, x, zero);
        bytes = _mm512_mask_mov_epi32(bytes, all, _mm512_set1_epi32(4));
        i = _mm512_add_epi32(i, bytes);
        const __mmask16 more = _mm512_mask_cmplt_epi32_mask(all, i, end);
        i = _mm512_maskz_min_epi32(every, i, end);
        _mm512_mask_storeu_epi32(current + k, valid, i);
        auto rest = static_cast<unsigned>(more);
        while (rest != 0) {
            const auto lane = static_cast<std::int32_t>(std::countr_zero(rest));
            rest &= rest - 1;
            const std::int32_t d = k + lane;
            current[d] =
                slide(step.query, step.target, current[d], d, std::min(step.m, step.n - d));
        }
    }
}
#endif

FrontKernel front_kernel() {
#if defined(__x86_64__)
    switch (simd::active_isa()) {
        case simd::Isa::avx512bw:
            return &front_avx512;
        case simd::Isa::avx2:
            return &front_avx2;
        case simd::Isa::scalar:
            break;
    }
#endif
    return &front_scalar;
}

// Diagonal transition (Ukkonen, Landau and Vishkin): for each cost s, the furthest row reached
// with cost s on each diagonal k = j - i, |k| <= s. Values never decrease along a diagonal, so
// D(i, j) <= s exactly when row i is at most that furthest row. O(n + s^2) work for distance s,
// which beats the bit-parallel band for small distances (see `prefer_wavefronts`). With `Keep`,
// every wavefront is kept, with two margins, for the traceback.
template <bool Keep>
class Wavefronts {
public:
    Wavefronts(const PaddedPair& pair, std::string_view query, std::string_view target)
        : pair_(pair),
          m_(static_cast<std::int32_t>(query.size())),
          n_(static_cast<std::int32_t>(target.size())) {}

    // Lengths up to this use 32-bit rows.
    static constexpr std::uint64_t longest = std::numeric_limits<std::int32_t>::max() / 2;

    // The distance if it is at most `limit`, else nothing. Only paths of cost <= limit matter, and
    // a path through diagonal k after cost s costs at least s + |k - (n - m)|, so wavefront s
    // needs only the diagonals with s + |k - (n - m)| <= limit: those of every such path,
    // optimal ones included, are then exact.
    std::optional<std::uint64_t> run(std::uint64_t limit) {
        const auto goal = n_ - m_;
        // The distance is at least |m - n|.
        if (limit < static_cast<std::uint64_t>(goal < 0 ? -std::int64_t{goal} : goal))
            return std::nullopt;
        const auto reach = static_cast<std::int32_t>(limit);
        const FrontStep step{pair_.query(), pair_.target(), m_, n_};
        const FrontKernel kernel = front_kernel();
        // Wavefront s is stored with two unreached diagonals beyond each end, so the neighbours
        // k - 1 and k + 1 of every diagonal of wavefront s + 1 are readable without tests.
        // Without `Keep`, two buffers for diagonals -limit - 2 to limit + 2 are used alternately.
        std::int32_t* previous = nullptr;
        std::int32_t* current = nullptr;
        if constexpr (!Keep) {
            const auto span = static_cast<std::size_t>(2 * reach + 5);
            rolling_ = std::make_unique_for_overwrite<std::int32_t[]>(2 * span);
            previous = rolling_.get() + reach + 2;
            current = previous + span;
        }
        for (std::int32_t cost = 0; cost <= reach; ++cost) {
            const std::int32_t low = std::max({-cost, -m_, goal - (reach - cost)});
            const std::int32_t high = std::min({cost, n_, goal + (reach - cost)});
            if constexpr (Keep) {
                current = fronts_.next(cost, low, high);
            } else {
                std::fill_n(current + low - 2, 2, unreached);
                std::fill_n(current + high + 1, 2, unreached);
            }
            if (cost == 0) {
                current[0] = slide(step.query, step.target, 0, 0, std::min(m_, n_));
            } else {
                kernel(step, previous, current, low, high);
            }
            if (goal >= low && goal <= high && current[goal] >= m_)
                return static_cast<std::uint64_t>(cost);
            std::swap(current, previous);
        }
        return std::nullopt;
    }

    // D(i, j) <= cost, for cost within the wavefronts run and cells of the diagonals they hold,
    // which include every cell of every optimal path (Keep only).
    bool within(std::uint64_t i, std::uint64_t j, std::int64_t cost) const {
        const auto k = static_cast<std::int64_t>(j) - static_cast<std::int64_t>(i);
        if (cost < 0 || k < -cost || k > cost)
            return false;
        return fronts_.row(static_cast<std::int32_t>(cost), static_cast<std::int32_t>(k))
               >= static_cast<std::int64_t>(i);
    }

    const PaddedPair& pair() const { return pair_; }

private:
    static constexpr std::int32_t unreached = unreached_row;

    // Every wavefront, in chunks that are never moved: wavefront s holds its diagonals low - 2
    // to high + 2, the outer two unreached. Chunks are allocated as the distance grows, so a pair
    // with a small distance touches little memory however large the limit.
    class Store {
    public:
        std::int32_t* next(std::int32_t cost, std::int32_t low, std::int32_t high) {
            const auto size = static_cast<std::size_t>(high - low + 5);
            if (chunks_.empty() || used_ + size > chunk_size_) {
                chunk_size_ = std::max(chunk_size_, size);
                chunks_.push_back(std::make_unique_for_overwrite<std::int32_t[]>(chunk_size_));
                used_ = 0;
            }
            std::int32_t* begin = chunks_.back().get() + used_;
            used_ += size;
            std::fill_n(begin, size, unreached);
            std::int32_t* zero = begin + 2 - low;
            fronts_.resize(static_cast<std::size_t>(cost) + 1);
            fronts_[static_cast<std::size_t>(cost)] = {zero, low, high};
            return zero;
        }
        // Unreached outside the diagonals stored.
        std::int32_t row(std::int32_t cost, std::int32_t k) const {
            const Front& front = fronts_[static_cast<std::size_t>(cost)];
            return k < front.low || k > front.high ? unreached : front.zero[k];
        }

    private:
        struct Front {
            std::int32_t* zero;  // diagonal 0, possibly outside the span stored
            std::int32_t low;
            std::int32_t high;
        };
        std::vector<std::unique_ptr<std::int32_t[]>> chunks_;
        std::size_t chunk_size_ = std::size_t{1} << 18;
        std::size_t used_ = 0;
        std::vector<Front> fronts_;
    };

    const PaddedPair& pair_;
    std::int32_t m_;
    std::int32_t n_;
    std::unique_ptr<std::int32_t[]> rolling_;
    Store fronts_;
};

// An upper bound on the distance: the cost at which diagonal transition reaches (m, n) when each
// wavefront keeps only the diagonals whose remaining distance max(m - i, n - j) is within a
// slack of the least (the pruning of WFA-adaptive). Every row it reaches is reached by a path of
// that cost, so the result is the cost of a path; on similar pairs it is almost always the
// distance itself. O((m + n) * width) work.
std::uint64_t adaptive_bound(const PaddedPair& pair, std::int32_t m, std::int32_t n) {
    constexpr std::int32_t slack = 40;
    constexpr std::int32_t narrowest = 16;
    const FrontStep step{pair.query(), pair.target(), m, n};
    const FrontKernel kernel = front_kernel();
    const auto span = static_cast<std::size_t>(m) + static_cast<std::size_t>(n) + 5;
    const auto buffer = std::make_unique_for_overwrite<std::int32_t[]>(2 * span);
    std::int32_t* previous = buffer.get() + m + 2;
    std::int32_t* current = previous + span;
    const std::int32_t goal = n - m;
    const auto remaining = [&](std::int32_t k) {
        return std::max(m - current[k], n - k - current[k]);
    };
    std::int32_t low = 0;
    std::int32_t high = 0;
    // Some path costs at most max(m, n).
    const std::int32_t most = std::max(m, n);
    for (std::int32_t cost = 0; cost < most; ++cost) {
        if (cost > 0) {
            low = std::max(low - 1, -m);
            high = std::min(high + 1, n);
        }
        // Dropped diagonals keep their rows, which still belong to paths; only the two beyond
        // each end of the ones computed must read as unreached.
        std::fill_n(current + low - 2, 2, unreached_row);
        std::fill_n(current + high + 1, 2, unreached_row);
        if (cost == 0) {
            current[0] = slide(step.query, step.target, 0, 0, std::min(m, n));
        } else {
            kernel(step, previous, current, low, high);
        }
        if (goal >= low && goal <= high && current[goal] >= m)
            return static_cast<std::uint64_t>(cost);
        if (high - low + 1 > narrowest) {
            std::int32_t least = std::numeric_limits<std::int32_t>::max();
            for (std::int32_t k = low; k <= high; ++k)
                least = std::min(least, remaining(k));
            while (high - low + 1 > narrowest && remaining(low) > least + slack)
                ++low;
            while (high - low + 1 > narrowest && remaining(high) > least + slack)
                --high;
        }
        std::swap(current, previous);
    }
    return static_cast<std::uint64_t>(most);
}

// Distances up to this are found by diagonal transition straight away, in fewer steps than
// finding a bound would take.
constexpr std::uint64_t small_distance = 16;

// Whether diagonal transition, about 1.5 ns for each of the d^2 / 2 cells of its band, beats the
// pruned bit-parallel band, about 20 + d / 36 ns per column, for a distance (bound) d; measured
// on similar DNA pairs. The traceback costs the band more, and the wavefronts kept for it, d^2 / 2
// rows, are capped.
bool prefer_wavefronts(std::string_view query, std::string_view target, std::uint64_t d,
                       bool keep) {
    const std::uint64_t n = std::max(query.size(), target.size());
    if (n > Wavefronts<false>::longest)
        return false;
    if (keep)
        return d <= 4096 && d * d < n * (30 + d / 20);
    return d * d < n * (20 + d / 32);
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
    // Any cut-off of at least max(m, n) succeeds.
    const std::uint64_t cap = std::min<std::uint64_t>(limit, std::max(query.size(), target.size()));
    std::uint64_t k = std::min(cap, std::max(first_band, length_difference(query, target)));
    std::uint64_t previous = all_ones;
    while (true) {
        const std::uint64_t score = banded_score(peq, target, k);
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

// The pruned band as vertical differences, for the traceback. The forward pass keeps every
// `segment`-th column (VP / VN words and the value at each kept block's last row), each column's
// blocks, and the step every computed block passes down at its last row in every column. A
// block's words in the columns after a checkpoint follow from its checkpoint words (or, where it
// enters, from the start the forward pass gave it) and the steps entering it from the block
// above, so the traceback, which visits columns from n down to 0, recomputes only the blocks the
// path reaches, one segment of columns at a time; a block's last-row values follow from the
// steps leaving it. Any cell of a recomputed block reads in O(1).
class BitBandTable {
public:
    static constexpr std::uint64_t outside = std::uint64_t{1} << 62;
    static constexpr std::uint64_t segment = 64;

    BitBandTable(const MatchTable& peq, std::string_view target, std::uint64_t t)
        : peq_(peq), target_(target) {
        const std::uint64_t n = target.size();
        PrunedBand band(peq, target, t);
        columns_.resize(n + 1);
        offsets_.resize(n + 2);
        columns_[0] = band.start();
        // The steps take one byte per computed block. A column computes at most a block more
        // at each end than Ukkonen's band of cut-off t spans, so this is almost always enough;
        // before each segment there is room for every block from its first to row m.
        steps_.resize(ukkonen_blocks(peq.rows(), n, t) + 2 * n + peq.words());
        checkpoints_.reserve(n / segment + 1);
        keep_checkpoint(band);
        for (std::uint64_t begin = 1; begin <= n; begin += segment) {
            const std::uint64_t end = std::min(begin + segment - 1, n);
            const std::uint64_t most = (end - begin + 1) * (peq.words() - band.first());
            if (offsets_[begin] + most > steps_.size())
                steps_.resize(2 * (offsets_[begin] + most));
            band.run<true>(begin, end, steps_.data() + offsets_[begin],
                           [&](std::uint64_t j, const ColumnBlocks& blocks) {
                               columns_[j] = blocks;
                               offsets_[j + 1] = offsets_[j] + (blocks.last - blocks.first + 1);
                           });
            if (end % segment == 0)
                keep_checkpoint(band);
        }
        distance_ = band.corner();
        strips_.reserve(8);
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
        segment_end_ = std::min<std::uint64_t>(begin + segment, target_.size());
        strips_.clear();
    }

    // D(r, j) for the cells of the kept blocks (exact on every optimal path), `outside`
    // elsewhere. Column j must be in the loaded segment.
    std::uint64_t at(std::uint64_t r, std::uint64_t j) {
        if (r == 0)
            return j;
        if (j == 0)
            return r;
        const std::size_t b = static_cast<std::size_t>((r - 1) / 64);
        if (b < columns_[j].head || b > columns_[j].kept)
            return outside;
        const Cell& cell = strip_of(b).cells[j - segment_begin_];
        // The differences of rows r + 1 to the block's last row lead from D(r, j) to its value.
        const auto bit = static_cast<unsigned>((r - 1) % 64);
        const std::uint64_t below =
            ((std::uint64_t{2} << peq_.last_bit(b)) - 1) & ~((std::uint64_t{2} << bit) - 1);
        return cell.bottom + static_cast<std::uint64_t>(std::popcount(cell.vn & below))
               - static_cast<std::uint64_t>(std::popcount(cell.vp & below));
    }

private:
    struct Cell {
        std::uint64_t vp;
        std::uint64_t vn;
        std::uint64_t bottom;
    };
    // The kept blocks of a checkpoint column, `first` first.
    struct Checkpoint {
        std::size_t first;
        std::vector<Cell> cells;
    };
    // One block over the columns of the loaded segment, segment_begin_ first; columns where the
    // block was not computed are left unset.
    struct Strip {
        std::size_t block;
        std::array<Cell, segment + 1> cells;
    };

    // The blocks Ukkonen's band of cut-off t spans, summed over the columns 1 to n: a path of
    // cost <= t keeps to the diagonals i - j from ceil((m - n - t) / 2) to floor((m - n + t) / 2).
    static std::uint64_t ukkonen_blocks(std::uint64_t m, std::uint64_t n, std::uint64_t t) {
        const auto rows = static_cast<std::int64_t>(m);
        const std::int64_t delta = rows - static_cast<std::int64_t>(n);
        const auto cut = static_cast<std::int64_t>(std::min(t, m + n));
        const auto floor_half = [](std::int64_t x) { return x >= 0 ? x / 2 : -((1 - x) / 2); };
        const std::int64_t low = -floor_half(cut - delta);
        const std::int64_t high = floor_half(delta + cut);
        std::uint64_t total = 0;
        for (std::uint64_t j = 1; j <= n; ++j) {
            const auto column = static_cast<std::int64_t>(j);
            const std::int64_t top =
                std::clamp<std::int64_t>(column + low, 1, std::max<std::int64_t>(rows, 1));
            const std::int64_t bottom =
                std::clamp<std::int64_t>(column + high, 1, std::max<std::int64_t>(rows, 1));
            total += static_cast<std::uint64_t>((bottom - 1) / 64 - (top - 1) / 64 + 1);
        }
        return total;
    }

    void keep_checkpoint(const PrunedBand& band) {
        Checkpoint& checkpoint = checkpoints_.emplace_back();
        checkpoint.first = band.first();
        checkpoint.cells.resize(band.kept() - band.first() + 1);
        // The last-row values follow up from the last kept block's.
        std::uint64_t value = band.score();
        for (std::size_t b = band.kept() + 1; b-- > band.first();) {
            const std::uint64_t rows = (std::uint64_t{2} << peq_.last_bit(b)) - 1;
            checkpoint.cells[b - band.first()] = {band.vp()[b], band.vn()[b], value};
            value = value - static_cast<std::uint64_t>(std::popcount(band.vp()[b] & rows))
                    + static_cast<std::uint64_t>(std::popcount(band.vn()[b] & rows));
        }
    }

    std::uint64_t last_row(std::size_t b) const {
        return 64 * std::uint64_t{b} + peq_.block_rows(b);
    }

    // The step block b passes down at its last row in column j (b computed there).
    HorizontalStep step_out(std::size_t b, std::uint64_t j) const {
        const std::uint8_t bits = steps_[offsets_[j] + (b - columns_[j].first)];
        return {static_cast<std::uint64_t>(bits & 1), static_cast<std::uint64_t>(bits >> 1)};
    }

    // Block b's words and last-row values over the loaded segment, recomputed as the forward
    // pass computed them, on first use.
    const Strip& strip_of(std::size_t b) {
        for (const Strip& strip : strips_) {
            if (strip.block == b)
                return strip;
        }
        Strip& strip = strips_.emplace_back();
        strip.block = b;
        const Checkpoint& checkpoint = checkpoints_[segment_begin_ / segment];
        bool present = b >= checkpoint.first && b < checkpoint.first + checkpoint.cells.size();
        Cell cell{};
        if (present) {
            cell = checkpoint.cells[b - checkpoint.first];
            strip.cells[0] = cell;
        }
        for (std::uint64_t j = segment_begin_ + 1; j <= segment_end_; ++j) {
            const ColumnBlocks& column = columns_[j];
            if (b < column.first || b > column.last) {
                present = false;
                continue;
            }
            const ColumnBlocks& before = columns_[j - 1];
            if (!present || b > before.kept) {
                // Entering below: one more per row than the last cell kept above.
                cell = {all_ones, 0, before.score + last_row(b) - last_row(before.kept)};
                present = true;
            }
            const HorizontalStep in = b == column.first ? HorizontalStep{1, 0} : step_out(b - 1, j);
            advance_block(cell.vp, cell.vn, peq_.symbol(target_[j - 1])[b], in, peq_.last_bit(b));
            const HorizontalStep out = step_out(b, j);
            cell.bottom = cell.bottom + out.p - out.n;
            strip.cells[j - segment_begin_] = cell;
        }
        return strip;
    }

    const MatchTable& peq_;
    std::string_view target_;
    std::uint64_t distance_ = 0;
    std::vector<ColumnBlocks> columns_;
    std::vector<std::uint64_t> offsets_;
    std::vector<std::uint8_t> steps_;
    std::vector<Checkpoint> checkpoints_;
    bool loaded_ = false;
    std::uint64_t segment_begin_ = 0;
    std::uint64_t segment_end_ = 0;
    std::vector<Strip> strips_;
};

// The cells of a path, collected backwards from (m, n) into storage that is never initialised
// as a whole, then copied out in order in one pass.
class BackwardCells {
public:
    explicit BackwardCells(std::uint64_t most)
        : size_(static_cast<std::size_t>(most)),
          storage_(std::allocator<PathCell>().allocate(size_)),
          end_(storage_ + size_),
          first_(end_) {}
    ~BackwardCells() { std::allocator<PathCell>().deallocate(storage_, size_); }
    BackwardCells(const BackwardCells&) = delete;
    BackwardCells& operator=(const BackwardCells&) = delete;

    void push(std::uint64_t i, std::uint64_t j) { std::construct_at(--first_, i, j); }
    // The cells before (i, j) on a run of `count` diagonal moves.
    void push_diagonals(std::uint64_t i, std::uint64_t j, std::uint64_t count) {
        PathCell* cell = first_;
        for (std::uint64_t step = 1; step <= count; ++step)
            std::construct_at(--cell, i - step, j - step);
        first_ = cell;
    }

    std::vector<PathCell> cells() const { return std::vector<PathCell>(first_, end_); }

private:
    std::size_t size_;
    PathCell* storage_;
    PathCell* end_;
    PathCell* first_;
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
    BackwardCells cells(query.size() + target.size() + 1);
    std::uint64_t i = query.size();
    std::uint64_t j = target.size();
    std::uint64_t value = distance;
    cells.push(i, j);
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
            cells.push(i, j);
        } else if (i > 0 && table.at(i - 1, j) + 1 == value) {
            --value;
            --i;
            cells.push(i, j);
        } else {
            invariant(j > 0, "banded edit-distance traceback must have predecessor");
            invariant(table.at(i, j - 1) + 1 == value,
                      "banded edit-distance traceback left the optimal predecessor set");
            --value;
            --j;
            cells.push(i, j);
        }
    }
    return cells.cells();
}

// The same traceback on the kept wavefronts: a predecessor realises value v exactly when its
// own value is at most v - 1 (it cannot be less), which the wavefronts answer directly.
std::vector<PathCell> wavefront_path(const Wavefronts<true>& fronts, std::string_view query,
                                     std::string_view target, std::uint64_t distance) {
    BackwardCells cells(query.size() + target.size() + 1);
    const char* q = fronts.pair().query();
    const char* t = fronts.pair().target();
    std::uint64_t i = query.size();
    std::uint64_t j = target.size();
    auto value = static_cast<std::int64_t>(distance);
    cells.push(i, j);
    while (i > 0 || j > 0) {
        if (i > 0 && j > 0 && q[i - 1] == t[j - 1]) {
            // A run of matches, found 8 bytes at a time from its end: each realises its cell.
            std::uint64_t run = 0;
            const std::uint64_t most = std::min(i, j);
            if constexpr (word_compare) {
                while (true) {
                    const std::uint64_t x = load_word(q + i - run - 8) ^ load_word(t + j - run - 8);
                    run += x == 0 ? 8 : static_cast<std::uint64_t>(std::countl_zero(x)) / 8;
                    if (x != 0 || run >= most)
                        break;
                }
                run = std::min(run, most);
            } else {
                while (run < most && q[i - 1 - run] == t[j - 1 - run])
                    ++run;
            }
            cells.push_diagonals(i, j, run);
            i -= run;
            j -= run;
        } else if (i > 0 && j > 0 && fronts.within(i - 1, j - 1, value - 1)) {
            --value;
            --i;
            --j;
            cells.push(i, j);
        } else if (i > 0 && fronts.within(i - 1, j, value - 1)) {
            --value;
            --i;
            cells.push(i, j);
        } else {
            invariant(j > 0, "banded edit-distance traceback must have predecessor");
            invariant(fronts.within(i, j - 1, value - 1),
                      "banded edit-distance traceback left the optimal predecessor set");
            --value;
            --j;
            cells.push(i, j);
        }
    }
    return cells.cells();
}

// The distance and the reference's path, if the distance is at most `limit`: by diagonal
// transition for small distances, else by the bit-parallel band. Both sequences are non-empty.
std::optional<BandedTrace> optimal_trace(std::string_view query, std::string_view target,
                                         std::uint64_t limit) {
    std::uint64_t bound = all_ones;
    if (std::max(query.size(), target.size()) <= Wavefronts<true>::longest) {
        const PaddedPair pair(query, target);
        const auto traced = [&](std::uint64_t tried) -> std::optional<BandedTrace> {
            Wavefronts<true> fronts(pair, query, target);
            const std::optional<std::uint64_t> distance = fronts.run(tried);
            if (!distance)
                return std::nullopt;
            return BandedTrace{.cells = wavefront_path(fronts, query, target, *distance),
                               .band = 0,
                               .distance = static_cast<std::uint32_t>(*distance)};
        };
        if (limit <= small_distance)
            return traced(limit);
        if (std::optional<BandedTrace> trace = traced(small_distance))
            return trace;
        bound = adaptive_bound(pair, static_cast<std::int32_t>(query.size()),
                               static_cast<std::int32_t>(target.size()));
        const std::uint64_t tried = std::min(limit, bound);
        if (prefer_wavefronts(query, target, tried, true))
            return traced(tried);
    }
    const MatchTable peq(query);
    // A bound on the distance is enough: the table's own pass then finds the distance.
    if (bound > limit) {
        const std::optional<DistanceBound> found = banded_distance(peq, query, target, limit, true);
        if (!found)
            return std::nullopt;
        bound = found->value;
    }
    BitBandTable table(peq, target, bound);
    const std::uint64_t distance = table.distance();
    invariant(distance <= bound, "banded edit-distance bound below the distance");
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
    // An upper bound first, then diagonal transition for small distances, else the bit-parallel
    // band pruned by the bound: either is exact for a bound at least the distance.
    if (std::max(query.size(), target.size()) <= Wavefronts<false>::longest) {
        const PaddedPair pair(query, target);
        if (const std::optional<std::uint64_t> distance =
                Wavefronts<false>(pair, query, target).run(small_distance))
            return static_cast<std::uint32_t>(*distance);
        const std::uint64_t bound = adaptive_bound(pair, static_cast<std::int32_t>(query.size()),
                                                   static_cast<std::int32_t>(target.size()));
        if (prefer_wavefronts(query, target, bound, false))
            return static_cast<std::uint32_t>(*Wavefronts<false>(pair, query, target).run(bound));
        const MatchTable peq(query);
        return static_cast<std::uint32_t>(banded_score(peq, target, bound));
    }
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
