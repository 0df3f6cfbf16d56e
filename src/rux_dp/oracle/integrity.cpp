#include "rux_dp/oracle/integrity.hpp"

#include "rux_dp/base/invariant.hpp"
#include "rux_dp/oracle/json_writer.hpp"

#include <openssl/evp.h>

#include <array>
#include <memory>

namespace rux_dp {

namespace {

// Fetched once: the one-shot digest with EVP_sha256() looks the algorithm up (under a lock) and
// allocates a context on every call, which costs twice the digest of a short sequence.
const EVP_MD* sha256_algorithm() {
    static EVP_MD* const algorithm = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return algorithm;
}

struct DigestContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

EVP_MD_CTX* thread_digest_context() {
    thread_local const std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
    return context.get();
}

}  // namespace

std::string sha256_hex(std::string_view bytes) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int size = 0;
    // Fails only when OpenSSL cannot allocate or find the algorithm.
    const EVP_MD* algorithm = sha256_algorithm();
    EVP_MD_CTX* context = thread_digest_context();
    const bool ok = algorithm != nullptr && context != nullptr
                    && EVP_DigestInit_ex2(context, algorithm, nullptr) == 1
                    && EVP_DigestUpdate(context, bytes.data(), bytes.size()) == 1
                    && EVP_DigestFinal_ex(context, digest.data(), &size) == 1;
    invariant(ok && size == 32, "SHA-256 digest computation failed");
    static constexpr char hex[] = "0123456789abcdef";
    std::string text(2 * size, '0');
    for (unsigned int k = 0; k < size; ++k) {
        text[2 * k] = hex[digest[k] >> 4];
        text[2 * k + 1] = hex[digest[k] & 0x0F];
    }
    return text;
}

std::string fingerprint_text(const AlignmentRecord& record) {
    std::string out;
    out += "{\"schema_version\":";
    write_json_string(out, record.schema_version);
    out += ",\"producer\":";
    write_json(out, record.producer);
    out += ",\"pair\":";
    write_json(out, record.pair);
    out += ",\"problem\":";
    write_json(out, record.problem);
    out += ",\"alignment\":";
    write_json(out, record.alignment);
    out += ",\"verification\":";
    write_json(out, record.verification);
    out.push_back('}');
    return out;
}

Result<IntegrityFingerprint> integrity_for(const AlignmentRecord& record) {
    // The writer cannot fail (it replaces ill-formed UTF-8), so neither can this; the result type
    // leaves room for a writer that can.
    return IntegrityFingerprint{
        .version = std::string(integrity_version),
        .hash_algorithm = std::string(integrity_hash_algorithm),
        .deterministic_fields_sha256 = sha256_hex(fingerprint_text(record)),
    };
}

Result<bool> verify_integrity(const AlignmentRecord& record) {
    if (!record.integrity)
        return std::unexpected("record has no integrity fingerprint");
    const IntegrityFingerprint& given = *record.integrity;
    if (given.version != integrity_version)
        return std::unexpected("unsupported integrity fingerprint version '" + given.version + "'");
    if (given.hash_algorithm != integrity_hash_algorithm)
        return std::unexpected("unsupported integrity hash algorithm '" + given.hash_algorithm
                               + "'");
    auto expected = integrity_for(record);
    if (!expected)
        return std::unexpected(std::move(expected).error());
    return expected->deterministic_fields_sha256 == given.deterministic_fields_sha256;
}

}  // namespace rux_dp
