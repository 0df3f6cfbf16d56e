#include "rux_dp/sequence_io/sequence_source.hpp"

#include <filesystem>
#include <limits>

namespace rux_dp {

namespace {

std::string non_ascii_sequence_message(std::string_view name) {
    return std::string(name) + " sequence contains non-ASCII data";
}

/// Normalises a record's lines as they arrive, so the raw record is never held twice.
struct Normalizer {
    std::string out;
    /// Bytes appended that are not blanks, counted past a failure too (the FASTQ quality length).
    std::uint64_t non_blank = 0;
    bool failed = false;

    void append(std::string_view bytes) {
        if (!failed)
            out.reserve(out.size() + bytes.size());
        for (const char c : bytes) {
            if (is_sequence_blank(c))
                continue;
            ++non_blank;
            if (failed)
                continue;
            if (static_cast<unsigned char>(c) >= 0x80) {
                failed = true;
            } else if (c >= 'a' && c <= 'z') {
                out.push_back(static_cast<char>(c - 'a' + 'A'));
            } else {
                out.push_back(c);
            }
        }
    }
};

bool starts_with(std::string_view line, char c) {
    return !line.empty() && line.front() == c;
}

SequenceItem end_of_source() {
    return std::optional<SequenceRecord>();
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b
               ? std::numeric_limits<std::uint64_t>::max()
               : a + b;
}

bool is_standard_input(const std::filesystem::path& path) {
    // Component by component, so "./-" names a file called "-".
    return path == std::filesystem::path("-");
}

bool has_gz_extension(const std::filesystem::path& path) {
    return path.extension() == ".gz";
}

Result<SequenceSource> open_source(std::optional<std::string_view> inline_value,
                                   std::optional<std::string_view> file, std::string_view name,
                                   std::istream* standard_input) {
    const std::string source_name(name);
    if (!inline_value && !file)
        return std::unexpected("missing --" + source_name + " or --" + source_name + "-file");
    if (inline_value && file)
        return std::unexpected("provide either --" + source_name + " or --" + source_name
                               + "-file, not both");
    if (inline_value) {
        auto sequence = normalize_sequence(*inline_value, name);
        if (!sequence)
            return SequenceSource(InlineSequenceSource(std::unexpected(SequenceReadError{
                .message = std::move(sequence).error(), .line = 1, .recoverable = true})));
        return SequenceSource(InlineSequenceSource(
            SequenceRecord{.id = source_name, .sequence = std::move(*sequence)}));
    }

    std::string default_id = raw_id(*file, name);
    const std::filesystem::path path(*file);
    std::unique_ptr<ByteStream> stream;
    if (is_standard_input(path)) {
        if (standard_input != nullptr)
            stream = std::make_unique<IstreamByteStream>(*standard_input);
        else
            stream = std::make_unique<FdByteStream>(0, false);
    } else {
        auto opened = FdByteStream::open(path);
        if (!opened)
            return std::unexpected("failed to open " + source_name + " file " + std::string(*file)
                                   + ": " + opened.error());
        stream = std::move(*opened);
        if (has_gz_extension(path)) {
            auto gzip = GzipByteStream::make(std::move(stream));
            if (!gzip)
                return std::unexpected("failed to read " + source_name + " input: " + gzip.error());
            stream = std::move(*gzip);
        }
    }
    auto source =
        StreamingSequenceSource::open(std::move(stream), source_name, std::move(default_id));
    if (!source)
        return std::unexpected(std::move(source).error());
    return SequenceSource(std::move(*source));
}

}  // namespace

SequenceItem InlineSequenceSource::next() {
    if (!pending_)
        return end_of_source();
    auto item = std::move(*pending_);
    pending_.reset();
    if (!item)
        return std::unexpected(std::move(item).error());
    return std::optional<SequenceRecord>(std::move(*item));
}

StreamingSequenceSource::StreamingSequenceSource(SequenceReader reader, std::string default_id,
                                                 std::string first_line)
    : reader_(std::move(reader)), default_id_(std::move(default_id)) {
    format_ = first_line.front() == '>'   ? SequenceFormat::fasta
              : first_line.front() == '@' ? SequenceFormat::fastq
                                          : SequenceFormat::raw;
    pending_ = std::move(first_line);
}

Result<StreamingSequenceSource> StreamingSequenceSource::open(std::unique_ptr<ByteStream> stream,
                                                              std::string name,
                                                              std::string default_id) {
    SequenceReader reader(std::move(stream), std::move(name));
    auto first = reader.read_first_line();
    if (!first)
        return std::unexpected(std::move(first).error());
    return StreamingSequenceSource(std::move(reader), std::move(default_id), std::move(*first));
}

SequenceItem StreamingSequenceSource::fail(SequenceReadError error) {
    done_ = true;
    return std::unexpected(std::move(error));
}

SequenceReader::Line StreamingSequenceSource::take_line() {
    if (pending_) {
        line_ = std::move(*pending_);
        pending_.reset();
        return std::optional<std::string_view>(line_);
    }
    auto line = reader_.read_line();
    if (!line)
        done_ = true;
    return line;
}

SequenceItem StreamingSequenceSource::next() {
    if (done_)
        return end_of_source();
    switch (format_) {
        case SequenceFormat::fasta:
            return next_fasta();
        case SequenceFormat::fastq:
            return next_fastq();
        case SequenceFormat::raw:
            return next_raw();
    }
    return end_of_source();
}

SequenceItem StreamingSequenceSource::next_fasta() {
    auto header = take_line();
    if (!header)
        return std::unexpected(std::move(header).error());
    if (!*header) {
        done_ = true;
        return end_of_source();
    }
    if (!starts_with(**header, '>')) {
        // Pending lines of FASTA input always begin with ">"; this only guards the invariant.
        reader_.count_record();
        return std::unexpected(reader_.error("FASTA record does not start with '>'"));
    }
    std::string id = parse_record_id((*header)->substr(1), reader_.record_count() + 1);
    Normalizer sequence;
    for (;;) {
        auto line = reader_.read_line();
        if (!line)
            return fail(std::move(line).error());
        if (!*line) {
            done_ = true;
            break;
        }
        if (starts_with(**line, '>')) {
            pending_ = std::string(**line);
            break;
        }
        sequence.append(**line);
    }
    reader_.count_record();
    if (sequence.failed)
        return std::unexpected(
            SequenceReadError{.message = non_ascii_sequence_message(reader_.name()),
                              .line = reader_.line_count(),
                              .recoverable = true});
    return std::optional<SequenceRecord>(
        SequenceRecord{.id = std::move(id), .sequence = std::move(sequence.out)});
}

SequenceItem StreamingSequenceSource::next_fastq() {
    auto header = take_line();
    if (!header)
        return std::unexpected(std::move(header).error());
    if (!*header) {
        done_ = true;
        return end_of_source();
    }
    if (!starts_with(**header, '@')) {
        // Resynchronise on the next header; the lines in between are discarded.
        for (;;) {
            auto line = reader_.read_line();
            if (!line)
                return fail(std::move(line).error());
            if (!*line) {
                done_ = true;
                break;
            }
            if (starts_with(**line, '@')) {
                pending_ = std::string(**line);
                break;
            }
        }
        reader_.count_record();
        return std::unexpected(reader_.error("FASTQ record does not start with '@'"));
    }
    std::string id = parse_record_id((*header)->substr(1), reader_.record_count() + 1);

    Normalizer sequence;
    for (;;) {
        auto line = reader_.read_line();
        if (!line)
            return fail(std::move(line).error());
        if (!*line) {
            reader_.count_record();
            return fail(reader_.error("FASTQ record is truncated before '+'"));
        }
        if (starts_with(**line, '+'))
            break;
        sequence.append(**line);
    }

    // The quality part ends by length, so its lines may begin with "@" or "+".
    const std::uint64_t expected = sequence.non_blank;
    if (expected > 0) {
        std::uint64_t total = 0;
        while (total < expected) {
            auto line = reader_.read_line();
            if (!line)
                return fail(std::move(line).error());
            if (!*line) {
                reader_.count_record();
                return fail(reader_.error("FASTQ quality is truncated"));
            }
            total = saturating_add(total, (*line)->size());
        }
        reader_.count_record();
        if (total > expected)
            return std::unexpected(reader_.error("FASTQ quality length " + std::to_string(total)
                                                 + " does not match sequence length "
                                                 + std::to_string(expected)));
    } else {
        reader_.count_record();
    }
    if (sequence.failed)
        return std::unexpected(
            SequenceReadError{.message = non_ascii_sequence_message(reader_.name()),
                              .line = reader_.line_count(),
                              .recoverable = true});
    return std::optional<SequenceRecord>(
        SequenceRecord{.id = std::move(id), .sequence = std::move(sequence.out)});
}

SequenceItem StreamingSequenceSource::next_raw() {
    Normalizer sequence;
    if (pending_) {
        sequence.append(*pending_);
        pending_.reset();
    }
    for (;;) {
        auto line = reader_.read_line();
        if (!line)
            return fail(std::move(line).error());
        if (!*line)
            break;
        sequence.append(**line);
    }
    done_ = true;
    if (sequence.failed)
        return std::unexpected(
            SequenceReadError{.message = non_ascii_sequence_message(reader_.name()),
                              .line = reader_.line_count(),
                              .recoverable = true});
    return std::optional<SequenceRecord>(
        SequenceRecord{.id = default_id_, .sequence = std::move(sequence.out)});
}

SequenceItem SequenceSource::next() {
    return std::visit([](auto& source) { return source.next(); }, source_);
}

Result<SequenceSource> open_sequence_source(std::optional<std::string_view> inline_value,
                                            std::optional<std::string_view> file,
                                            std::string_view name) {
    return open_source(inline_value, file, name, nullptr);
}

Result<SequenceSource> open_sequence_source(std::optional<std::string_view> inline_value,
                                            std::optional<std::string_view> file,
                                            std::string_view name, std::istream& standard_input) {
    return open_source(inline_value, file, name, &standard_input);
}

std::string parse_record_id(std::string_view header, std::uint64_t number) {
    std::size_t begin = 0;
    while (begin < header.size() && is_sequence_blank(header[begin]))
        ++begin;
    std::size_t end = begin;
    while (end < header.size() && !is_sequence_blank(header[end]))
        ++end;
    if (begin == end)
        return "record_" + std::to_string(number);
    return std::string(header.substr(begin, end - begin));
}

std::string raw_id(std::string_view path, std::string_view name) {
    std::filesystem::path file(path);
    if (has_gz_extension(file))
        file = file.stem();
    std::string stem = file.stem().string();
    if (stem.empty())
        return std::string(name);
    return stem;
}

Result<std::string> normalize_sequence(std::string_view bytes, std::string_view name) {
    Normalizer normalizer;
    normalizer.append(bytes);
    if (normalizer.failed)
        return std::unexpected(non_ascii_sequence_message(name));
    return std::move(normalizer.out);
}

}  // namespace rux_dp
