// A fresh temporary folder for one test with the ways listkit's tests fill it and name what is
// in it; removed with everything in it afterwards.
#pragma once

#include <corekit/types.h>
#include <testsupport/tempdir.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace testfs {

class TempFolder : public testsupport::TempDir {
public:
    TempFolder() : TempDir("korvel-listkit") {}

    // The folder with a trailing '/', as masks are written.
    UnicodeString mask(const std::string &last) const { return Utf8ToUnicode(path().string() + "/" + last); }
    std::filesystem::path file(const std::string &name) const { return path() / name; }

    std::filesystem::path write(const std::string &name, const std::string &content) const
    {
        const auto p = path() / name;
        std::ofstream out(p, std::ios::binary);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        return p;
    }
    template <typename Bytes>
    std::filesystem::path writeBytes(const std::string &name, const Bytes &bytes) const
    {
        const auto p = path() / name;
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return p;
    }
};

inline UnicodeString u16(const std::filesystem::path &p)
{
    return Utf8ToUnicode(p.string());
}

} // namespace testfs
