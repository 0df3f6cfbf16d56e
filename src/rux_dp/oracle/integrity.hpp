#pragma once

#include "rux_dp/base/result.hpp"
#include "rux_dp/oracle/records.hpp"

#include <string>
#include <string_view>

namespace rux_dp {

inline constexpr std::string_view integrity_version = "rux-align.integrity.v1";
inline constexpr std::string_view integrity_hash_algorithm = "sha256";

/// SHA-256 (FIPS 180-4) of `bytes` as 64 lower-case hexadecimal digits.
std::string sha256_hex(std::string_view bytes);

/// The canonical JSON object of the record's deterministic members, in this order:
/// "schema_version", "producer", "pair", "problem", "alignment", "verification".
std::string fingerprint_text(const AlignmentRecord& record);

/// The fingerprint of `record`: the SHA-256 of its fingerprint text. Metrics, record type and any
/// fingerprint already attached play no part.
[[nodiscard]] Result<IntegrityFingerprint> integrity_for(const AlignmentRecord& record);

/// Whether the record's fingerprint matches its contents. A missing fingerprint, an unsupported
/// version or an unsupported hash algorithm is an error, not a false verdict.
[[nodiscard]] Result<bool> verify_integrity(const AlignmentRecord& record);

}  // namespace rux_dp
