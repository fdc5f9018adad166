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

constexpr bool NamesEveryKnownCodeInOrder()
{
    if (std::size(Catalogue) != std::size(KnownAppCodes))
        return false;
    for (std::size_t i = 0; i < std::size(Catalogue); ++i)
        if (Catalogue[i].code != KnownAppCodes[i])
            return false;
    return true;
}
static_assert(NamesEveryKnownCodeInOrder(), "every known application code has its display name");

} // namespace

bool IsKnownAppCode(int code)
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
