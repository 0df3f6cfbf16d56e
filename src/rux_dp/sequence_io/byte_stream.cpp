#include "rux_dp/sequence_io/byte_stream.hpp"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <system_error>

namespace rux_dp {

namespace {

std::string os_error_text(int error) {
    return std::error_code(error, std::generic_category()).message();
}

constexpr std::size_t compressed_buffer_size = 8192;

}  // namespace

FdByteStream::~FdByteStream() {
    if (owned_ && fd_ >= 0)
        ::close(fd_);
}

Result<std::unique_ptr<FdByteStream>> FdByteStream::open(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::unexpected(os_error_text(errno));
    return std::make_unique<FdByteStream>(fd, true);
}

Result<std::size_t> FdByteStream::read(char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, size);
        if (n >= 0)
            return static_cast<std::size_t>(n);
        if (errno != EINTR)
            return std::unexpected(os_error_text(errno));
    }
}

Result<std::size_t> IstreamByteStream::read(char* buffer, std::size_t size) {
    if (size == 0 || in_->eof())
        return std::size_t{0};
    in_->read(buffer, static_cast<std::streamsize>(size));
    if (in_->bad())
        return std::unexpected(std::string("input stream error"));
    return static_cast<std::size_t>(in_->gcount());
}

struct GzipByteStream::State {
    z_stream zs{};
    char input[compressed_buffer_size];
    bool input_ended = false;
    // True once a member has begun and not yet ended: the end of the input is then a truncation.
    bool in_member = false;
};

GzipByteStream::GzipByteStream(std::unique_ptr<ByteStream> compressed)
    : compressed_(std::move(compressed)), state_(std::make_unique<State>()) {}

Result<std::unique_ptr<GzipByteStream>> GzipByteStream::make(
    std::unique_ptr<ByteStream> compressed) {
    std::unique_ptr<GzipByteStream> stream(new GzipByteStream(std::move(compressed)));
    // 16 + MAX_WBITS: gzip wrapper only, so a zlib or raw stream is rejected rather than accepted.
    const int rc = inflateInit2(&stream->state_->zs, 16 + MAX_WBITS);
    if (rc != Z_OK) {
        const char* text = stream->state_->zs.msg != nullptr ? stream->state_->zs.msg : zError(rc);
        stream->state_.reset();
        return std::unexpected(std::string(text));
    }
    return stream;
}

GzipByteStream::~GzipByteStream() {
    if (state_)
        inflateEnd(&state_->zs);
}

Result<std::size_t> GzipByteStream::read(char* buffer, std::size_t size) {
    State& s = *state_;
    z_stream& zs = s.zs;
    const auto out_size =
        static_cast<uInt>(std::min<std::size_t>(size, std::numeric_limits<uInt>::max()));
    if (out_size == 0)
        return std::size_t{0};
    zs.next_out = reinterpret_cast<Bytef*>(buffer);
    zs.avail_out = out_size;
    while (zs.avail_out == out_size) {
        if (zs.avail_in == 0 && !s.input_ended) {
            auto n = compressed_->read(s.input, sizeof s.input);
            if (!n)
                return std::unexpected(std::move(n).error());
            if (*n == 0) {
                s.input_ended = true;
            } else {
                zs.next_in = reinterpret_cast<Bytef*>(s.input);
                zs.avail_in = static_cast<uInt>(*n);
            }
        }
        if (zs.avail_in == 0 && s.input_ended) {
            if (s.in_member)
                return std::unexpected(std::string("unexpected end of gzip data"));
            break;
        }
        s.in_member = true;
        const int rc = inflate(&zs, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) {
            // The next member, if any, continues the same byte stream.
            const int reset = inflateReset(&zs);
            if (reset != Z_OK)
                return std::unexpected(std::string(zError(reset)));
            s.in_member = false;
        } else if (rc == Z_NEED_DICT) {
            return std::unexpected(std::string("gzip data needs a preset dictionary"));
        } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
            return std::unexpected(std::string(zs.msg != nullptr ? zs.msg : zError(rc)));
        }
    }
    return static_cast<std::size_t>(out_size - zs.avail_out);
}

}  // namespace rux_dp
