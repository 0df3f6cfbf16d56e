#include "rux_dp/sequence_io/sequence_reader.hpp"

#include <algorithm>
#include <cstring>

namespace rux_dp {

namespace {

bool has_non_ascii(std::string_view line) {
    return std::any_of(line.begin(), line.end(),
                       [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

bool is_blank_line(std::string_view line) {
    return std::all_of(line.begin(), line.end(), is_sequence_blank);
}

}  // namespace

SequenceReader::SequenceReader(std::unique_ptr<ByteStream> stream, std::string name)
    : stream_(std::move(stream)), name_(std::move(name)), buffer_(new char[buffer_size]) {}

SequenceReader::Fetch SequenceReader::fetch_line() {
    line_.clear();
    bool any = false;
    for (;;) {
        if (pos_ == end_) {
            // The end is sticky: a terminal or pipe could yield more after a zero-byte read.
            if (eof_)
                break;
            auto n = stream_->read(buffer_.get(), buffer_size);
            if (!n) {
                failure_ = std::move(n).error();
                return Fetch::failed;
            }
            if (*n == 0) {
                eof_ = true;
                break;
            }
            pos_ = 0;
            end_ = *n;
        }
        const char* begin = buffer_.get() + pos_;
        const auto* newline = static_cast<const char*>(std::memchr(begin, '\n', end_ - pos_));
        const std::size_t take =
            newline != nullptr ? static_cast<std::size_t>(newline - begin) + 1 : end_ - pos_;
        line_.append(begin, take);
        pos_ += take;
        any = true;
        if (newline != nullptr)
            break;
    }
    if (!any)
        return Fetch::end;
    ++line_count_;
    // One terminator only: "\n" then a "\r" before it, or a last line's lone "\r".
    if (line_.back() == '\n') {
        line_.pop_back();
        if (!line_.empty() && line_.back() == '\r')
            line_.pop_back();
    } else if (line_.back() == '\r') {
        line_.pop_back();
    }
    return Fetch::line;
}

Result<std::string> SequenceReader::read_first_line() {
    for (;;) {
        switch (fetch_line()) {
            case Fetch::failed:
                return std::unexpected("failed to read " + name_ + " input: " + failure_);
            case Fetch::end:
                return std::unexpected(name_ + " input contains no records");
            case Fetch::line:
                if (has_non_ascii(line_))
                    return std::unexpected(name_ + " input contains non-ASCII data");
                if (!is_blank_line(line_))
                    return line_;
                break;
        }
    }
}

SequenceReader::Line SequenceReader::read_line() {
    switch (fetch_line()) {
        case Fetch::failed:
            return std::unexpected(
                SequenceReadError{.message = name_ + " failed to read input stream: " + failure_,
                                  .line = line_count_,
                                  .recoverable = false});
        case Fetch::end:
            return std::optional<std::string_view>();
        case Fetch::line:
            break;
    }
    if (has_non_ascii(line_))
        return std::unexpected(error("sequence input contains non-ASCII data"));
    return std::optional<std::string_view>(line_);
}

SequenceReadError SequenceReader::error(std::string_view text) const {
    return SequenceReadError{
        .message = name_ + " " + std::string(text), .line = line_count_, .recoverable = true};
}

}  // namespace rux_dp
