#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "rux_dp/base/result.hpp"

namespace rux_align {

/// A byte sink with an 8192-byte buffer over a file it created or standard output. Errors are the
/// operating system's text; the caller adds its prefix. Releasing it flushes (errors ignored).
class Writer {
public:
    static constexpr std::size_t buffer_size = 8192;

    /// Standard output.
    Writer();
    /// Takes ownership of `fd` (closed on release).
    explicit Writer(int fd, bool owned);
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    Writer(Writer&& other) noexcept;
    Writer& operator=(Writer&& other) noexcept;
    ~Writer();

    /// Creates (truncating) `path` with mode 0666 before the umask.
    [[nodiscard]] static rux_dp::Result<Writer> create(const std::string& path);

    [[nodiscard]] rux_dp::Result<void> write_all(std::string_view bytes);
    [[nodiscard]] rux_dp::Result<void> flush();

private:
    [[nodiscard]] rux_dp::Result<void> write_fd(std::string_view bytes);
    void release();

    int fd_ = 1;
    bool owned_ = false;
    std::string buffer_;
};

/// `open_writer`: a buffered writer on a newly created file ("failed to create {}: {}") or on
/// standard output when no path is given.
[[nodiscard]] rux_dp::Result<Writer> open_writer(const std::optional<std::string>& path);

/// The operating system's text for `errno` value `err`.
std::string os_error_text(int err);

}  // namespace rux_align
