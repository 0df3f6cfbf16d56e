#include "rux_dp/oracle/compare.hpp"

#include <utility>

#include "rux_dp/base/version.hpp"
#include "rux_dp/oracle/verify.hpp"

namespace rux_dp {

namespace {

std::uint64_t cigar_total(const Cigar& cigar) {
    std::uint64_t total = 0;
    for (const CigarRun& run : cigar.runs()) total += run.length;
    return total;
}

std::string failed_check_names(const VerificationReport& report) {
    std::string names;
    for (const CheckResult& check : report.verification.checks) {
        if (check.passed) continue;
        if (!names.empty()) names += ',';
        names += check.name;
    }
    return names;
}

bool valid_utf8(std::string_view text) {
    std::size_t k = 0;
    while (k < text.size()) {
        const auto b = static_cast<unsigned char>(text[k]);
        std::size_t width;
        std::uint32_t cp;
        if (b < 0x80) {
            ++k;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            width = 2;
            cp = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            width = 3;
            cp = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            width = 4;
            cp = b & 0x07;
        } else {
            return false;
        }
        if (k + width > text.size()) return false;
        for (std::size_t c = 1; c < width; ++c) {
            const auto cont = static_cast<unsigned char>(text[k + c]);
            if ((cont & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cont & 0x3F);
        }
        const bool overlong = (width == 2 && cp < 0x80) || (width == 3 && cp < 0x800)
                              || (width == 4 && cp < 0x10000);
        if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        k += width;
    }
    return true;
}

// A record as the report shows it: without metrics, fingerprint or operation list.
AlignmentRecord stripped(AlignmentRecord record) {
    record.metrics.reset();
    record.integrity.reset();
    if (record.alignment.trace) record.alignment.trace->operations.reset();
    return record;
}

}  // namespace

Result<ComparisonReport> compare(AlignmentRecord left, AlignmentRecord right, std::string query,
                                 std::string target) {
    if (!(left.problem == right.problem))
        return std::unexpected("records use different problem definitions");
    if (left.pair.query.sha256 != right.pair.query.sha256
        || left.pair.target.sha256 != right.pair.target.sha256)
        return std::unexpected("records refer to different sequence pairs");

    const auto verify_optimal = [&](const AlignmentRecord& record) {
        return verify(VerificationRequest{.record = record,
                                          .query = query,
                                          .target = target,
                                          .max_cells = 0,
                                          .level = VerificationLevel::optimal});
    };
    const VerificationReport left_report = verify_optimal(left);
    const VerificationReport right_report = verify_optimal(right);

    const Objective& lo = left.alignment.objective;
    const Objective& ro = right.alignment.objective;
    const bool objectives_equal = lo == ro;
    const auto& lt = left.alignment.trace;
    const auto& rt = right.alignment.trace;
    const bool traces_equal = lt == rt;

    std::vector<std::string> differences;
    if (!objectives_equal) {
        differences.push_back("objective: left=" + std::to_string(lo.value) +
                              ", right=" + std::to_string(ro.value));
    } else if (!traces_equal) {
        if (lt && rt) {
            if (lt->query_span != rt->query_span || lt->target_span != rt->target_span)
                differences.push_back("coordinates: left=query " + span_text(lt->query_span) +
                                      ",target " + span_text(lt->target_span) + "; right=query " +
                                      span_text(rt->query_span) + ",target " +
                                      span_text(rt->target_span));
            const std::uint64_t l_total = cigar_total(lt->cigar);
            const std::uint64_t r_total = cigar_total(rt->cigar);
            if (l_total != r_total)
                differences.push_back("operation_count: left=" + std::to_string(l_total) +
                                      ", right=" + std::to_string(r_total));
        }
        differences.push_back("tie_breaking: different traces realize the same optimum");
    }
    const bool left_verified = left_report.verification.status == VerificationStatus::verified;
    const bool right_verified = right_report.verification.status == VerificationStatus::verified;
    if (!left_verified) differences.push_back("left_invalid: " + failed_check_names(left_report));
    if (!right_verified)
        differences.push_back("right_invalid: " + failed_check_names(right_report));

    if (!valid_utf8(query))
        return std::unexpected("comparison artifacts require ASCII/UTF-8 query sequences");
    if (!valid_utf8(target))
        return std::unexpected("comparison artifacts require ASCII/UTF-8 target sequences");

    ComparisonReport report;
    report.schema_version = std::string(schema_version);
    report.record_type = "comparison";
    report.inputs = ComparisonInputs{.query = std::move(query), .target = std::move(target)};
    report.pair = left.pair;
    report.problem = left.problem;
    report.left = stripped(std::move(left));
    report.right = stripped(std::move(right));
    report.objectives_equal = objectives_equal;
    report.traces_equal = traces_equal;
    report.equivalent = objectives_equal && left_verified && right_verified;
    report.differences = std::move(differences);
    return report;
}

}  // namespace rux_dp
