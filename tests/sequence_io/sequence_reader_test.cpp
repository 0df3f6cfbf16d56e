#include "rux_dp/sequence_io/sequence_reader.hpp"

#include "rux_dp/sequence_io/byte_stream.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/scratch_directory.hpp"

namespace rux_dp {
namespace {

/// Hands out a fixed byte string in pieces of at most `chunk` bytes, then fails if asked to.
class ChunkedStream final : public ByteStream {
public:
    ChunkedStream(std::string bytes, std::size_t chunk, bool fail_at_end = false)
        : bytes_(std::move(bytes)), chunk_(chunk), fail_at_end_(fail_at_end) {}
    Result<std::size_t> read(char* buffer, std::size_t size) override {
        if (pos_ == bytes_.size() && fail_at_end_)
            return std::unexpected(std::string("boom"));
        const std::size_t n = std::min({size, chunk_, bytes_.size() - pos_});
        bytes_.copy(buffer, n, pos_);
        pos_ += n;
        return n;
    }

private:
    std::string bytes_;
    std::size_t chunk_;
    bool fail_at_end_;
    std::size_t pos_ = 0;
};

std::vector<std::string> all_lines(SequenceReader& reader) {
    std::vector<std::string> lines;
    for (;;) {
        auto line = reader.read_line();
        EXPECT_TRUE(line) << line.error().message;
        if (!line || !*line)
            return lines;
        lines.emplace_back(**line);
    }
}

struct LineCase {
    std::string_view bytes;
    std::vector<std::string> lines;
};

TEST(SequenceReader, RemovesOneTerminatorPerLine) {
    const LineCase cases[] = {
        {"", {}},
        {"\n", {""}},
        {"a", {"a"}},
        {"a\nb\n", {"a", "b"}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\r\r\nb\r", {"a\r", "b"}},
        {"a\rb\n", {"a\rb"}},
        {"\r", {""}},
        {"\n\n\r\n", {"", "", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.bytes)));
        for (const std::size_t chunk : {1, 2, 8192}) {
            SequenceReader reader(std::make_unique<ChunkedStream>(std::string(c.bytes), chunk),
                                  "query");
            EXPECT_EQ(all_lines(reader), c.lines) << "chunk " << chunk;
            EXPECT_EQ(reader.line_count(), c.lines.size());
        }
    }
}

TEST(SequenceReader, NonAsciiLineIsAContentError) {
    SequenceReader reader(std::make_unique<ChunkedStream>("ok\nbad\xc3\n", 8192), "target");
    ASSERT_TRUE(reader.read_line());
    auto line = reader.read_line();
    ASSERT_FALSE(line);
    EXPECT_EQ(line.error(),
              (SequenceReadError{.message = "target sequence input contains non-ASCII data",
                                 .line = 2,
                                 .recoverable = true}));
}

TEST(SequenceReader, StreamFailureIsNotRecoverable) {
    SequenceReader reader(std::make_unique<ChunkedStream>("a\nb", 8192, true), "query");
    ASSERT_TRUE(reader.read_line());
    auto line = reader.read_line();
    ASSERT_FALSE(line);
    EXPECT_EQ(line.error(), (SequenceReadError{.message = "query failed to read input stream: boom",
                                               .line = 1,
                                               .recoverable = false}));
}

TEST(SequenceReader, FirstLineSkipsBlankLines) {
    SequenceReader reader(std::make_unique<ChunkedStream>("\n \t\r\n\f\n>r1\nAC\n", 3), "query");
    auto first = reader.read_first_line();
    ASSERT_TRUE(first) << first.error();
    EXPECT_EQ(*first, ">r1");
    EXPECT_EQ(reader.line_count(), 4u);
}

TEST(SequenceReader, FirstLineFailures) {
    struct Case {
        std::string bytes;
        bool fail_at_end;
        std::string message;
    };
    const Case cases[] = {
        {"", false, "query input contains no records"},
        {"\n  \n\t\r\n", false, "query input contains no records"},
        {"\n\xc3"
         "AC\n",
         false, "query input contains non-ASCII data"},
        {"\n\n", true, "failed to read query input: boom"},
        // 0x0B is not blank, so this line is the first one and holds a non-ASCII byte.
        {"\x0b\x80\n", false, "query input contains non-ASCII data"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        SequenceReader reader(std::make_unique<ChunkedStream>(c.bytes, 8192, c.fail_at_end),
                              "query");
        auto first = reader.read_first_line();
        ASSERT_FALSE(first);
        EXPECT_EQ(first.error(), c.message);
    }
}

std::string read_all(ByteStream& stream, std::size_t request) {
    std::string out;
    std::vector<char> buffer(request);
    for (;;) {
        auto n = stream.read(buffer.data(), buffer.size());
        EXPECT_TRUE(n) << n.error();
        if (!n || *n == 0)
            return out;
        out.append(buffer.data(), *n);
    }
}

TEST(GzipByteStream, ConcatenatedMembersAreOneStream) {
    std::mt19937_64 rng(7);
    std::string plain;
    for (int i = 0; i < 100'000; ++i)
        plain.push_back("ACGT\n"[rng() % 5]);
    // Members of uneven sizes, an empty one among them.
    const std::size_t cuts[] = {0, 1, 1, 40'000, 99'999, 100'000};
    std::string compressed;
    for (std::size_t k = 0; k + 1 < std::size(cuts); ++k)
        compressed +=
            rux_test::gzip_member(std::string_view(plain).substr(cuts[k], cuts[k + 1] - cuts[k]));
    for (const std::size_t chunk : {1, 7, 8192}) {
        for (const std::size_t request : {1, 8192}) {
            auto gzip = GzipByteStream::make(std::make_unique<ChunkedStream>(compressed, chunk));
            ASSERT_TRUE(gzip);
            EXPECT_EQ(read_all(**gzip, request), plain)
                << "chunk " << chunk << " request " << request;
        }
    }
}

TEST(GzipByteStream, EmptyInputIsAnEmptyStream) {
    auto gzip = GzipByteStream::make(std::make_unique<ChunkedStream>("", 8192));
    ASSERT_TRUE(gzip);
    EXPECT_EQ(read_all(**gzip, 8192), "");
}

std::string read_until_error(ByteStream& stream) {
    char buffer[8192];
    for (;;) {
        auto n = stream.read(buffer, sizeof buffer);
        if (!n)
            return n.error();
        if (*n == 0)
            return "no error";
    }
}

TEST(GzipByteStream, RejectsDataThatIsNotGzip) {
    const std::string member = rux_test::gzip_member(">r1\nACGT\n");
    struct Case {
        std::string name, bytes, error;
    };
    const Case cases[] = {
        {"plain text", ">r1\nACGT\n", "incorrect header check"},
        {"truncated member", member.substr(0, member.size() - 4), "unexpected end of gzip data"},
        {"garbage after a member", member + "junk", "incorrect header check"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto gzip = GzipByteStream::make(std::make_unique<ChunkedStream>(c.bytes, 8192));
        ASSERT_TRUE(gzip);
        EXPECT_EQ(read_until_error(**gzip), c.error);
    }
}

}  // namespace
}  // namespace rux_dp
