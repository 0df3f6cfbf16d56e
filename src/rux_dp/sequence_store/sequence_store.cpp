#include "rux_dp/sequence_store/sequence_store.hpp"

#include "rux_dp/base/invariant.hpp"

#include <lmdb.h>

#include <cstring>
#include <system_error>

namespace rux_dp {

namespace {

constexpr std::string_view directory_prefix = "rux-align-sequences-";
constexpr const char* store_file_name = "sequences.mdb";
// The map is reserved address space, not disk: the file grows only as records are written.
constexpr std::size_t map_size = std::size_t{1} << 40;

struct SideNames {
    const char* table;
    const char* kind;
};

constexpr SideNames side_names(SequenceSide side) {
    switch (side) {
        case SequenceSide::query:
            return {"queries", "query"};
        case SequenceSide::target:
            return {"targets", "target"};
    }
    return {"queries", "query"};
}

std::string lmdb_text(int rc) {
    return mdb_strerror(rc);
}

/// Aborts the transaction unless it was committed.
class Transaction {
public:
    explicit Transaction(MDB_txn* txn) : txn_(txn) {}
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    ~Transaction() {
        if (txn_ != nullptr)
            mdb_txn_abort(txn_);
    }
    MDB_txn* get() const { return txn_; }
    int commit() {
        // mdb_txn_commit frees the transaction even when it fails.
        MDB_txn* txn = txn_;
        txn_ = nullptr;
        return mdb_txn_commit(txn);
    }

private:
    MDB_txn* txn_;
};

// LMDB keys hold at most `max_key` bytes (511 by default), but ids have no length limit. A key is
// a tag byte and then: 's' and the id itself when it fits; 'l', the id's first bytes and an
// 8-byte hash (plus a probe count on collisions), with the full id stored at the start of the
// value so that ids sharing a key are told apart.
constexpr std::size_t hash_size = 8;
constexpr std::size_t id_length_size = 8;

bool fits_key(std::string_view id, std::size_t max_key) {
    return id.size() + 1 <= max_key;
}

std::uint64_t fnv1a(std::string_view bytes) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

std::string long_key(std::string_view id, std::size_t max_key, std::uint64_t probe) {
    std::string key = "l";
    key.append(id.substr(0, max_key - 1 - hash_size));
    const std::uint64_t hash = fnv1a(id) + probe;
    for (std::size_t i = 0; i < hash_size; ++i)
        key.push_back(static_cast<char>((hash >> (8 * (hash_size - 1 - i))) & 0xff));
    return key;
}

MDB_val as_val(std::string_view bytes) {
    return MDB_val{.mv_size = bytes.size(), .mv_data = const_cast<char*>(bytes.data())};
}

void put_id_length(char* out, std::uint64_t length) {
    for (std::size_t i = 0; i < id_length_size; ++i)
        out[i] = static_cast<char>((length >> (8 * i)) & 0xff);
}

std::uint64_t get_id_length(const char* in) {
    std::uint64_t length = 0;
    for (std::size_t i = 0; i < id_length_size; ++i)
        length |= std::uint64_t{static_cast<unsigned char>(in[i])} << (8 * i);
    return length;
}

/// Where an id is, or would go, in a table.
struct Lookup {
    int rc;                     // 0 found, MDB_NOTFOUND absent, else an LMDB error
    std::string key;            // the key holding the id, or the free key for it
    std::string_view sequence;  // the stored sequence when found (valid in the transaction)
};

Lookup find(MDB_txn* txn, MDB_dbi dbi, std::string_view id, std::size_t max_key) {
    if (fits_key(id, max_key)) {
        Lookup lookup{.rc = 0, .key = "s" + std::string(id), .sequence = {}};
        MDB_val key = as_val(lookup.key);
        MDB_val value;
        lookup.rc = mdb_get(txn, dbi, &key, &value);
        if (lookup.rc == 0)
            lookup.sequence = {static_cast<const char*>(value.mv_data), value.mv_size};
        return lookup;
    }
    for (std::uint64_t probe = 0;; ++probe) {
        Lookup lookup{.rc = 0, .key = long_key(id, max_key, probe), .sequence = {}};
        MDB_val key = as_val(lookup.key);
        MDB_val value;
        lookup.rc = mdb_get(txn, dbi, &key, &value);
        if (lookup.rc != 0)
            return lookup;
        const auto* data = static_cast<const char*>(value.mv_data);
        if (value.mv_size >= id_length_size && get_id_length(data) == id.size()
            && value.mv_size - id_length_size >= id.size()
            && std::memcmp(data + id_length_size, id.data(), id.size()) == 0) {
            const std::size_t header = id_length_size + id.size();
            lookup.sequence = {data + header, value.mv_size - header};
            return lookup;
        }
    }
}

int insert(MDB_txn* txn, MDB_dbi dbi, const Lookup& free_slot, const SequenceRecord& record,
           std::size_t max_key) {
    MDB_val key = as_val(free_slot.key);
    if (fits_key(record.id, max_key)) {
        MDB_val value = as_val(record.sequence);
        return mdb_put(txn, dbi, &key, &value, 0);
    }
    const std::size_t header = id_length_size + record.id.size();
    MDB_val value{.mv_size = header + record.sequence.size(), .mv_data = nullptr};
    const int rc = mdb_put(txn, dbi, &key, &value, MDB_RESERVE);
    if (rc != 0)
        return rc;
    auto* out = static_cast<char*>(value.mv_data);
    put_id_length(out, record.id.size());
    std::memcpy(out + id_length_size, record.id.data(), record.id.size());
    std::memcpy(out + header, record.sequence.data(), record.sequence.size());
    return 0;
}

}  // namespace

void SequenceStore::EnvClose::operator()(MDB_env* env) const {
    mdb_env_close(env);
}

SequenceStore::SequenceStore(TemporaryDirectory directory, std::unique_ptr<MDB_env, EnvClose> env)
    : directory_(std::move(directory)), env_(std::move(env)) {
    max_key_size_ = static_cast<std::size_t>(mdb_env_get_maxkeysize(env_.get()));
}

SequenceStore::SequenceStore(SequenceStore&& other) noexcept
    : directory_(std::move(other.directory_)),
      env_(std::move(other.env_)),
      max_key_size_(other.max_key_size_) {}

SequenceStore& SequenceStore::operator=(SequenceStore&& other) noexcept {
    if (this != &other) {
        // Close the environment before its directory goes.
        env_.reset();
        directory_ = std::move(other.directory_);
        env_ = std::move(other.env_);
        max_key_size_ = other.max_key_size_;
    }
    return *this;
}

SequenceStore::~SequenceStore() {
    env_.reset();
}

Result<SequenceStore> SequenceStore::create(const std::optional<std::filesystem::path>& temp_dir) {
    std::filesystem::path parent;
    if (temp_dir) {
        parent = *temp_dir;
    } else {
        std::error_code ec;
        parent = std::filesystem::temp_directory_path(ec);
        if (ec)
            return std::unexpected("failed to create temporary sequence store: " + ec.message());
    }
    auto directory = TemporaryDirectory::create(parent, directory_prefix);
    if (!directory) {
        if (temp_dir)
            return std::unexpected("failed to create temporary sequence store in "
                                   + temp_dir->string() + ": " + directory.error());
        return std::unexpected("failed to create temporary sequence store: " + directory.error());
    }

    // On failure `directory` is released here, which removes it again.
    MDB_env* raw = nullptr;
    int rc = mdb_env_create(&raw);
    if (rc != 0)
        return std::unexpected("failed to create temporary sequence database: " + lmdb_text(rc));
    std::unique_ptr<MDB_env, EnvClose> env(raw);
    rc = mdb_env_set_maxdbs(env.get(), 2);
    if (rc == 0)
        rc = mdb_env_set_mapsize(env.get(), map_size);
    // No durability is needed for a file that never outlives the run. MDB_WRITEMAP is left out:
    // a full disk would then surface as SIGBUS instead of a commit error.
    const std::string file = (directory->path() / store_file_name).string();
    if (rc == 0)
        rc = mdb_env_open(env.get(), file.c_str(),
                          MDB_NOSUBDIR | MDB_NOSYNC | MDB_NOMETASYNC | MDB_NOTLS, 0600);
    if (rc != 0)
        return std::unexpected("failed to create temporary sequence database: " + lmdb_text(rc));
    return SequenceStore(std::move(*directory), std::move(env));
}

Result<std::uint64_t> SequenceStore::ingest(SequenceSide side, SequenceSource source) {
    invariant(env_ != nullptr, "sequence store used after it was moved from");
    const SideNames names = side_names(side);
    std::uint64_t count = 0;
    bool ended = false;
    while (!ended) {
        MDB_txn* raw = nullptr;
        int rc = mdb_txn_begin(env_.get(), nullptr, 0, &raw);
        if (rc != 0)
            return std::unexpected("failed to begin sequence-store write: " + lmdb_text(rc));
        Transaction txn(raw);
        MDB_dbi dbi = 0;
        rc = mdb_dbi_open(txn.get(), names.table, MDB_CREATE, &dbi);
        if (rc != 0)
            return std::unexpected("failed to open sequence-store table: " + lmdb_text(rc));
        for (std::size_t taken = 0; taken < batch_size; ++taken) {
            auto item = source.next();
            if (!item)
                return std::unexpected(item.error().message + " (line "
                                       + std::to_string(item.error().line) + ")");
            if (!*item) {
                ended = true;
                break;
            }
            const SequenceRecord& record = **item;
            const Lookup lookup = find(txn.get(), dbi, record.id, max_key_size_);
            if (lookup.rc == 0)
                return std::unexpected("duplicate " + std::string(names.kind) + " id '" + record.id
                                       + "'");
            if (lookup.rc != MDB_NOTFOUND)
                return std::unexpected("failed to query sequence store: " + lmdb_text(lookup.rc));
            rc = insert(txn.get(), dbi, lookup, record, max_key_size_);
            if (rc != 0)
                return std::unexpected("failed to write temporary sequence store: "
                                       + lmdb_text(rc));
            ++count;
        }
        rc = txn.commit();
        if (rc != 0)
            return std::unexpected("failed to commit temporary sequence store: " + lmdb_text(rc));
    }
    return count;
}

Result<std::optional<std::string>> SequenceStore::get(SequenceSide side,
                                                      std::string_view id) const {
    invariant(env_ != nullptr, "sequence store used after it was moved from");
    MDB_txn* raw = nullptr;
    int rc = mdb_txn_begin(env_.get(), nullptr, MDB_RDONLY, &raw);
    if (rc != 0)
        return std::unexpected("failed to begin sequence-store read: " + lmdb_text(rc));
    Transaction txn(raw);
    MDB_dbi dbi = 0;
    rc = mdb_dbi_open(txn.get(), side_names(side).table, 0, &dbi);
    // A side never ingested has no table, so it holds no id.
    if (rc == MDB_NOTFOUND)
        return std::optional<std::string>();
    if (rc != 0)
        return std::unexpected("failed to open sequence-store table: " + lmdb_text(rc));
    const Lookup lookup = find(txn.get(), dbi, id, max_key_size_);
    if (lookup.rc == MDB_NOTFOUND)
        return std::optional<std::string>();
    if (lookup.rc != 0)
        return std::unexpected("failed to read temporary sequence store: " + lmdb_text(lookup.rc));
    return std::optional<std::string>(std::string(lookup.sequence));
}

}  // namespace rux_dp
