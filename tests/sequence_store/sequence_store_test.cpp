#include "rux_dp/sequence_store/sequence_store.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/scratch_directory.hpp"

namespace rux_dp {
namespace {

namespace fs = std::filesystem;

class SequenceStoreTest : public testing::Test {
protected:
    SequenceStore make_store() {
        auto store = SequenceStore::create(scratch_.path());
        if (!store)
            throw std::runtime_error(store.error());
        return std::move(*store);
    }
    SequenceSource file_source(const std::string& name, std::string_view bytes,
                               std::string_view side = "query") {
        auto source =
            open_sequence_source(std::nullopt, scratch_.write(name, bytes).string(), side);
        if (!source)
            throw std::runtime_error(source.error());
        return std::move(*source);
    }
    static SequenceSource inline_source(std::string_view value, std::string_view side) {
        auto source = open_sequence_source(value, std::nullopt, side);
        if (!source)
            throw std::runtime_error(source.error());
        return std::move(*source);
    }
    static std::optional<std::string> lookup(const SequenceStore& store, SequenceSide side,
                                             std::string_view id) {
        auto sequence = store.get(side, id);
        EXPECT_TRUE(sequence) << sequence.error();
        return sequence ? *sequence : std::nullopt;
    }
    std::vector<fs::path> scratch_entries() const {
        std::vector<fs::path> entries;
        for (const auto& entry : fs::directory_iterator(scratch_.path()))
            entries.push_back(entry.path());
        return entries;
    }

    rux_test::ScratchDirectory scratch_;
};

TEST_F(SequenceStoreTest, LivesInAFreshDirectoryRemovedOnRelease) {
    fs::path directory;
    {
        SequenceStore store = make_store();
        directory = store.directory();
        EXPECT_EQ(directory.parent_path(), scratch_.path());
        const std::string name = directory.filename().string();
        ASSERT_EQ(name.size(), std::string("rux-align-sequences-").size() + 6);
        EXPECT_TRUE(name.starts_with("rux-align-sequences-"));
        for (const char c : name.substr(name.size() - 6))
            EXPECT_TRUE(std::isalnum(c)) << name;
        EXPECT_TRUE(fs::is_directory(directory));
        SequenceStore second = make_store();
        EXPECT_NE(second.directory(), directory);
    }
    EXPECT_FALSE(fs::exists(directory));
    EXPECT_TRUE(scratch_entries().empty());
}

TEST_F(SequenceStoreTest, DefaultsToTheSystemTemporaryDirectory) {
    fs::path directory;
    {
        auto store = SequenceStore::create(std::nullopt);
        ASSERT_TRUE(store) << store.error();
        directory = store->directory();
        EXPECT_EQ(directory.parent_path(), fs::temp_directory_path());
    }
    EXPECT_FALSE(fs::exists(directory));
}

TEST_F(SequenceStoreTest, CreateFailures) {
    const fs::path missing = scratch_.path() / "missing";
    auto store = SequenceStore::create(missing);
    ASSERT_FALSE(store);
    EXPECT_EQ(store.error(), "failed to create temporary sequence store in " + missing.string()
                                 + ": No such file or directory");

    store = SequenceStore::create(fs::path());
    ASSERT_FALSE(store);
    EXPECT_EQ(store.error(),
              "failed to create temporary sequence store in : No such file or directory");

    const fs::path file = scratch_.write("file", "x");
    store = SequenceStore::create(file);
    ASSERT_FALSE(store);
    EXPECT_EQ(store.error(), "failed to create temporary sequence store in " + file.string()
                                 + ": Not a directory");
}

TEST_F(SequenceStoreTest, MovingKeepsOneOwner) {
    SequenceStore first = make_store();
    ASSERT_TRUE(first.ingest(SequenceSide::query, inline_source("acgt", "query")));
    const fs::path first_dir = first.directory();
    SequenceStore moved(std::move(first));
    EXPECT_EQ(moved.directory(), first_dir);
    EXPECT_EQ(lookup(moved, SequenceSide::query, "query"), "ACGT");

    SequenceStore other = make_store();
    const fs::path other_dir = other.directory();
    other = std::move(moved);
    EXPECT_FALSE(fs::exists(other_dir)) << "the replaced store's directory is removed";
    EXPECT_TRUE(fs::exists(first_dir));
    EXPECT_EQ(lookup(other, SequenceSide::query, "query"), "ACGT");
}

TEST_F(SequenceStoreTest, StoresBothSidesSeparately) {
    SequenceStore store = make_store();
    auto queries =
        store.ingest(SequenceSide::query, file_source("q.fa", ">r1 first\nacgt\n>r2\nGG\n>r3\n\n"));
    ASSERT_TRUE(queries) << queries.error();
    EXPECT_EQ(*queries, 3u);
    auto targets =
        store.ingest(SequenceSide::target, file_source("t.fq", "@r1\nTTTT\n+\nIIII\n", "target"));
    ASSERT_TRUE(targets) << targets.error();
    EXPECT_EQ(*targets, 1u);

    EXPECT_EQ(lookup(store, SequenceSide::query, "r1"), "ACGT");
    EXPECT_EQ(lookup(store, SequenceSide::query, "r2"), "GG");
    EXPECT_EQ(lookup(store, SequenceSide::query, "r3"), "");
    EXPECT_EQ(lookup(store, SequenceSide::target, "r1"), "TTTT");
    for (const std::string_view missing : {"r4", "R1", "r", "r1 ", ""})
        EXPECT_EQ(lookup(store, SequenceSide::query, missing), std::nullopt) << missing;
    EXPECT_EQ(lookup(store, SequenceSide::target, "r2"), std::nullopt);
}

TEST_F(SequenceStoreTest, SideNeverIngestedHoldsNothing) {
    SequenceStore store = make_store();
    EXPECT_EQ(lookup(store, SequenceSide::target, "r1"), std::nullopt);
}

TEST_F(SequenceStoreTest, DuplicateIdsInOneTable) {
    SequenceStore store = make_store();
    auto queries =
        store.ingest(SequenceSide::query, file_source("q.fa", ">r1\nAC\n>r2\nG\n>r1\nT\n"));
    ASSERT_FALSE(queries);
    EXPECT_EQ(queries.error(), "duplicate query id 'r1'");

    auto targets = store.ingest(SequenceSide::target, inline_source("A", "target"));
    ASSERT_TRUE(targets);
    targets = store.ingest(SequenceSide::target, inline_source("C", "target"));
    ASSERT_FALSE(targets);
    EXPECT_EQ(targets.error(), "duplicate target id 'target'");
}

TEST_F(SequenceStoreTest, SourceErrorsCarryTheirLine) {
    SequenceStore store = make_store();
    auto targets = store.ingest(
        SequenceSide::target,
        file_source("t.fq", "@t1\nAC\n+\nII\n@t2\nA\n+\nI\n@t3\nACGT\n+\nII\n", "target"));
    ASSERT_FALSE(targets);
    EXPECT_EQ(targets.error(), "target FASTQ quality is truncated (line 12)");

    auto queries = store.ingest(SequenceSide::query, inline_source("a\xc3", "query"));
    ASSERT_FALSE(queries);
    EXPECT_EQ(queries.error(), "query sequence contains non-ASCII data (line 1)");
}

std::string numbered_fasta(std::size_t count, std::size_t duplicate_at = 0,
                           std::size_t duplicate_of = 0) {
    std::string fasta;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t id = i == duplicate_at && duplicate_at != 0 ? duplicate_of : i;
        fasta += ">r" + std::to_string(id) + "\n" + std::string(1 + i % 7, "ACGT"[i % 4]) + "\n";
    }
    return fasta;
}

TEST_F(SequenceStoreTest, ManyRecordsSpanSeveralTransactions) {
    SequenceStore store = make_store();
    auto count = store.ingest(SequenceSide::query, file_source("q.fa", numbered_fasta(10'000)));
    ASSERT_TRUE(count) << count.error();
    EXPECT_EQ(*count, 10'000u);
    for (std::size_t i = 0; i < 10'000; ++i) {
        ASSERT_EQ(lookup(store, SequenceSide::query, "r" + std::to_string(i)),
                  std::string(1 + i % 7, "ACGT"[i % 4]))
            << i;
    }
}

TEST_F(SequenceStoreTest, FailureKeepsOnlyCommittedBatches) {
    // The duplicate at record 5,000 repeats one from the first batch of 4,096: that batch stays
    // committed, the second one is abandoned.
    SequenceStore store = make_store();
    auto count =
        store.ingest(SequenceSide::query, file_source("q.fa", numbered_fasta(6'000, 5'000, 10)));
    ASSERT_FALSE(count);
    EXPECT_EQ(count.error(), "duplicate query id 'r10'");
    EXPECT_EQ(lookup(store, SequenceSide::query, "r0"), "A");
    EXPECT_TRUE(lookup(store, SequenceSide::query, "r4095").has_value());
    EXPECT_EQ(lookup(store, SequenceSide::query, "r4096"), std::nullopt);
    EXPECT_EQ(lookup(store, SequenceSide::query, "r4999"), std::nullopt);
}

TEST_F(SequenceStoreTest, IdsLongerThanAStoreKey) {
    // Store keys are limited (511 bytes by default); these ids share long prefixes.
    std::mt19937_64 rng(99);
    const std::string base(600, 'x');
    const std::vector<std::string> ids = {base,
                                          base + "a",
                                          base + "b",
                                          std::string(510, 'y'),
                                          std::string(511, 'y'),
                                          std::string(5000, 'z'),
                                          std::string(509, 'y')};
    std::string fasta;
    std::vector<std::string> sequences;
    for (const auto& id : ids) {
        std::string sequence;
        for (std::size_t k = rng() % 50; k > 0; --k)
            sequence.push_back("ACGT"[rng() % 4]);
        sequences.push_back(sequence);
        fasta += ">" + id + "\n" + sequence + "\n";
    }
    SequenceStore store = make_store();
    auto count = store.ingest(SequenceSide::query, file_source("long.fa", fasta));
    ASSERT_TRUE(count) << count.error();
    EXPECT_EQ(*count, ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i)
        EXPECT_EQ(lookup(store, SequenceSide::query, ids[i]), sequences[i]) << ids[i].size();
    EXPECT_EQ(lookup(store, SequenceSide::query, base + "c"), std::nullopt);
    EXPECT_EQ(lookup(store, SequenceSide::query, std::string(600, 'y')), std::nullopt);

    auto again = store.ingest(SequenceSide::query, file_source("again.fa", ">" + base + "b\nA\n"));
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error(), "duplicate query id '" + base + "b'");
}

}  // namespace
}  // namespace rux_dp
