#include <corekit/files.h>
#include <corekit/registry.h>

#include <algorithm>

#include <sys/statvfs.h>
#include <unistd.h>

int SI_GetNumOfCores32()
{
    const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return static_cast<int>(std::clamp(n, 1L, 32L));
}

uint32_t SI_GetVolumeSN()
{
    const UnicodeString root = F_GetSysDisc();
    if (root.empty())
        return 0;
    struct statvfs st {};
    if (::statvfs(UnicodeToUtf8(root).c_str(), &st) != 0)
        return 0;
    return static_cast<uint32_t>(st.f_fsid & 0xFFFFFFFFu);
}
