#include "rux_dp/record_io/sam_spool.hpp"

#include "rux_dp/base/invariant.hpp"
#include "rux_dp/oracle/sam.hpp"

#include <fcntl.h>
#include <lmdb.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

namespace rux_dp {

namespace {

constexpr const char* table_name = "sam_references";
constexpr std::string_view header_line = "@HD\tVN:1.6\tSO:unknown\n";
// Body writes, body copies and batches of "@SQ" lines all move this much at a time, so memory
// stays bounded however many records arrive.
constexpr std::size_t chunk_size = 64 * 1024;
// The table is one entry per distinct target, far below this; the map only reserves address
// space, and the file grows as entries are written.
constexpr std::size_t map_size = std::size_t{1} << 40;

std::string os_error(int code) {
    return std::error_code(code, std::generic_category()).message();
}

std::string store_error(int code) {
    return mdb_strerror(code);
}

// Writes all of `bytes` to `fd`, resuming after partial writes and signals.
Result<void> write_fd(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return std::unexpected(os_error(errno));
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return {};
}

MDB_val val_of(std::string_view bytes) {
    return MDB_val{bytes.size(), const_cast<char*>(bytes.data())};
}

// Aborts a transaction unless it was committed (a commit frees it, even when it fails).
class Transaction {
public:
    Transaction() = default;
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    ~Transaction() {
        if (txn_ != nullptr)
            mdb_txn_abort(txn_);
    }
    MDB_txn** out() { return &txn_; }
    MDB_txn* get() const { return txn_; }
    int commit() { return mdb_txn_commit(std::exchange(txn_, nullptr)); }

private:
    MDB_txn* txn_ = nullptr;
};

class Cursor {
public:
    Cursor() = default;
    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;
    ~Cursor() {
        if (cursor_ != nullptr)
            mdb_cursor_close(cursor_);
    }
    MDB_cursor** out() { return &cursor_; }
    MDB_cursor* get() const { return cursor_; }

private:
    MDB_cursor* cursor_ = nullptr;
};

}  // namespace

struct SamSpool::State {
    std::filesystem::path directory;  // empty until created
    MDB_env* env = nullptr;
    int body = -1;
    std::string buffer;  // body bytes not yet in the file

    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() {
        if (env != nullptr)
            mdb_env_close(env);
        if (body >= 0)
            ::close(body);
        if (!directory.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(directory, ignored);
        }
    }

    Result<void> flush_body() {
        if (buffer.empty())
            return {};
        auto written = write_fd(body, buffer);
        buffer.clear();
        return written;
    }

    Result<void> append_body(std::string_view line) {
        if (buffer.size() + line.size() > chunk_size) {
            if (auto flushed = flush_body(); !flushed)
                return flushed;
        }
        if (line.size() >= chunk_size)
            return write_fd(body, line);
        buffer.append(line);
        return {};
    }
};

SamSpool::SamSpool(std::unique_ptr<State> state) : state_(std::move(state)) {}
SamSpool::SamSpool(SamSpool&& other) noexcept = default;
SamSpool& SamSpool::operator=(SamSpool&& other) noexcept = default;
SamSpool::~SamSpool() = default;

Result<SamSpool> SamSpool::create(const std::optional<std::filesystem::path>& temp_dir) {
    std::filesystem::path parent;
    if (temp_dir) {
        parent = *temp_dir;
    } else {
        std::error_code ec;
        parent = std::filesystem::temp_directory_path(ec);
        if (ec)
            return std::unexpected("failed to create SAM spool: " + ec.message());
    }
    std::string pattern = (parent / "rux-align-sam-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        return std::unexpected("failed to create SAM spool: " + os_error(errno));

    // From here on the state's destructor removes the directory if anything fails.
    auto state = std::make_unique<State>();
    state->directory = pattern;

    const std::string references = (state->directory / "references.mdb").string();
    int rc = mdb_env_create(&state->env);
    if (rc != 0) {
        state->env = nullptr;
        return std::unexpected("failed to create SAM reference spool: " + store_error(rc));
    }
    rc = mdb_env_set_maxdbs(state->env, 1);
    if (rc == 0)
        rc = mdb_env_set_mapsize(state->env, map_size);
    // The file is private to this process, read back by it alone and deleted at the end, so it
    // needs no lock file, no syncing and no crash safety.
    if (rc == 0)
        rc = mdb_env_open(state->env, references.c_str(),
                          MDB_NOSUBDIR | MDB_NOLOCK | MDB_NOSYNC | MDB_NOMETASYNC, 0600);
    if (rc != 0)
        return std::unexpected("failed to create SAM reference spool: " + store_error(rc));

    const std::string body = (state->directory / "body.sam").string();
    state->body = ::open(body.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (state->body < 0)
        return std::unexpected("failed to create SAM body spool: " + os_error(errno));
    state->buffer.reserve(chunk_size);
    return SamSpool(std::move(state));
}

Result<void> SamSpool::push(const AlignmentRecord& record, std::string_view query) {
    invariant(state_ != nullptr, "SAM spool used after finish");
    const SequenceIdentity& target = record.pair.target;

    Transaction txn;
    int rc = mdb_txn_begin(state_->env, nullptr, 0, txn.out());
    if (rc != 0)
        return std::unexpected("failed to begin SAM reference write: " + store_error(rc));
    MDB_dbi table = 0;
    rc = mdb_dbi_open(txn.get(), table_name, MDB_CREATE, &table);
    if (rc != 0)
        return std::unexpected("failed to open SAM reference spool: " + store_error(rc));

    MDB_val key = val_of(target.id);
    MDB_val value{};
    rc = mdb_get(txn.get(), table, &key, &value);
    if (rc == MDB_NOTFOUND) {
        std::uint64_t length = target.length;
        MDB_val stored{sizeof length, &length};
        rc = mdb_put(txn.get(), table, &key, &stored, MDB_NOOVERWRITE);
        if (rc != 0)
            return std::unexpected("failed to update SAM reference spool: " + store_error(rc));
    } else if (rc != 0) {
        return std::unexpected("failed to read SAM reference spool: " + store_error(rc));
    } else {
        std::uint64_t length = 0;
        if (value.mv_size != sizeof length)
            return std::unexpected("failed to read SAM reference spool: stored length of '"
                                   + target.id + "' has " + std::to_string(value.mv_size)
                                   + " bytes");
        std::memcpy(&length, value.mv_data, sizeof length);
        if (length != target.length)
            return std::unexpected("target '" + target.id
                                   + "' has inconsistent lengths in SAM records");
    }
    rc = txn.commit();
    if (rc != 0)
        return std::unexpected("failed to commit SAM reference spool: " + store_error(rc));

    auto line = record_to_sam(record, query);
    if (!line)
        return std::unexpected(std::move(line).error());
    if (auto appended = state_->append_body(*line); !appended)
        return std::unexpected("failed to write SAM body spool: " + appended.error());
    return {};
}

Result<void> SamSpool::finish(const SamSink& sink) && {
    invariant(state_ != nullptr, "SAM spool used after finish");
    // Released on every return: the spool is consumed whatever the outcome.
    const std::unique_ptr<State> state = std::move(state_);

    if (auto flushed = state->flush_body(); !flushed)
        return std::unexpected("failed to write SAM body spool: " + flushed.error());
    if (auto written = sink(header_line); !written)
        return std::unexpected("failed to write SAM header: " + written.error());

    {
        Transaction txn;
        int rc = mdb_txn_begin(state->env, nullptr, MDB_RDONLY, txn.out());
        if (rc != 0)
            return std::unexpected("failed to read SAM references: " + store_error(rc));
        MDB_dbi table = 0;
        rc = mdb_dbi_open(txn.get(), table_name, 0, &table);
        // The table is created by the first push; without it there are no targets, and a SAM
        // file of the header line alone is still a valid (empty) result.
        const bool empty = rc == MDB_NOTFOUND;
        if (rc != 0 && !empty)
            return std::unexpected("failed to open SAM references: " + store_error(rc));

        if (!empty) {
            Cursor cursor;
            rc = mdb_cursor_open(txn.get(), table, cursor.out());
            if (rc != 0)
                return std::unexpected("failed to iterate SAM references: " + store_error(rc));
            std::string lines;
            lines.reserve(chunk_size);
            MDB_val key{};
            MDB_val value{};
            // LMDB's default key order is byte-wise (memcmp, shorter prefix first).
            while ((rc = mdb_cursor_get(cursor.get(), &key, &value, MDB_NEXT)) == 0) {
                std::uint64_t length = 0;
                if (value.mv_size != sizeof length)
                    return std::unexpected("failed to read SAM reference: stored length has "
                                           + std::to_string(value.mv_size) + " bytes");
                std::memcpy(&length, value.mv_data, sizeof length);
                lines.append("@SQ\tSN:");
                lines.append(static_cast<const char*>(key.mv_data), key.mv_size);
                lines.append("\tLN:");
                lines.append(std::to_string(length));
                lines.push_back('\n');
                if (lines.size() >= chunk_size) {
                    if (auto written = sink(lines); !written)
                        return std::unexpected("failed to write SAM reference: " + written.error());
                    lines.clear();
                }
            }
            if (rc != MDB_NOTFOUND)
                return std::unexpected("failed to read SAM reference: " + store_error(rc));
            if (!lines.empty()) {
                if (auto written = sink(lines); !written)
                    return std::unexpected("failed to write SAM reference: " + written.error());
            }
        }
    }

    if (::lseek(state->body, 0, SEEK_SET) < 0)
        return std::unexpected("failed to rewind SAM body spool: " + os_error(errno));
    std::vector<char> chunk(chunk_size);
    for (;;) {
        const ssize_t got = ::read(state->body, chunk.data(), chunk.size());
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return std::unexpected("failed to copy SAM body: " + os_error(errno));
        }
        if (got == 0)
            break;
        if (auto written = sink(std::string_view(chunk.data(), static_cast<std::size_t>(got)));
            !written)
            return std::unexpected("failed to copy SAM body: " + written.error());
    }
    return {};
}

}  // namespace rux_dp
