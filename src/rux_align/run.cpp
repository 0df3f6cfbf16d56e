#include "rux_align/run.hpp"

#include <variant>

namespace rux_align {

ExitStatus exit_status(const RunFlags& flags) {
    if (flags.saw_error) return ExitStatus::error;
    if (flags.saw_failure) return ExitStatus::failed;
    if (flags.saw_inconclusive) return ExitStatus::inconclusive;
    return ExitStatus::ok;
}

rux_dp::AlignmentMode to_alignment_mode(Mode mode) {
    switch (mode) {
        case Mode::edit_distance:
            return rux_dp::AlignmentMode::edit_distance;
        case Mode::global_linear:
            return rux_dp::AlignmentMode::global_linear;
        case Mode::global_affine:
            return rux_dp::AlignmentMode::global_affine;
        case Mode::local_linear:
            return rux_dp::AlignmentMode::local_linear;
        case Mode::semiglobal_linear:
            return rux_dp::AlignmentMode::semiglobal_linear;
    }
    return rux_dp::AlignmentMode::edit_distance;
}

rux_dp::SubstitutionScheme substitution_scheme(std::int32_t match, std::int32_t mismatch_penalty,
                                               const std::optional<MatrixName>& matrix) {
    if (matrix) return rux_dp::Blosum62Scheme{};
    return rux_dp::MatchMismatchScheme{.match_score = match, .mismatch_penalty = mismatch_penalty};
}

std::optional<std::string_view> value_text(const std::optional<std::string>& value) {
    if (!value) return std::nullopt;
    return std::string_view(*value);
}

std::optional<std::string_view> path_text(const std::optional<std::filesystem::path>& path) {
    if (!path) return std::nullopt;
    return std::string_view(path->native());
}

std::optional<std::string> path_string(const std::optional<std::filesystem::path>& path) {
    if (!path) return std::nullopt;
    return path->string();
}

rux_dp::Result<int> run(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    auto parsed = parse_command_line(argc, argv, out, err);
    if (!parsed) return std::unexpected(std::move(parsed).error());
    if (const auto* early = std::get_if<EarlyExit>(&*parsed)) return early->status;
    const Command& command = std::get<Cli>(*parsed).command;
    if (const auto* solve = std::get_if<SolveCommand>(&command)) return run_solve(*solve);
    if (const auto* verify = std::get_if<VerifyCommand>(&command)) return run_verify(*verify);
    return run_compare(std::get<CompareCommand>(command));
}

}  // namespace rux_align
