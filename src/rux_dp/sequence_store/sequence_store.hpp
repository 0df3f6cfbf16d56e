#pragma once

#include "rux_dp/base/result.hpp"
#include "rux_dp/sequence_io/sequence_source.hpp"
#include "rux_dp/sequence_store/temporary_directory.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct MDB_env;

namespace rux_dp {

/// Which table of the store: the queries or the targets.
enum class SequenceSide { query, target };

/// Query and target sequences by id in a temporary on-disk store ("rux-align-sequences-XXXXXX"),
/// so memory use does not grow with the inputs. Filled on one thread, then read; move-only.
/// Releasing it closes the store and removes its directory.
class SequenceStore {
public:
    /// Records per write transaction.
    static constexpr std::size_t batch_size = 4096;

    /// Creates the store inside `temp_dir`, or the system's temporary directory when not given.
    [[nodiscard]] static Result<SequenceStore> create(
        const std::optional<std::filesystem::path>& temp_dir);

    SequenceStore(SequenceStore&& other) noexcept;
    SequenceStore& operator=(SequenceStore&& other) noexcept;
    SequenceStore(const SequenceStore&) = delete;
    SequenceStore& operator=(const SequenceStore&) = delete;
    ~SequenceStore();

    /// Stores every record of `source` in the side's table and returns how many. Stops at the
    /// first source error ("{message} (line {line})") or an id already in the table
    /// ("duplicate {query|target} id '{id}'"); batches committed before then stay.
    [[nodiscard]] Result<std::uint64_t> ingest(SequenceSide side, SequenceSource source);
    /// A copy of the sequence stored under `id`, nullopt if there is none.
    [[nodiscard]] Result<std::optional<std::string>> get(SequenceSide side,
                                                         std::string_view id) const;

    const std::filesystem::path& directory() const { return directory_.path(); }

private:
    struct EnvClose {
        void operator()(MDB_env* env) const;
    };
    SequenceStore(TemporaryDirectory directory, std::unique_ptr<MDB_env, EnvClose> env);

    // Declared first so that it is destroyed last, after the environment is closed.
    TemporaryDirectory directory_;
    std::unique_ptr<MDB_env, EnvClose> env_;
    std::size_t max_key_size_ = 0;
};

}  // namespace rux_dp
