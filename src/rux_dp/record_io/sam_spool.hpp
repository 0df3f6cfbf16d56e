#pragma once

#include "rux_dp/base/result.hpp"
#include "rux_dp/oracle/records.hpp"

#include <concepts>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

namespace rux_dp {

/// Where a finished spool writes the SAM text: takes all the bytes, or returns the error text.
using SamSink = std::function<Result<void>(std::string_view)>;

/// A buffered output writer such as the program's own: `write_all` takes all the bytes or
/// returns the operating system's error text.
template <class W>
concept SamByteWriter = requires(W& writer, std::string_view bytes) {
    { writer.write_all(bytes) } -> std::same_as<Result<void>>;
};

/// Assembles a SAM file whose header lists every target before any alignment line, although the
/// targets are only learnt record by record: alignment lines go to a temporary body file, each
/// target's name and length to a temporary ordered table, and `finish` writes the header, one
/// "@SQ" line per target in ascending byte order of its id, then the body.
///
/// The spool owns a fresh "rux-align-sam-XXXXXX" directory holding "references.mdb" and
/// "body.sam"; releasing the spool (after `finish`, on a failure or when the run ends early)
/// removes it with its contents. Move-only; used from one thread.
class SamSpool {
public:
    /// A spool in a new directory under `temp_dir`, or under the system's temporary directory.
    [[nodiscard]] static Result<SamSpool> create(
        const std::optional<std::filesystem::path>& temp_dir = std::nullopt);

    SamSpool(SamSpool&& other) noexcept;
    SamSpool& operator=(SamSpool&& other) noexcept;
    SamSpool(const SamSpool&) = delete;
    SamSpool& operator=(const SamSpool&) = delete;
    ~SamSpool();

    /// Registers the record's target (id and declared length) and appends its SAM line; `query` is
    /// the whole query sequence. A conversion failure leaves the target registered; a length
    /// that contradicts an earlier record for the same target writes nothing.
    [[nodiscard]] Result<void> push(const AlignmentRecord& record, std::string_view query);

    /// Writes the whole SAM text to `sink` and releases the spool, whatever the outcome. The sink
    /// is not flushed. A spool that received no record gives the "@HD" line alone.
    [[nodiscard]] Result<void> finish(const SamSink& sink) &&;

    template <SamByteWriter W>
    [[nodiscard]] Result<void> finish(W& writer) && {
        return std::move(*this).finish(
            SamSink([&writer](std::string_view bytes) { return writer.write_all(bytes); }));
    }

private:
    struct State;
    explicit SamSpool(std::unique_ptr<State> state);

    std::unique_ptr<State> state_;
};

}  // namespace rux_dp
