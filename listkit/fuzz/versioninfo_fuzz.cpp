// libFuzzer target: arbitrary bytes as a program file whose version information is read (a
// Windows executable's resources, or the section of one of our own ELF programs). Aborts when
// the reader's list is anything but empty or the ten values it promises.
//
// Built by a clang configure of the tree (CC=clang CXX=clang++ cmake -S . -B build/fuzz ...);
// our own programs make good seeds:
//   mkdir -p build/fuzz/versioninfo-corpus && cp build/fuzz/bin/korvel-reg build/fuzz/versioninfo-corpus/
//   build/fuzz/bin/versioninfo_fuzz -max_total_time=60 build/fuzz/versioninfo-corpus

#include <listkit/listkit.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // The reader takes a path: an anonymous file in memory, named through /proc.
    static const int fd = memfd_create("versioninfo-fuzz", MFD_CLOEXEC);
    static const UnicodeString path = U("/proc/self/fd/" + std::to_string(fd));
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        std::abort();
    std::vector<UnicodeString> list{u"stale"};
    const bool found = F_GetVersionInfo(path, list);
    if (!list.empty() && list.size() != 10)
        std::abort();
    if (found && list.empty())
        std::abort();
    return 0;
}
