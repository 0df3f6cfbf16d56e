#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace rux_bench {

// A random DNA query and a target made from it by substitutions, insertions and deletions, each
// query position edited with probability `rate` (the kind uniform among the three), drawn from `rng`.
inline std::pair<std::string, std::string> edit_pair_from(std::mt19937_64& rng, std::size_t length,
                                                          double rate) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::string query(length, 'A');
    for (char& c : query)
        c = "ACGT"[rng() % 4];
    std::string target;
    target.reserve(length + length / 8);
    for (const char c : query) {
        if (unit(rng) >= rate) {
            target.push_back(c);
            continue;
        }
        switch (rng() % 3) {
            case 0: {
                // A substitution always changes the base.
                const std::size_t base = std::string_view("ACGT").find(c);
                target.push_back("ACGT"[(base + 1 + rng() % 3) % 4]);
                break;
            }
            case 1:
                target.push_back("ACGT"[rng() % 4]);
                target.push_back(c);
                break;
            default:
                break;
        }
    }
    return {std::move(query), std::move(target)};
}

// `edit_pair_from` with a seed fixed per (length, rate), so every program times the same pairs.
inline std::pair<std::string, std::string> edit_pair(std::size_t length, double rate) {
    std::mt19937_64 rng(0x5eed0000u + length * 131 + static_cast<std::uint64_t>(rate * 1000));
    return edit_pair_from(rng, length, rate);
}

// `count` pairs drawn one after the other from one generator seeded per (count, length, rate).
inline std::vector<std::pair<std::string, std::string>> edit_pair_batch(std::size_t count,
                                                                        std::size_t length,
                                                                        double rate) {
    std::mt19937_64 rng(0xba7c0000u + count * 7919 + length * 131
                        + static_cast<std::uint64_t>(rate * 1000));
    std::vector<std::pair<std::string, std::string>> pairs;
    pairs.reserve(count);
    for (std::size_t k = 0; k < count; ++k)
        pairs.push_back(edit_pair_from(rng, length, rate));
    return pairs;
}

}  // namespace rux_bench
