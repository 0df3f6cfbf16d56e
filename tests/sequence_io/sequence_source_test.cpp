#include "rux_dp/sequence_io/sequence_source.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/scratch_directory.hpp"
#include "support/sequence_items.hpp"

namespace rux_dp {
namespace {

using rux_test::drain;
using rux_test::read_error;
using rux_test::record;
using rux_test::SourceItem;

class SequenceSourceTest : public testing::Test {
protected:
    /// Opens `bytes` written to the file `name` as the query source.
    SequenceSource open_file(const std::string& name, std::string_view bytes) {
        const auto path = scratch_.write(name, bytes);
        auto source = open_sequence_source(std::nullopt, path.string(), "query");
        EXPECT_TRUE(source) << source.error();
        if (!source)
            throw std::runtime_error(source.error());
        return std::move(*source);
    }
    std::vector<SourceItem> items_of(const std::string& name, std::string_view bytes) {
        auto source = open_file(name, bytes);
        return drain(source);
    }
    std::string open_error(const std::string& name, std::string_view bytes) {
        const auto path = scratch_.write(name, bytes);
        auto source = open_sequence_source(std::nullopt, path.string(), "query");
        return source ? "opened" : source.error();
    }

    rux_test::ScratchDirectory scratch_;
};

TEST(OpenSequenceSource, NeedsExactlyOneInput) {
    auto neither = open_sequence_source(std::nullopt, std::nullopt, "query");
    ASSERT_FALSE(neither);
    EXPECT_EQ(neither.error(), "missing --query or --query-file");
    auto both = open_sequence_source("ACGT", "reads.fa", "target");
    ASSERT_FALSE(both);
    EXPECT_EQ(both.error(), "provide either --target or --target-file, not both");
}

TEST(OpenSequenceSource, MissingFile) {
    auto source = open_sequence_source(std::nullopt, "/nonexistent/reads.fa", "target");
    ASSERT_FALSE(source);
    EXPECT_EQ(source.error(),
              "failed to open target file /nonexistent/reads.fa: No such file or directory");
}

TEST(OpenSequenceSource, InlineValueIsOneNormalisedRecord) {
    auto source = open_sequence_source("ac gt\tn", std::nullopt, "query");
    ASSERT_TRUE(source);
    EXPECT_EQ(drain(*source), (std::vector<SourceItem>{record("query", "ACGTN")}));
}

TEST(OpenSequenceSource, InlineNonAsciiFailsOnFirstNext) {
    auto source = open_sequence_source("AC\xc3\xa9", std::nullopt, "target");
    ASSERT_TRUE(source) << "opening an inline value always succeeds";
    EXPECT_EQ(drain(*source),
              (std::vector<SourceItem>{read_error("target sequence contains non-ASCII data", 1)}));
}

TEST(OpenSequenceSource, EmptyInlineValueIsAnEmptySequence) {
    auto source = open_sequence_source("", std::nullopt, "query");
    ASSERT_TRUE(source);
    EXPECT_EQ(drain(*source), (std::vector<SourceItem>{record("query", "")}));
}

TEST_F(SequenceSourceTest, DirectoryFailsToRead) {
    auto source = open_sequence_source(std::nullopt, scratch_.path().string(), "query");
    ASSERT_FALSE(source);
    EXPECT_EQ(source.error(), "failed to read query input: Is a directory");
}

TEST_F(SequenceSourceTest, InputsWithoutRecords) {
    EXPECT_EQ(open_error("empty.fa", ""), "query input contains no records");
    EXPECT_EQ(open_error("blank.fa", "\n \n\t\r\n"), "query input contains no records");
    EXPECT_EQ(open_error("empty.gz", ""), "query input contains no records");
    EXPECT_EQ(open_error("blank.gz", rux_test::gzip_member("\n\n")),
              "query input contains no records");
}

TEST_F(SequenceSourceTest, FastaRecords) {
    const std::string fasta = ">seq1 sample=4\nacgt\nTT\n\n>seq2\n\n>\nNN nn\n>\t \n>last\nA";
    EXPECT_EQ(items_of("a.fa", fasta),
              (std::vector<SourceItem>{record("seq1", "ACGTTT"), record("seq2", ""),
                                       record("record_3", "NNNN"), record("record_4", ""),
                                       record("last", "A")}));
}

TEST_F(SequenceSourceTest, CrlfGivesTheSameRecordsAsLf) {
    const std::string lf = ">r1 x\nACGT\nacgt\n>r2\nGG\n";
    std::string crlf;
    for (const char c : lf)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(items_of("crlf.fa", crlf), items_of("lf.fa", lf));
    EXPECT_EQ(items_of("lf.fa", lf),
              (std::vector<SourceItem>{record("r1", "ACGTACGT"), record("r2", "GG")}));
}

TEST_F(SequenceSourceTest, LeadingBlankLinesCountInLineNumbers) {
    EXPECT_EQ(
        items_of("a.fa", "\n\n>r1\nAC\n>r2\nA\xc3\n>r3\nG\n"),
        (std::vector<SourceItem>{record("r1", "AC"),
                                 read_error("query sequence input contains non-ASCII data", 6)}));
}

TEST_F(SequenceSourceTest, NonAsciiInTheFirstNonBlankLineFailsOpening) {
    EXPECT_EQ(open_error("a.fa", "\n>r\xc3\nAC\n"), "query input contains non-ASCII data");
    EXPECT_EQ(open_error("a.txt", "AC\xc3\n"), "query input contains non-ASCII data");
}

TEST_F(SequenceSourceTest, FastqRecords) {
    const std::string fastq =
        "@r1 extra\nACGTA\nCGT\n+r1\nIIII\nIIII\n"  // 5 + 3 bases, 4 + 4 qualities
        "@r2\nAC\n+\n@+\n"                          // quality lines may begin with "@" or "+"
        "@\nacgt\n+\nI II\n";                       // internal blanks count as quality
    EXPECT_EQ(items_of("a.fq", fastq),
              (std::vector<SourceItem>{record("r1", "ACGTACGT"), record("r2", "AC"),
                                       record("record_3", "ACGT")}));
}

TEST_F(SequenceSourceTest, FastqQualityLongerThanSequenceContinues) {
    const std::string fastq = "@r1\nACGTA\nCGT\n+\nIIIII\nIIII\n@r2\nAC\n+\nII\n@\nA\n+\nI\n";
    EXPECT_EQ(items_of("a.fq", fastq),
              (std::vector<SourceItem>{
                  read_error("query FASTQ quality length 9 does not match sequence length 8", 6),
                  record("r2", "AC"),
                  // The failed record is counted in the record number.
                  record("record_3", "A")}));
}

TEST_F(SequenceSourceTest, FastqEmptySequenceReadsNoQuality) {
    EXPECT_EQ(items_of("a.fq", "@a\n+\n\n@b\nAC\n+\nII\n"),
              (std::vector<SourceItem>{record("a", ""),
                                       read_error("query FASTQ record does not start with '@'", 4),
                                       record("b", "AC")}));
}

TEST_F(SequenceSourceTest, FastqBlankLineAfterLastRecord) {
    EXPECT_EQ(items_of("a.fq", "@a\nAC\n+\nII\n\n"),
              (std::vector<SourceItem>{
                  record("a", "AC"), read_error("query FASTQ record does not start with '@'", 5)}));
}

TEST_F(SequenceSourceTest, FastqBadHeaderSkipsToTheNextHeader) {
    EXPECT_EQ(items_of("a.fq", "@a\nAC\n+\nII\nxx\nGG\n+\n@b\nT\n+\nI\n"),
              (std::vector<SourceItem>{record("a", "AC"),
                                       read_error("query FASTQ record does not start with '@'", 8),
                                       record("b", "T")}));
}

TEST_F(SequenceSourceTest, FastqTruncations) {
    EXPECT_EQ(items_of("a.fq", "@a\nAC\n+\nII\n@b\nACGT\nAC"),
              (std::vector<SourceItem>{
                  record("a", "AC"), read_error("query FASTQ record is truncated before '+'", 7)}));
    EXPECT_EQ(items_of("b.fq", "@a\nACGT\n+\nII\nI\n"),
              (std::vector<SourceItem>{read_error("query FASTQ quality is truncated", 5)}));
}

TEST_F(SequenceSourceTest, RawFileIsOneRecordNamedAfterTheFile) {
    EXPECT_EQ(items_of("reads.txt", "acgt\nnnnn\n"),
              (std::vector<SourceItem>{record("reads", "ACGTNNNN")}));
    EXPECT_EQ(items_of("reads.txt.gz", rux_test::gzip_member("acgt\n")),
              (std::vector<SourceItem>{record("reads", "ACGT")}));
    // A leading blank makes the content raw, whatever follows it.
    EXPECT_EQ(items_of("lead.fa", "\n >r1\nAC\n"),
              (std::vector<SourceItem>{record("lead", ">R1AC")}));
}

TEST_F(SequenceSourceTest, RawNonAsciiEndsTheSource) {
    EXPECT_EQ(
        items_of("reads.txt", "acgt\nac\xc3\nGG\n"),
        (std::vector<SourceItem>{read_error("query sequence input contains non-ASCII data", 2)}));
}

TEST(OpenSequenceSource, StandardInputIsNeverDecompressed) {
    std::istringstream raw("acgt\nnnnn\n");
    auto source = open_sequence_source(std::nullopt, "-", "query", raw);
    ASSERT_TRUE(source) << source.error();
    EXPECT_EQ(drain(*source), (std::vector<SourceItem>{record("-", "ACGTNNNN")}));

    std::istringstream gzip(rux_test::gzip_member(">r1\nACGT\n"));
    auto compressed = open_sequence_source(std::nullopt, "-", "query", gzip);
    ASSERT_FALSE(compressed);
    EXPECT_EQ(compressed.error(), "query input contains non-ASCII data");
}

TEST_F(SequenceSourceTest, DotSlashDashIsAFile) {
    const auto file = scratch_.write("-", ">r1\nAC\n");
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(scratch_.path());
    std::istringstream stdin_stream(">other\nGG\n");
    auto source = open_sequence_source(std::nullopt, "./-", "query", stdin_stream);
    std::filesystem::current_path(cwd);
    ASSERT_TRUE(source) << source.error();
    EXPECT_EQ(drain(*source), (std::vector<SourceItem>{record("r1", "AC")}));
}

TEST_F(SequenceSourceTest, DashReadsTheProcessStandardInput) {
    const auto file = scratch_.write("stdin.fq", "@r1\nAC\n+\nII\n");
    const int saved = ::dup(0);
    const int fd = ::open(file.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    if (fd != 0) {  // with standard input closed, open() itself returns 0
        ASSERT_EQ(::dup2(fd, 0), 0);
        ::close(fd);
    }
    auto source = open_sequence_source(std::nullopt, "-", "target");
    std::vector<SourceItem> items;
    if (source)
        items = drain(*source);
    // CI may run without a standard input at all: then leave it closed again.
    if (saved >= 0) {
        ::dup2(saved, 0);
        ::close(saved);
    } else {
        ::close(0);
    }
    ASSERT_TRUE(source) << source.error();
    EXPECT_EQ(items, (std::vector<SourceItem>{record("r1", "AC")}));
}

TEST_F(SequenceSourceTest, GzipByExtensionOnly) {
    const std::string fasta = ">r1\nACGT\n>r2\nGG\n";
    const std::string gzip = rux_test::gzip_member(fasta);
    EXPECT_EQ(items_of("a.fa.gz", gzip),
              (std::vector<SourceItem>{record("r1", "ACGT"), record("r2", "GG")}));
    EXPECT_EQ(open_error("a.fa.GZ", gzip), "query input contains non-ASCII data");
    EXPECT_EQ(open_error("a.fa.gzip", gzip), "query input contains non-ASCII data");
    EXPECT_EQ(open_error("plain.gz", fasta), "failed to read query input: incorrect header check");
}

TEST_F(SequenceSourceTest, GzipMembersSplitInsideARecord) {
    const std::string a = ">r1\nAC", b = "GT\n>r2\n", c = "GG\n";
    EXPECT_EQ(items_of("a.fa.gz", rux_test::gzip_member(a) + rux_test::gzip_member(b)
                                      + rux_test::gzip_member(c)),
              (std::vector<SourceItem>{record("r1", "ACGT"), record("r2", "GG")}));
}

TEST_F(SequenceSourceTest, TruncatedGzipEndsWithAStreamError) {
    const std::string gzip = rux_test::gzip_member(">r1\nAC\n>r2\nGT\n");
    EXPECT_EQ(items_of("cut.fa.gz", gzip.substr(0, gzip.size() - 4)),
              (std::vector<SourceItem>{
                  record("r1", "AC"),
                  read_error("query failed to read input stream: unexpected end of gzip data", 4,
                             false)}));
}

// Random FASTA and FASTQ inputs with every line ending and line width, read plain and as
// several gzip members, against the records they were written from.
TEST_F(SequenceSourceTest, RandomInputsRoundTrip) {
    std::mt19937_64 rng(20261211);
    for (int round = 0; round < 12; ++round) {
        const bool fastq = round % 2 == 1;
        const std::string newline = round % 3 == 0 ? "\r\n" : "\n";
        std::vector<SourceItem> expected;
        std::string text;
        const int records = 1 + static_cast<int>(rng() % 40);
        for (int r = 0; r < records; ++r) {
            const std::string id = "id" + std::to_string(r);
            std::string sequence;
            const std::size_t length = rng() % 3 == 0 ? rng() % 20'000 : rng() % 100;
            for (std::size_t k = 0; k < length; ++k)
                sequence.push_back("ACGT"[rng() % 4]);
            expected.push_back(record(id, sequence));
            const std::size_t width = 1 + rng() % 9000;
            text += (fastq ? "@" : ">") + id + " desc" + newline;
            std::string lowered = sequence;
            for (char& ch : lowered)
                if (rng() % 2 == 0)
                    ch = static_cast<char>(ch - 'A' + 'a');
            for (std::size_t k = 0; k < lowered.size(); k += width)
                text += lowered.substr(k, width) + newline;
            if (fastq) {
                text += "+" + newline;
                const std::string quality(sequence.size(), 'I');
                for (std::size_t k = 0; k < quality.size(); k += width)
                    text += quality.substr(k, width) + newline;
            }
        }
        SCOPED_TRACE("round " + std::to_string(round));
        EXPECT_EQ(items_of(fastq ? "r.fq" : "r.fa", text), expected);
        std::string members;
        for (std::size_t k = 0; k < text.size(); k += 5000)
            members += rux_test::gzip_member(std::string_view(text).substr(k, 5000));
        EXPECT_EQ(items_of(fastq ? "r.fq.gz" : "r.fa.gz", members), expected);
    }
}

}  // namespace
}  // namespace rux_dp
