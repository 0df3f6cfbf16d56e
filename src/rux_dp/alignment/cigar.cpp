#include "rux_dp/alignment/cigar.hpp"

#include <charconv>
#include <limits>

namespace rux_dp {

namespace {

constexpr std::string_view overflow_message = "CIGAR run length overflowed usize";

// The character at `pos` as UTF-8 text, so that messages quote whole characters.
std::string_view utf8_char_at(std::string_view text, std::size_t pos) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    std::size_t width = 1;
    if (lead >= 0xF0) {
        width = 4;
    } else if (lead >= 0xE0) {
        width = 3;
    } else if (lead >= 0xC0) {
        width = 2;
    }
    return text.substr(pos, std::min(width, text.size() - pos));
}

}  // namespace

char cigar_char(CigarOp op) {
    switch (op) {
        case CigarOp::match:
            return '=';
        case CigarOp::mismatch:
            return 'X';
        case CigarOp::insertion:
            return 'I';
        case CigarOp::deletion:
            return 'D';
    }
    return '?';
}

void push_cigar_run(std::string& text, std::uint64_t length, CigarOp op) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, length).ptr;
    text.append(digits, end);
    text.push_back(cigar_char(op));
}

Result<Cigar> Cigar::make(std::vector<CigarRun> runs) {
    for (const CigarRun& run : runs) {
        if (run.length == 0) return std::unexpected("CIGAR runs must be positive");
    }
    Cigar cigar;
    cigar.runs_.reserve(runs.size());
    for (const CigarRun& run : runs) {
        if (!cigar.runs_.empty() && cigar.runs_.back().op == run.op) {
            std::uint64_t& length = cigar.runs_.back().length;
            if (length > std::numeric_limits<std::uint64_t>::max() - run.length)
                return std::unexpected(std::string(overflow_message));
            length += run.length;
        } else {
            cigar.runs_.push_back(run);
        }
    }
    return cigar;
}

Result<Cigar> Cigar::parse(std::string_view text) {
    if (text.empty() || text == "*") return Cigar{};
    std::vector<CigarRun> runs;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char first = text[pos];
        if (first < '0' || first > '9')
            return std::unexpected("invalid CIGAR run before '" +
                                   std::string(utf8_char_at(text, pos)) + "'");
        std::uint64_t length = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            const auto digit = static_cast<std::uint64_t>(text[pos] - '0');
            if (length > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
                return std::unexpected(std::string(overflow_message));
            length = length * 10 + digit;
            ++pos;
        }
        if (pos == text.size())
            return std::unexpected("CIGAR ends with a length and no operation");
        const std::string_view op_text = utf8_char_at(text, pos);
        if (length == 0)
            return std::unexpected("invalid CIGAR run before '" + std::string(op_text) + "'");
        CigarOp op;
        switch (text[pos]) {
            case '=':
                op = CigarOp::match;
                break;
            case 'X':
                op = CigarOp::mismatch;
                break;
            case 'I':
                op = CigarOp::insertion;
                break;
            case 'D':
                op = CigarOp::deletion;
                break;
            default:
                return std::unexpected("unsupported canonical CIGAR operation '" +
                                       std::string(op_text) + "'");
        }
        pos += op_text.size();
        runs.push_back({length, op});
    }
    return make(std::move(runs));
}

std::string Cigar::text() const {
    std::string out;
    for (const CigarRun& run : runs_) push_cigar_run(out, run.length, run.op);
    return out;
}

}  // namespace rux_dp
