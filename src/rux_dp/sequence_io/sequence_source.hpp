#pragma once

#include "rux_dp/base/result.hpp"
#include "rux_dp/sequence_io/byte_stream.hpp"
#include "rux_dp/sequence_io/sequence_reader.hpp"
#include "rux_dp/sequence_io/sequence_record.hpp"

#include <cstdint>
#include <expected>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace rux_dp {

/// What a streaming source holds, decided once from its first non-blank line.
enum class SequenceFormat { fasta, fastq, raw };

/// The next item of a source: a record, the end (nullopt), or an error.
using SequenceItem = std::expected<std::optional<SequenceRecord>, SequenceReadError>;

/// A source given inline: one pending item, then the end.
class InlineSequenceSource {
public:
    explicit InlineSequenceSource(std::expected<SequenceRecord, SequenceReadError> item)
        : pending_(std::move(item)) {}
    [[nodiscard]] SequenceItem next();

private:
    std::optional<std::expected<SequenceRecord, SequenceReadError>> pending_;
};

/// A FASTA, FASTQ or raw byte stream read one record at a time; only the current line, the
/// current record and one pending line are held.
class StreamingSequenceSource {
public:
    /// Reads up to the first non-blank line, which decides the format. Fails with the opening
    /// messages of `SequenceReader::read_first_line`.
    [[nodiscard]] static Result<StreamingSequenceSource> open(std::unique_ptr<ByteStream> stream,
                                                              std::string name,
                                                              std::string default_id);
    [[nodiscard]] SequenceItem next();
    SequenceFormat format() const { return format_; }

private:
    StreamingSequenceSource(SequenceReader reader, std::string default_id, std::string first_line);
    SequenceItem next_fasta();
    SequenceItem next_fastq();
    SequenceItem next_raw();
    /// The pending line or the next line read; an error marks the source done.
    SequenceReader::Line take_line();
    SequenceItem fail(SequenceReadError error);

    SequenceReader reader_;
    std::string default_id_;
    std::optional<std::string> pending_;
    std::string line_;  // holds a taken pending line while it is in use
    bool done_ = false;
    SequenceFormat format_;
};

/// A sequence input: inline, or streamed from a file or standard input.
class SequenceSource {
public:
    explicit SequenceSource(InlineSequenceSource source) : source_(std::move(source)) {}
    explicit SequenceSource(StreamingSequenceSource source) : source_(std::move(source)) {}

    /// The next record, the end (nullopt, then forever), or an error. After a non-recoverable
    /// error, or any error at the end of the input, only the end follows.
    [[nodiscard]] SequenceItem next();

private:
    std::variant<InlineSequenceSource, StreamingSequenceSource> source_;
};

/// Opens the input named `name` ("query" or "target") from exactly one of an inline value and
/// a file path ("-" is standard input, never decompressed; a ".gz" extension is gzip).
[[nodiscard]] Result<SequenceSource> open_sequence_source(
    std::optional<std::string_view> inline_value, std::optional<std::string_view> file,
    std::string_view name);
/// The same, reading `standard_input` for the path "-".
[[nodiscard]] Result<SequenceSource> open_sequence_source(
    std::optional<std::string_view> inline_value, std::optional<std::string_view> file,
    std::string_view name, std::istream& standard_input);

/// The id in a header (the bytes after ">" or "@"): its first blank-separated token, or
/// "record_{number}" when it has none.
std::string parse_record_id(std::string_view header, std::uint64_t number);
/// The id of raw file content: the file stem (after dropping a ".gz"), or `name` if it is empty.
std::string raw_id(std::string_view path, std::string_view name);
/// Drops blanks and folds "a".."z" to upper case; a byte of 0x80 or above fails with
/// "{name} sequence contains non-ASCII data". Other bytes pass unchanged.
[[nodiscard]] Result<std::string> normalize_sequence(std::string_view bytes, std::string_view name);

}  // namespace rux_dp
