#pragma once

#include "rux_dp/sequence_io/sequence_source.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <variant>
#include <vector>

namespace rux_dp {

inline void PrintTo(const SequenceRecord& r, std::ostream* os) {
    *os << "record{" << testing::PrintToString(r.id) << ", " << testing::PrintToString(r.sequence)
        << "}";
}
inline void PrintTo(const SequenceReadError& e, std::ostream* os) {
    *os << "error{" << testing::PrintToString(e.message) << ", line " << e.line
        << (e.recoverable ? ", recoverable}" : ", fatal}");
}

}  // namespace rux_dp

namespace rux_test {

/// What a source yields before its end.
using SourceItem = std::variant<rux_dp::SequenceRecord, rux_dp::SequenceReadError>;

inline SourceItem record(std::string id, std::string sequence) {
    return rux_dp::SequenceRecord{.id = std::move(id), .sequence = std::move(sequence)};
}
inline SourceItem read_error(std::string message, std::uint64_t line, bool recoverable = true) {
    return rux_dp::SequenceReadError{
        .message = std::move(message), .line = line, .recoverable = recoverable};
}

/// Every item up to the end; checks that the end stays the end.
inline std::vector<SourceItem> drain(rux_dp::SequenceSource& source) {
    std::vector<SourceItem> items;
    for (int guard = 0; guard < 1'000'000; ++guard) {
        auto item = source.next();
        if (!item) {
            items.emplace_back(std::move(item).error());
        } else if (!*item) {
            auto again = source.next();
            EXPECT_TRUE(again.has_value() && !again->has_value()) << "the end is not sticky";
            return items;
        } else {
            items.emplace_back(std::move(**item));
        }
    }
    ADD_FAILURE() << "source never ends";
    return items;
}

}  // namespace rux_test
