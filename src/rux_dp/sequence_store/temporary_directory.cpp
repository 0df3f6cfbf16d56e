#include "rux_dp/sequence_store/temporary_directory.hpp"

#include <stdlib.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

namespace rux_dp {

Result<TemporaryDirectory> TemporaryDirectory::create(const std::filesystem::path& parent,
                                                      std::string_view prefix) {
    // An empty parent would silently mean the working directory.
    if (parent.empty())
        return std::unexpected(std::error_code(ENOENT, std::generic_category()).message());
    const std::string pattern = (parent / (std::string(prefix) + "XXXXXX")).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr)
        return std::unexpected(std::error_code(errno, std::generic_category()).message());
    return TemporaryDirectory(std::filesystem::path(name.data()));
}

TemporaryDirectory::TemporaryDirectory(TemporaryDirectory&& other) noexcept
    : path_(std::move(other.path_)) {
    other.path_.clear();
}

TemporaryDirectory& TemporaryDirectory::operator=(TemporaryDirectory&& other) noexcept {
    if (this != &other) {
        remove();
        path_ = std::move(other.path_);
        other.path_.clear();
    }
    return *this;
}

TemporaryDirectory::~TemporaryDirectory() {
    remove();
}

void TemporaryDirectory::remove() noexcept {
    if (path_.empty())
        return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    path_.clear();
}

}  // namespace rux_dp
