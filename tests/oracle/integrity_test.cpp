#include "rux_dp/oracle/integrity.hpp"

#include "rux_dp/oracle/json_reader.hpp"
#include "rux_dp/oracle/json_writer.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/sample_records.hpp"

namespace rux_dp {
namespace {

using test::full_record;
using test::minimal_record;

TEST(Sha256Hex, KnownVectors) {
    // FIPS 180-4 examples (NIST CSRC "SHA256.pdf") and the digest of the empty input.
    EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(sha256_hex(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Integrity, FingerprintTextLeavesOutRecordTypeMetricsAndIntegrity) {
    AlignmentRecord record = minimal_record();
    record.metrics = Metrics{.elapsed_ms = 3, .work_cells = 6};
    record.integrity = IntegrityFingerprint{
        .version = "x", .hash_algorithm = "y", .deterministic_fields_sha256 = "z"};
    const std::string expected =
        R"({"schema_version":"rux-align.v2",)"
        R"("producer":{"name":"rux-align","version":"0.2.0-alpha.2","backend":"bit-parallel"},)"
        R"("pair":{"index":0,"query":{"id":"q","length":2,"sha256":"aa"},)"
        R"("target":{"id":"t","length":1,"sha256":"bb"}},)"
        R"("problem":{"mode":"edit-distance","scoring":{"kind":"edit-distance"}},)"
        R"("alignment":{"objective":{"kind":"distance","value":1}},)"
        R"("verification":{"level":"structure","status":"verified",)"
        R"("checks":[{"name":"structure","passed":true}]}})";
    EXPECT_EQ(fingerprint_text(record), expected);

    const auto fingerprint = integrity_for(record);
    ASSERT_TRUE(fingerprint) << fingerprint.error();
    EXPECT_EQ(fingerprint->version, "rux-align.integrity.v1");
    EXPECT_EQ(fingerprint->hash_algorithm, "sha256");
    EXPECT_EQ(fingerprint->deterministic_fields_sha256, sha256_hex(expected));
}

std::string digest_of(const AlignmentRecord& record) {
    const auto fingerprint = integrity_for(record);
    EXPECT_TRUE(fingerprint) << fingerprint.error();
    return fingerprint ? fingerprint->deterministic_fields_sha256 : std::string();
}

TEST(Integrity, RunDependentMembersDoNotCount) {
    const AlignmentRecord base = full_record();
    const std::string digest = digest_of(base);
    AlignmentRecord changed = base;
    changed.metrics->elapsed_ms = 99.5;
    changed.metrics->work_cells = 1;
    EXPECT_EQ(digest_of(changed), digest);
    changed.metrics.reset();
    changed.record_type = "verification";
    changed.integrity.reset();
    EXPECT_EQ(digest_of(changed), digest);
}

TEST(Integrity, EveryDeterministicChangeCounts) {
    const AlignmentRecord base = full_record();
    const std::string digest = digest_of(base);
    const std::pair<const char*, std::function<void(AlignmentRecord&)>> changes[] = {
        {"commit", [](AlignmentRecord& r) { r.producer.commit->back() = '8'; }},
        {"no commit", [](AlignmentRecord& r) { r.producer.commit.reset(); }},
        {"backend", [](AlignmentRecord& r) { r.producer.backend += "x"; }},
        {"check detail", [](AlignmentRecord& r) { r.verification.checks[1].detail = "other"; }},
        {"cigar",
         [](AlignmentRecord& r) { r.alignment.trace->cigar = *Cigar::parse("1=1I1X1D2="); }},
        {"operations removed", [](AlignmentRecord& r) { r.alignment.trace->operations.reset(); }},
        {"operations emptied", [](AlignmentRecord& r) { r.alignment.trace->operations->clear(); }},
        {"schema version", [](AlignmentRecord& r) { r.schema_version = "rux-align.v3"; }},
        {"pair index", [](AlignmentRecord& r) { r.pair.index = 0; }},
        {"gap",
         [](AlignmentRecord& r) { std::get<AffineScoring>(r.problem.scoring).gap_open = -6; }},
        {"objective", [](AlignmentRecord& r) { r.alignment.objective.value += 1; }},
        {"status",
         [](AlignmentRecord& r) { r.verification.status = VerificationStatus::verified; }},
    };
    for (const auto& [name, change] : changes) {
        SCOPED_TRACE(name);
        AlignmentRecord changed = base;
        change(changed);
        EXPECT_NE(digest_of(changed), digest);
    }
}

AlignmentRecord sealed(AlignmentRecord record) {
    record.integrity = *integrity_for(record);
    return record;
}

TEST(Integrity, VerifiesAfterReadingAnyEquivalentText) {
    const AlignmentRecord record = sealed(minimal_record());
    const auto direct = verify_integrity(record);
    ASSERT_TRUE(direct) << direct.error();
    EXPECT_TRUE(*direct);

    // The same record with its members reordered, nulls for absent members and some whitespace.
    const std::string text =
        R"({"integrity":{"deterministic_fields_sha256":")"
        + record.integrity->deterministic_fields_sha256
        + R"(","hash_algorithm":"sha256","version":"rux-align.integrity.v1"},)"
          R"( "metrics" : null, "record_type":"alignment","schema_version":"rux-align.v2",)"
          R"("verification":{"checks":[{"passed":true,"name":"structure","detail":null}],)"
          R"("status":"verified","level":"structure","reason":null},)"
          R"("alignment":{"trace":null,"objective":{"value":1,"kind":"distance"}},)"
          R"("problem":{"scoring":{"kind":"edit-distance"},"mode":"edit-distance"},)"
          R"("pair":{"target":{"sha256":"bb","length":1,"id":"t"},)"
          R"("query":{"length":2,"id":"q","sha256":"aa"},"index":0},)"
          R"("producer":{"backend":"bit-parallel","version":"0.2.0-alpha.2","name":"rux-align",)"
          R"("commit":null}})";
    const auto read = read_alignment_record(text);
    ASSERT_TRUE(read) << read.error();
    const auto verdict = verify_integrity(*read);
    ASSERT_TRUE(verdict) << verdict.error();
    EXPECT_TRUE(*verdict);
}

TEST(Integrity, FullRecordSurvivesARoundTrip) {
    const AlignmentRecord record = sealed(full_record());
    const auto read = read_alignment_record(json_text(record));
    ASSERT_TRUE(read) << read.error();
    const auto verdict = verify_integrity(*read);
    ASSERT_TRUE(verdict) << verdict.error();
    EXPECT_TRUE(*verdict);
}

TEST(Integrity, MismatchIsAFalseVerdict) {
    AlignmentRecord record = sealed(full_record());
    record.verification.reason = "changed";
    auto verdict = verify_integrity(record);
    ASSERT_TRUE(verdict) << verdict.error();
    EXPECT_FALSE(*verdict);

    // Digests compare as text: the same digest in upper case does not match.
    record = sealed(full_record());
    for (char& ch : record.integrity->deterministic_fields_sha256) {
        if (ch >= 'a' && ch <= 'f')
            ch = static_cast<char>(ch - 'a' + 'A');
    }
    verdict = verify_integrity(record);
    ASSERT_TRUE(verdict) << verdict.error();
    EXPECT_FALSE(*verdict);
}

TEST(Integrity, UnusableFingerprintsAreErrors) {
    AlignmentRecord record = minimal_record();
    auto verdict = verify_integrity(record);
    ASSERT_FALSE(verdict);
    EXPECT_EQ(verdict.error(), "record has no integrity fingerprint");

    record = sealed(minimal_record());
    record.integrity->version = "rux-align.integrity.v2";
    verdict = verify_integrity(record);
    ASSERT_FALSE(verdict);
    EXPECT_EQ(verdict.error(),
              "unsupported integrity fingerprint version 'rux-align.integrity.v2'");

    // The version is checked before the algorithm.
    record.integrity->hash_algorithm = "md5";
    verdict = verify_integrity(record);
    ASSERT_FALSE(verdict);
    EXPECT_EQ(verdict.error(),
              "unsupported integrity fingerprint version 'rux-align.integrity.v2'");

    record = sealed(minimal_record());
    record.integrity->hash_algorithm = "SHA256";
    verdict = verify_integrity(record);
    ASSERT_FALSE(verdict);
    EXPECT_EQ(verdict.error(), "unsupported integrity hash algorithm 'SHA256'");
}

}  // namespace
}  // namespace rux_dp
