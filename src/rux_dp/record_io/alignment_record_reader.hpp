#pragma once

#include "rux_dp/base/result.hpp"
#include "rux_dp/batch/error_record.hpp"
#include "rux_dp/oracle/records.hpp"
#include "rux_dp/sequence_io/byte_stream.hpp"
#include "rux_dp/sequence_store/sequence_store.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace rux_dp {

/// How alignment records are framed in an input.
enum class RecordInputFormat : std::uint8_t { json, jsonl, paf, sam };

/// Names on the command line, indexed by the enumerator's value.
inline constexpr std::array<std::string_view, 4> record_input_format_names{"json", "jsonl", "paf",
                                                                           "sam"};
std::string_view record_input_format_name(RecordInputFormat format);  // "json", ...
/// Exact (case-sensitive) lookup; nothing for any other text.
std::optional<RecordInputFormat> record_input_format_from_name(std::string_view name);

/// A submitted record with the sequences its ids name in the store.
struct ResolvedAlignment {
    AlignmentRecord record;
    std::string query;
    std::string target;
    bool operator==(const ResolvedAlignment&) const = default;
};

/// What the reader yields before its end.
using RecordItem = std::variant<ResolvedAlignment, ErrorRecord>;

/// Streams alignment records from a file or standard input and resolves their sequences in a
/// `SequenceStore`; every problem becomes an `ErrorRecord` in the stream. Reads no further than
/// the current record. The problem and the store are borrowed and must outlive the reader.
class AlignmentRecordReader {
public:
    static constexpr std::size_t buffer_size = 8192;

    /// Opens `path` read-only, never decompressed; "-" (as a whole path, so "./-" is a file) is
    /// standard input. `problem` may be null; "paf" and "sam" records then end the stream.
    /// Fails with "failed to open alignment input {path}: {system error}".
    [[nodiscard]] static Result<AlignmentRecordReader> open(std::string_view path,
                                                            RecordInputFormat format,
                                                            const ProblemSpec* problem,
                                                            const SequenceStore& store);
    /// The same, reading `standard_input` for the path "-".
    [[nodiscard]] static Result<AlignmentRecordReader> open(std::string_view path,
                                                            RecordInputFormat format,
                                                            const ProblemSpec* problem,
                                                            const SequenceStore& store,
                                                            std::istream& standard_input);

    /// The next record or error, or nullopt at the end (and forever after it). Every item
    /// returned, error or not, uses one record index.
    [[nodiscard]] std::optional<RecordItem> next();

    /// Ends the stream with a non-recoverable error at the current record index and record line.
    [[nodiscard]] ErrorRecord error(ErrorStage stage, std::string code, std::string message);

private:
    enum class Container : std::uint8_t { undecided, array, object };
    enum class Read : std::uint8_t { byte, end, failed };
    /// A parsed record, or the error or end (nullopt) that takes its place.
    using Parsed = std::variant<AlignmentRecord, std::optional<ErrorRecord>>;
    /// Sequences already found for a record's ids.
    struct Sequences {
        std::string query_id, target_id, query, target;
    };

    AlignmentRecordReader(std::unique_ptr<ByteStream> stream, RecordInputFormat format,
                          const ProblemSpec* problem, const SequenceStore& store);

    std::optional<RecordItem> next_item();
    Parsed next_json();
    Parsed next_line_record(std::optional<Sequences>& found);
    Parsed tab_separated_record(std::string_view line, std::optional<Sequences>& found);
    /// Looks both ids up in the store, query first; an error comes with `context`.
    std::variant<Sequences, ErrorRecord> lookup(std::string_view query_id,
                                                std::string_view target_id,
                                                const ErrorContext& context);
    RecordItem resolve(AlignmentRecord record, std::optional<Sequences> found);

    /// Refills an exhausted buffer; `Read::byte` means bytes are available.
    Read fill();
    Read read_byte(char& byte);
    /// Skips JSON whitespace; on `Read::byte`, `byte` holds the first other byte.
    Read skip_json_whitespace(char& byte);
    /// Collects one object starting at `first`, then parses it.
    Parsed json_element(char first);
    /// Reads bytes up to and including the next "\n" into `line_`.
    Read read_line();

    ErrorRecord read_failure(std::string_view prefix);
    ErrorContext default_context() const;
    ErrorRecord recoverable_error(ErrorStage stage, std::string code, std::string message,
                                  ErrorContext context) const;

    std::unique_ptr<ByteStream> stream_;
    std::unique_ptr<char[]> buffer_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    bool eof_ = false;
    std::string failure_;  // the stream's text after `Read::failed`

    const ProblemSpec* problem_;
    const SequenceStore* store_;
    RecordInputFormat format_;
    std::uint64_t line_ = 1;         // number of the next line
    std::uint64_t record_line_ = 1;  // line on which the current record begins
    std::uint64_t record_index_ = 0;
    Container container_ = Container::undecided;
    bool done_ = false;
    std::string text_;  // the current line or JSON element
};

}  // namespace rux_dp
