#pragma once

#include <cstdint>
#include <string>

namespace rux_dp {

/// One named sequence, normalised: ASCII without whitespace, "a".."z" folded to upper case.
struct SequenceRecord {
    std::string id;
    std::string sequence;

    bool operator==(const SequenceRecord&) const = default;
};

/// A failure while reading a sequence source.
struct SequenceReadError {
    /// The source name, a blank, and what was wrong.
    std::string message;
    /// Lines read from the source when the error was raised (1-based number of the last line).
    std::uint64_t line = 0;
    /// False for a failure of the byte stream (read or decompression), true for content errors.
    bool recoverable = true;

    bool operator==(const SequenceReadError&) const = default;
};

}  // namespace rux_dp
