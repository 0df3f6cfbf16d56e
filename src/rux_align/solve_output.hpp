#pragma once

#include <optional>
#include <string>
#include <variant>

#include "rux_align/outputs.hpp"
#include "rux_align/writer.hpp"
#include "rux_dp/oracle/records.hpp"
#include "rux_dp/record_io/sam_spool.hpp"

namespace rux_align {

/// Where `solve` writes its records: JSON or JSON Lines, a text report, PAF lines, or a SAM file
/// assembled through a spool.
class SolveOutput {
public:
    static SolveOutput json(JsonStream stream) { return SolveOutput(std::move(stream)); }
    static SolveOutput text(Writer writer) { return SolveOutput(Plain{std::move(writer), false}); }
    static SolveOutput paf(Writer writer) { return SolveOutput(Plain{std::move(writer), true}); }
    static SolveOutput sam(rux_dp::SamSpool spool, Writer writer) {
        return SolveOutput(Sam{std::move(spool), std::move(writer)});
    }

    /// Writes one record; `query` is the query sequence when the job kept it (SAM output).
    [[nodiscard]] rux_dp::Result<void> push(const rux_dp::AlignmentRecord& record,
                                            const std::optional<std::string>& query);
    /// Pushes an error record inline when this is a JSON Lines stream; false otherwise.
    [[nodiscard]] rux_dp::Result<bool> push_inline_error(const rux_dp::ErrorRecord& record);
    /// Completes the framing (or the SAM file) and flushes.
    [[nodiscard]] rux_dp::Result<void> finish();

private:
    struct Plain {
        Writer writer;
        bool paf = false;
    };
    struct Sam {
        rux_dp::SamSpool spool;
        Writer writer;
    };
    explicit SolveOutput(JsonStream stream) : out_(std::move(stream)) {}
    explicit SolveOutput(Plain plain) : out_(std::move(plain)) {}
    explicit SolveOutput(Sam sam) : out_(std::move(sam)) {}

    std::variant<JsonStream, Plain, Sam> out_;
};

}  // namespace rux_align
