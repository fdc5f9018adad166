// A fresh temporary folder for one test, removed with everything in it afterwards.
#pragma once

#include <corekit/types.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace testfs {

class TempFolder {
public:
    TempFolder()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "korvel-listkit-XXXXXX").string();
        if (!::mkdtemp(tmpl.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempFolder()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;

    const std::filesystem::path &path() const { return path_; }
    // The folder with a trailing '/', as masks are written.
    UnicodeString mask(const std::string &last) const { return Utf8ToUnicode(path_.string() + "/" + last); }
    std::filesystem::path file(const std::string &name) const { return path_ / name; }

    std::filesystem::path write(const std::string &name, const std::string &content) const
    {
        const auto p = path_ / name;
        std::ofstream out(p, std::ios::binary);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        return p;
    }
    template <typename Bytes>
    std::filesystem::path writeBytes(const std::string &name, const Bytes &bytes) const
    {
        const auto p = path_ / name;
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return p;
    }

private:
    std::filesystem::path path_;
};

inline UnicodeString u16(const std::filesystem::path &p)
{
    return Utf8ToUnicode(p.string());
}

} // namespace testfs
