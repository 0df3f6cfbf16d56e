#include "rux_align/writer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace rux_align {

std::string os_error_text(int err) { return std::strerror(err); }

Writer::Writer() { buffer_.reserve(buffer_size); }

Writer::Writer(int fd, bool owned) : fd_(fd), owned_(owned) { buffer_.reserve(buffer_size); }

Writer::Writer(Writer&& other) noexcept
    : fd_(other.fd_), owned_(other.owned_), buffer_(std::move(other.buffer_)) {
    other.fd_ = -1;
    other.owned_ = false;
    other.buffer_.clear();
}

Writer& Writer::operator=(Writer&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = std::exchange(other.fd_, -1);
        owned_ = std::exchange(other.owned_, false);
        buffer_ = std::move(other.buffer_);
        other.buffer_.clear();
    }
    return *this;
}

Writer::~Writer() { release(); }

void Writer::release() {
    if (fd_ >= 0) {
        (void)flush();
        if (owned_) ::close(fd_);
    }
    fd_ = -1;
    owned_ = false;
}

rux_dp::Result<Writer> Writer::create(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return std::unexpected(os_error_text(errno));
    return Writer(fd, true);
}

rux_dp::Result<void> Writer::write_fd(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(os_error_text(errno));
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return {};
}

rux_dp::Result<void> Writer::write_all(std::string_view bytes) {
    if (fd_ < 0) return std::unexpected(os_error_text(EBADF));
    if (buffer_.size() + bytes.size() <= buffer_size) {
        buffer_.append(bytes);
        return {};
    }
    if (auto flushed = flush(); !flushed) return flushed;
    // Large pieces bypass the buffer rather than being copied through it.
    if (bytes.size() >= buffer_size) return write_fd(bytes);
    buffer_.append(bytes);
    return {};
}

rux_dp::Result<void> Writer::flush() {
    if (fd_ < 0) return std::unexpected(os_error_text(EBADF));
    if (buffer_.empty()) return {};
    auto written = write_fd(buffer_);
    buffer_.clear();
    return written;
}

rux_dp::Result<Writer> open_writer(const std::optional<std::string>& path) {
    if (!path) return Writer();
    auto writer = Writer::create(*path);
    if (!writer) return std::unexpected("failed to create " + *path + ": " + writer.error());
    return writer;
}

}  // namespace rux_align
