#include <common/catalogue.h>

#include <algorithm>
#include <iterator>

namespace {

struct CatalogueEntry {
    unsigned short code;
    const char *name;
};

// Names as the suite's applications call themselves in their own title bars; short enough
// for the master's "Name" column (120 pixels).
constexpr CatalogueEntry Catalogue[] = {
    {10, "Ardentis Desk"},
    {83, "Ardentis Ledger"},
    {93, "Ardentis Planner"},
    {97, "Ardentis Reports"},
};

} // namespace

bool IsKnownAppCode(unsigned short code)
{
    return std::find(std::begin(KnownAppCodes), std::end(KnownAppCodes), code) != std::end(KnownAppCodes);
}

UnicodeString AppDisplayName(unsigned short code)
{
    for (const auto &e : Catalogue)
        if (e.code == code)
            return U(e.name);
    return {};
}
