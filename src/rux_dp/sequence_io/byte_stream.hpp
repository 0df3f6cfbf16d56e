#pragma once

#include "rux_dp/base/result.hpp"

#include <cstddef>
#include <filesystem>
#include <istream>
#include <memory>
#include <string>

namespace rux_dp {

/// A source of bytes: a file, standard input, or a decoder over another stream.
class ByteStream {
public:
    virtual ~ByteStream() = default;
    /// Reads up to `size` bytes into `buffer`; 0 means the end of the input. The error is the
    /// system's or the decoder's own text (no prefix).
    [[nodiscard]] virtual Result<std::size_t> read(char* buffer, std::size_t size) = 0;
};

/// Reads a file descriptor with read(2); closes it on release only if `owned`.
class FdByteStream final : public ByteStream {
public:
    FdByteStream(int fd, bool owned) : fd_(fd), owned_(owned) {}
    ~FdByteStream() override;
    FdByteStream(const FdByteStream&) = delete;
    FdByteStream& operator=(const FdByteStream&) = delete;

    /// Opens `path` for reading; the error is the operating system's text.
    [[nodiscard]] static Result<std::unique_ptr<FdByteStream>> open(
        const std::filesystem::path& path);
    [[nodiscard]] Result<std::size_t> read(char* buffer, std::size_t size) override;

private:
    int fd_;
    bool owned_;
};

/// Reads a borrowed `std::istream` (standard input injected by tests or callers).
class IstreamByteStream final : public ByteStream {
public:
    explicit IstreamByteStream(std::istream& in) : in_(&in) {}
    [[nodiscard]] Result<std::size_t> read(char* buffer, std::size_t size) override;

private:
    std::istream* in_;
};

/// Decompresses gzip data from another stream with zlib's inflate. Concatenated members form one
/// stream. Data that is not gzip, or a member cut short, is an error (never passed through).
class GzipByteStream final : public ByteStream {
public:
    /// Fails only if zlib cannot set up its state; the error is zlib's text.
    [[nodiscard]] static Result<std::unique_ptr<GzipByteStream>> make(
        std::unique_ptr<ByteStream> compressed);
    ~GzipByteStream() override;
    GzipByteStream(const GzipByteStream&) = delete;
    GzipByteStream& operator=(const GzipByteStream&) = delete;

    [[nodiscard]] Result<std::size_t> read(char* buffer, std::size_t size) override;

private:
    struct State;
    explicit GzipByteStream(std::unique_ptr<ByteStream> compressed);

    std::unique_ptr<ByteStream> compressed_;
    std::unique_ptr<State> state_;
};

}  // namespace rux_dp
