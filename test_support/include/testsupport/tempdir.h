#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace testsupport {

/// A fresh folder for one test, removed with all it holds when the object goes.
class TempDir {
public:
    explicit TempDir(const std::string &prefix = "korvel",
                     const std::filesystem::path &parent = std::filesystem::temp_directory_path())
    {
        std::string pattern = (parent / (prefix + "-XXXXXX")).string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("cannot create a temporary folder in " + parent.string());
        path_ = pattern;
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace testsupport
