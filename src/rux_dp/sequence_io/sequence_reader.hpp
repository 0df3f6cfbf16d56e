#pragma once

#include "rux_dp/base/result.hpp"
#include "rux_dp/sequence_io/byte_stream.hpp"
#include "rux_dp/sequence_io/sequence_record.hpp"

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace rux_dp {

/// Bytes of ASCII whitespace for sequence input: 0x09, 0x0A, 0x0C, 0x0D, 0x20 (not 0x0B).
constexpr bool is_sequence_blank(char c) {
    return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

/// Reads a byte stream line by line through an 8,192-byte buffer, counting lines and records.
class SequenceReader {
public:
    static constexpr std::size_t buffer_size = 8192;

    /// A line (valid until the next read), the end of the input, or an error.
    using Line = std::expected<std::optional<std::string_view>, SequenceReadError>;

    SequenceReader(std::unique_ptr<ByteStream> stream, std::string name);

    /// Skips blank lines up to the first non-blank one and returns a copy of it. Fails with the
    /// opening messages: "failed to read {} input: {}", "{} input contains no records",
    /// "{} input contains non-ASCII data".
    [[nodiscard]] Result<std::string> read_first_line();
    /// The next line without its terminator ("\n", "\r\n", or a final lone "\r").
    [[nodiscard]] Line read_line();
    /// A content error at the current line: "{name} {text}", recoverable.
    [[nodiscard]] SequenceReadError error(std::string_view text) const;

    const std::string& name() const { return name_; }
    std::uint64_t line_count() const { return line_count_; }
    std::uint64_t record_count() const { return record_count_; }
    /// Counts one more record started (records that end in an error count too).
    void count_record() { ++record_count_; }

private:
    enum class Fetch { line, end, failed };
    Fetch fetch_line();

    std::unique_ptr<ByteStream> stream_;
    std::string name_;
    std::unique_ptr<char[]> buffer_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    bool eof_ = false;
    std::string line_;
    std::string failure_;
    std::uint64_t line_count_ = 0;
    std::uint64_t record_count_ = 0;
};

}  // namespace rux_dp
