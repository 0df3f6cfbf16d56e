#pragma once

#include "rux_dp/base/result.hpp"

#include <filesystem>
#include <string_view>

namespace rux_dp {

/// A fresh directory "{prefix}XXXXXX" (six random alphanumerics), removed recursively on release.
/// Move-only; a moved-from value owns nothing.
class TemporaryDirectory {
public:
    /// Creates the directory inside `parent`; the error is the operating system's text.
    [[nodiscard]] static Result<TemporaryDirectory> create(const std::filesystem::path& parent,
                                                           std::string_view prefix);

    TemporaryDirectory(TemporaryDirectory&& other) noexcept;
    TemporaryDirectory& operator=(TemporaryDirectory&& other) noexcept;
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    /// Removes the directory and its contents; errors while removing are ignored.
    ~TemporaryDirectory();

    const std::filesystem::path& path() const { return path_; }

private:
    explicit TemporaryDirectory(std::filesystem::path path) : path_(std::move(path)) {}
    void remove() noexcept;

    std::filesystem::path path_;
};

}  // namespace rux_dp
