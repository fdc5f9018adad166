// libFuzzer target: arbitrary bytes as a registry store file. Aborts when text that reads as a
// store does not come back the same after one more write and read: every store the programs
// write must read again as they wrote it.
//
// `scripts/setup.sh fuzz` builds and runs it with its dictionary (regtext_fuzz.dict) and its
// seeds (regtext_fuzz.seeds/, only read).

#include "registry_text.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace korvel::reg::detail;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Store first;
    if (!parse(std::string(reinterpret_cast<const char *>(data), size), first))
        return 0;
    const std::string written = serialize(first);
    Store second;
    std::string why;
    if (!parse(written, second, &why))
        std::abort();
    if (second.keys.size() != first.keys.size() || serialize(second) != written)
        std::abort();
    for (std::size_t k = 0; k < first.keys.size(); ++k) {
        const auto &a = first.keys[k].values;
        const auto &b = second.keys[k].values;
        if (a.size() != b.size())
            std::abort();
        for (std::size_t v = 0; v < a.size(); ++v)
            if (a[v].type != b[v].type || a[v].data != b[v].data)
                std::abort();
    }
    return 0;
}
