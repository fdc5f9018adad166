// Opening documents with the program the desktop associates with them (xdg-open).
#include "spawner.h"

#include <corekit/files.h>

#include <string>

#include <sys/stat.h>

namespace {

// A file that exists, or an address ("scheme://..."), handed to xdg-open.
bool openDocument(const UnicodeString &document)
{
    if (document.empty())
        return false;
    const std::string doc = UnicodeToUtf8(document);
    const bool isUrl = document.find(u"://") != UnicodeString::npos;
    struct stat st {};
    if (!isUrl && ::stat(doc.c_str(), &st) != 0)
        return false;
    return corekit::detail::spawnDetached({"xdg-open", doc});
}

} // namespace

bool F_OpenRegistDoc(const UnicodeString &document)
{
    return openDocument(document);
}

bool F_OpenAsciiDoc(const UnicodeString &document)
{
    return openDocument(document);
}

bool F_OpenBmpDoc(const UnicodeString &document)
{
    return openDocument(document);
}

bool F_OpenRtfDoc(const UnicodeString &document)
{
    return openDocument(document);
}
