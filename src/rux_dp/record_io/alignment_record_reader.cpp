#include "rux_dp/record_io/alignment_record_reader.hpp"

#include "rux_dp/oracle/external_records.hpp"
#include "rux_dp/oracle/json_reader.hpp"
#include "rux_dp/oracle/paf.hpp"
#include "rux_dp/oracle/sam.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

namespace rux_dp {

namespace {

bool is_json_whitespace(char c) {
    return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

// Blank lines may also hold vertical tabs, unlike JSON whitespace.
bool is_line_blank(char c) {
    return (c >= '\t' && c <= '\r') || c == ' ';
}

bool has_non_ascii(std::string_view line) {
    return std::any_of(line.begin(), line.end(),
                       [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

bool is_standard_input(std::string_view path) {
    // Component by component, so "./-" names a file called "-".
    return std::filesystem::path(path) == std::filesystem::path("-");
}

/// The first `count` tab-separated fields of `line`, or fewer if it has fewer.
std::vector<std::string_view> leading_fields(std::string_view line, std::size_t count) {
    std::vector<std::string_view> fields;
    fields.reserve(count);
    std::size_t start = 0;
    while (fields.size() < count) {
        const std::size_t tab = line.find('\t', start);
        if (tab == std::string_view::npos) {
            fields.push_back(line.substr(start));
            break;
        }
        fields.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
    return fields;
}

}  // namespace

std::string_view record_input_format_name(RecordInputFormat format) {
    return record_input_format_names[static_cast<std::size_t>(format)];
}

std::optional<RecordInputFormat> record_input_format_from_name(std::string_view name) {
    for (std::size_t k = 0; k < record_input_format_names.size(); ++k)
        if (record_input_format_names[k] == name)
            return static_cast<RecordInputFormat>(k);
    return std::nullopt;
}

AlignmentRecordReader::AlignmentRecordReader(std::unique_ptr<ByteStream> stream,
                                             RecordInputFormat format, const ProblemSpec* problem,
                                             const SequenceStore& store)
    : stream_(std::move(stream)),
      buffer_(new char[buffer_size]),
      problem_(problem),
      store_(&store),
      format_(format) {}

Result<AlignmentRecordReader> AlignmentRecordReader::open(std::string_view path,
                                                          RecordInputFormat format,
                                                          const ProblemSpec* problem,
                                                          const SequenceStore& store) {
    if (is_standard_input(path))
        return AlignmentRecordReader(std::make_unique<FdByteStream>(STDIN_FILENO, false), format,
                                     problem, store);
    auto file = FdByteStream::open(std::filesystem::path(path));
    if (!file)
        return std::unexpected("failed to open alignment input " + std::string(path) + ": "
                               + file.error());
    return AlignmentRecordReader(std::move(*file), format, problem, store);
}

Result<AlignmentRecordReader> AlignmentRecordReader::open(std::string_view path,
                                                          RecordInputFormat format,
                                                          const ProblemSpec* problem,
                                                          const SequenceStore& store,
                                                          std::istream& standard_input) {
    if (is_standard_input(path))
        return AlignmentRecordReader(std::make_unique<IstreamByteStream>(standard_input), format,
                                     problem, store);
    return open(path, format, problem, store);
}

std::optional<RecordItem> AlignmentRecordReader::next() {
    if (done_)
        return std::nullopt;
    std::optional<RecordItem> item = next_item();
    if (!item) {
        done_ = true;
        return std::nullopt;
    }
    ++record_index_;
    return item;
}

ErrorRecord AlignmentRecordReader::error(ErrorStage stage, std::string code, std::string message) {
    done_ = true;
    ErrorRecord record =
        ErrorRecord::make(stage, std::move(code), std::move(message), default_context());
    record.error.recoverable = false;
    return record;
}

std::optional<RecordItem> AlignmentRecordReader::next_item() {
    std::optional<Sequences> found;
    Parsed parsed = format_ == RecordInputFormat::json ? next_json() : next_line_record(found);
    if (auto* failure = std::get_if<std::optional<ErrorRecord>>(&parsed)) {
        if (!*failure)
            return std::nullopt;
        return RecordItem(std::move(**failure));
    }
    return resolve(std::move(std::get<AlignmentRecord>(parsed)), std::move(found));
}

// Line formats ("jsonl", "paf", "sam").

AlignmentRecordReader::Parsed AlignmentRecordReader::next_line_record(
    std::optional<Sequences>& found) {
    for (;;) {
        switch (read_line()) {
            case Read::failed:
                return read_failure("failed to read alignment input: ");
            case Read::end:
                return std::optional<ErrorRecord>();
            case Read::byte:
                break;
        }
        const std::uint64_t number = line_++;
        // Every trailing terminator byte goes, so "\r\r\n" ends a line as "\n" does.
        while (!text_.empty() && (text_.back() == '\n' || text_.back() == '\r'))
            text_.pop_back();
        const std::string_view line = text_;
        if (has_non_ascii(line)) {
            ErrorContext context = default_context();
            context.source_line = number;
            return recoverable_error(ErrorStage::record_parse, "non_ascii_record",
                                     "alignment record contains non-ASCII data",
                                     std::move(context));
        }
        if (std::all_of(line.begin(), line.end(), is_line_blank)
            || (format_ == RecordInputFormat::sam && line.front() == '@'))
            continue;
        record_line_ = number;
        if (format_ != RecordInputFormat::jsonl)
            return tab_separated_record(line, found);
        auto record = read_alignment_record(line);
        if (!record)
            return recoverable_error(ErrorStage::record_parse, "invalid_alignment_json",
                                     std::move(record).error(), default_context());
        return std::move(*record);
    }
}

AlignmentRecordReader::Parsed AlignmentRecordReader::tab_separated_record(
    std::string_view line, std::optional<Sequences>& found) {
    const bool paf = format_ == RecordInputFormat::paf;
    const std::size_t required = paf ? 12 : 11;
    const std::vector<std::string_view> fields = leading_fields(line, required);
    if (fields.size() < required)
        return recoverable_error(
            ErrorStage::record_parse, "too_few_fields",
            "record has fewer than " + std::to_string(required) + " tab-separated fields",
            default_context());
    auto looked_up = lookup(fields[0], fields[paf ? 5 : 2], default_context());
    if (auto* failure = std::get_if<ErrorRecord>(&looked_up))
        return std::move(*failure);
    Sequences& sequences = std::get<Sequences>(looked_up);
    if (problem_ == nullptr)
        return error(ErrorStage::record_parse, "missing_problem",
                     "--mode and scoring are required for PAF/SAM");
    const SequenceMap queries{{sequences.query_id, sequences.query}};
    const SequenceMap targets{{sequences.target_id, sequences.target}};
    auto records = paf ? records_from_paf(line, *problem_, queries, targets)
                       : records_from_sam(line, *problem_, queries, targets);
    if (!records)
        return recoverable_error(ErrorStage::record_parse, "invalid_alignment_record",
                                 std::move(records).error(), default_context());
    if (records->empty())
        return recoverable_error(ErrorStage::record_parse, "invalid_alignment_record",
                                 "record did not contain an alignment", default_context());
    AlignmentRecord record = std::move(records->back());
    record.pair.index = record_index_;
    found = std::move(sequences);
    return record;
}

// "json": one object, or an array framed element by element.

AlignmentRecordReader::Parsed AlignmentRecordReader::next_json() {
    char byte = 0;
    switch (skip_json_whitespace(byte)) {
        case Read::failed:
            return read_failure("failed to read JSON input: ");
        case Read::end:
            if (container_ == Container::undecided)
                return error(ErrorStage::input_parse, "empty_json",
                             "JSON input contains no alignment records");
            // An array cut off after a complete element ends quietly, like a closed one.
            return std::optional<ErrorRecord>();
        case Read::byte:
            break;
    }
    switch (container_) {
        case Container::undecided:
            if (byte != '[') {
                container_ = Container::object;
                return json_element(byte);
            }
            container_ = Container::array;
            switch (skip_json_whitespace(byte)) {
                case Read::failed:
                    return read_failure("failed to read JSON input: ");
                case Read::end:
                    return error(ErrorStage::input_parse, "truncated_json",
                                 "JSON array is not closed");
                case Read::byte:
                    break;
            }
            if (byte == ']')
                return std::optional<ErrorRecord>();
            return json_element(byte);
        case Container::object:
            return error(ErrorStage::input_parse, "trailing_json",
                         "unexpected data after JSON alignment record");
        case Container::array:
            break;
    }
    if (byte == ']')
        return std::optional<ErrorRecord>();
    if (byte != ',')
        return error(ErrorStage::input_parse, "invalid_json_separator",
                     "expected ',' or ']' after JSON alignment record");
    switch (skip_json_whitespace(byte)) {
        case Read::failed:
            return read_failure("failed to read JSON input: ");
        case Read::end:
            return error(ErrorStage::input_parse, "truncated_json",
                         "JSON array ends after a comma");
        case Read::byte:
            break;
    }
    // A "]" here is not an object either: trailing commas are rejected.
    return json_element(byte);
}

AlignmentRecordReader::Parsed AlignmentRecordReader::json_element(char first) {
    record_line_ = line_;
    if (first != '{')
        return error(ErrorStage::input_parse, "invalid_json_container",
                     "JSON alignment input must contain objects");
    text_.assign(1, '{');
    // Only nesting and strings matter for framing; the JSON reader checks everything else.
    std::uint64_t depth = 1;
    bool in_string = false;
    bool escaped = false;
    while (depth > 0) {
        char byte = 0;
        switch (read_byte(byte)) {
            case Read::failed:
                return read_failure("failed to read JSON input: ");
            case Read::end:
                return error(ErrorStage::input_parse, "truncated_json",
                             "JSON input ended inside an alignment record");
            case Read::byte:
                break;
        }
        text_.push_back(byte);
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (byte == '\\')
                escaped = true;
            else if (byte == '"')
                in_string = false;
        } else if (byte == '{' || byte == '[') {
            ++depth;
        } else if (byte == '}' || byte == ']') {
            --depth;
        } else if (byte == '"') {
            in_string = true;
        }
    }
    auto record = read_alignment_record(text_);
    if (!record)
        return error(ErrorStage::record_parse, "invalid_alignment_json", std::move(record).error());
    return std::move(*record);
}

// Resolving.

std::variant<AlignmentRecordReader::Sequences, ErrorRecord> AlignmentRecordReader::lookup(
    std::string_view query_id, std::string_view target_id, const ErrorContext& context) {
    Sequences sequences{.query_id = std::string(query_id),
                        .target_id = std::string(target_id),
                        .query = {},
                        .target = {}};
    for (const SequenceSide side : {SequenceSide::query, SequenceSide::target}) {
        const bool query = side == SequenceSide::query;
        const std::string& id = query ? sequences.query_id : sequences.target_id;
        auto sequence = store_->get(side, id);
        if (!sequence) {
            done_ = true;
            ErrorRecord record = ErrorRecord::make(ErrorStage::resolve, "source_read_failed",
                                                   std::move(sequence).error(), context);
            record.error.recoverable = false;
            return record;
        }
        if (!*sequence)
            return query ? recoverable_error(ErrorStage::resolve, "missing_query_id",
                                             "query id '" + id + "' is missing from query sources",
                                             context)
                         : recoverable_error(
                             ErrorStage::resolve, "missing_target_id",
                             "target id '" + id + "' is missing from target sources", context);
        (query ? sequences.query : sequences.target) = std::move(**sequence);
    }
    return sequences;
}

RecordItem AlignmentRecordReader::resolve(AlignmentRecord record, std::optional<Sequences> found) {
    // PAF and SAM lines were resolved before conversion; the store would give the same entries.
    if (!found || found->query_id != record.pair.query.id
        || found->target_id != record.pair.target.id) {
        const ErrorContext context{.pair_index = record.pair.index,
                                   .query_id = record.pair.query.id,
                                   .target_id = record.pair.target.id,
                                   .source_line = record_line_};
        auto looked_up = lookup(record.pair.query.id, record.pair.target.id, context);
        if (auto* failure = std::get_if<ErrorRecord>(&looked_up))
            return std::move(*failure);
        found = std::move(std::get<Sequences>(looked_up));
    }
    return ResolvedAlignment{.record = std::move(record),
                             .query = std::move(found->query),
                             .target = std::move(found->target)};
}

// Buffered input.

AlignmentRecordReader::Read AlignmentRecordReader::fill() {
    if (pos_ < end_)
        return Read::byte;
    // The end is sticky: a terminal or pipe could yield more after a zero-byte read.
    if (eof_)
        return Read::end;
    auto n = stream_->read(buffer_.get(), buffer_size);
    if (!n) {
        failure_ = std::move(n).error();
        return Read::failed;
    }
    if (*n == 0) {
        eof_ = true;
        return Read::end;
    }
    pos_ = 0;
    end_ = *n;
    return Read::byte;
}

AlignmentRecordReader::Read AlignmentRecordReader::read_byte(char& byte) {
    const Read state = fill();
    if (state != Read::byte)
        return state;
    byte = buffer_[pos_++];
    if (byte == '\n')
        ++line_;
    return Read::byte;
}

AlignmentRecordReader::Read AlignmentRecordReader::skip_json_whitespace(char& byte) {
    for (;;) {
        const Read state = read_byte(byte);
        if (state != Read::byte || !is_json_whitespace(byte))
            return state;
    }
}

AlignmentRecordReader::Read AlignmentRecordReader::read_line() {
    text_.clear();
    bool any = false;
    for (;;) {
        const Read state = fill();
        if (state == Read::failed)
            return state;
        if (state == Read::end)
            break;
        const char* begin = buffer_.get() + pos_;
        const auto* newline = static_cast<const char*>(std::memchr(begin, '\n', end_ - pos_));
        const std::size_t take =
            newline != nullptr ? static_cast<std::size_t>(newline - begin) + 1 : end_ - pos_;
        text_.append(begin, take);
        pos_ += take;
        any = true;
        if (newline != nullptr)
            break;
    }
    return any ? Read::byte : Read::end;
}

// Errors.

ErrorRecord AlignmentRecordReader::read_failure(std::string_view prefix) {
    return error(ErrorStage::input_parse, "input_read_failed", std::string(prefix) + failure_);
}

ErrorContext AlignmentRecordReader::default_context() const {
    return ErrorContext{.pair_index = record_index_,
                        .query_id = std::nullopt,
                        .target_id = std::nullopt,
                        .source_line = record_line_};
}

ErrorRecord AlignmentRecordReader::recoverable_error(ErrorStage stage, std::string code,
                                                     std::string message,
                                                     ErrorContext context) const {
    return ErrorRecord::make(stage, std::move(code), std::move(message), std::move(context));
}

}  // namespace rux_dp
