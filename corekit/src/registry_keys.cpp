// The key/value operations on the store: a read of the whole store, or one read-modify-write
// of it under the lock.
#include <corekit/registry.h>

#include "registry_file.h"
#include "registry_keys.h"
#include "registry_names.h"
#include "registry_text.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <unordered_map>

namespace korvel::reg {

using namespace detail;

namespace {

const char kDefaultStore[] = "/var/lib/korvel/registry.reg";

// The store as it is now. A missing store is an empty one.
Result readStore(Store &store, struct stat *st = nullptr, bool *missing = nullptr)
{
    store = Store{};
    const std::string path = storePath();
    std::string bytes;
    const Result r = readStoreFile(path, bytes, st);
    if (missing)
        *missing = r.status == Status::NotFound;
    if (r.status == Status::NotFound)
        return {};
    if (!r.ok())
        return r;
    std::string why;
    if (!parse(bytes, store, &why)) {
        store = Store{};
        return {Status::Damaged,
                "the registry file " + path + " is damaged (" + why + "); it is left as it is"};
    }
    return {};
}

// One read-modify-write under the lock. change() returns Ok and sets changed when the store is
// to be written. A damaged or unreadable store is never written over. `writeFailed` tells a
// write that got as far as the new file and then failed from one that could not begin.
Result transact(const std::function<Result(Store &, bool &changed)> &change, bool mayCreateFile,
                bool *writeFailed = nullptr)
{
    if (writeFailed)
        *writeFailed = false;
    const std::string path = storePath();
    if (mayCreateFile) {
        const auto dir = std::filesystem::path(path).parent_path();
        std::error_code ec;
        if (!dir.empty())
            std::filesystem::create_directories(dir, ec);
    }
    WriteLock lock;
    if (Result r = lock.acquire(path); !r.ok())
        return r;
    Store store;
    struct stat st {};
    bool missing = false;
    if (Result r = readStore(store, &st, &missing); !r.ok())
        return r;
    bool changed = false;
    Result r = change(store, changed);
    if (!r.ok() || !changed)
        return r;
    bool opened = false;
    r = replaceStoreFile(path, serialize(store), missing ? nullptr : &st, opened);
    if (writeFailed)
        *writeFailed = !r.ok() && opened;
    return r;
}

Result notFound(const char *what, const UnicodeString &name)
{
    return {Status::NotFound,
            std::string("the registry holds no ") + what + " '" + UnicodeToUtf8(name) + "'"};
}

// The keys at and below one key, as a tree: each node a key (with its own section or known only
// through its subkeys) and its direct subkeys in stored order.
struct Tree {
    struct Node {
        UnicodeString path;
        const Key *own = nullptr;
        std::vector<std::size_t> children;
        std::unordered_map<UnicodeString, std::size_t> byName;
    };
    std::vector<Node> nodes; // nodes[0] is the key asked for

    // Empty when the key does not exist.
    Tree(Store &store, const UnicodeString &fullPath)
    {
        const UnicodeString path = trimPath(fullPath);
        const UnicodeString want = fold(path);
        if (want.empty())
            return;
        const UnicodeString below = want + u'\\';
        for (const Key &k : store.keys) {
            const UnicodeString f = fold(k.path);
            if (f != want && f.compare(0, below.size(), below) != 0)
                continue;
            if (nodes.empty())
                nodes.push_back(Node{k.path.substr(0, path.size()), nullptr, {}, {}});
            // Down the key's path below the one asked for, one level at a time.
            std::size_t node = 0;
            std::size_t pos = path.size();
            while (pos < k.path.size()) {
                const std::size_t start = pos + 1;
                const std::size_t end = std::min(k.path.find(u'\\', start), k.path.size());
                const UnicodeString name = f.substr(start, end - start);
                const auto [at, added] = nodes[node].byName.try_emplace(name, nodes.size());
                const std::size_t next = at->second;
                if (added) {
                    nodes[node].children.push_back(next);
                    Node child{nodes[node].path + u'\\' + k.path.substr(start, end - start), nullptr, {}, {}};
                    nodes.push_back(std::move(child));
                }
                node = next;
                pos = end;
            }
            if (!nodes[node].own) {
                nodes[node].own = &k;
                nodes[node].path = k.path;
            }
        }
    }

    KeyListing listing(std::size_t n) const
    {
        KeyListing l;
        l.path = nodes[n].path;
        if (nodes[n].own)
            l.values = nodes[n].own->values;
        for (std::size_t c : nodes[n].children) {
            const UnicodeString &p = nodes[c].path;
            l.subkeys.push_back(p.substr(p.rfind(u'\\') + 1));
        }
        return l;
    }
};

} // namespace

// ---- values --------------------------------------------------------------------------------

Value Value::string(const UnicodeString &name, const UnicodeString &text, uint32_t type)
{
    Value v;
    v.name = name;
    v.type = type;
    v.data.reserve(text.size() * 2 + 2);
    for (char16_t c : text) {
        v.data.push_back(uint8_t(c & 0xFF));
        v.data.push_back(uint8_t(c >> 8));
    }
    v.data.push_back(0);
    v.data.push_back(0);
    return v;
}

Value Value::binary(const UnicodeString &name, const void *bytes, std::size_t size)
{
    Value v;
    v.name = name;
    v.type = RegBinary;
    const auto *p = static_cast<const uint8_t *>(bytes);
    v.data.assign(p, p + size);
    return v;
}

Value Value::dword(const UnicodeString &name, uint32_t n)
{
    Value v;
    v.name = name;
    v.type = RegDword;
    v.data = {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)};
    return v;
}

std::optional<UnicodeString> Value::text() const
{
    if (type != RegSz && type != RegExpandSz)
        return std::nullopt;
    UnicodeString s;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2)
        s += char16_t(data[i] | data[i + 1] << 8);
    // The registry keeps the terminating zero with the data; text ends at the first one.
    const auto nul = s.find(u'\0');
    if (nul != UnicodeString::npos)
        s.resize(nul);
    return s;
}

// ---- the store -----------------------------------------------------------------------------

std::string storePath()
{
    const char *env = std::getenv("KORVEL_REGISTRY");
    return env && *env ? std::string(env) : std::string(kDefaultStore);
}

UnicodeString machineSoftwarePath(const UnicodeString &key, bool wow6432)
{
    UnicodeString p = u"HKEY_LOCAL_MACHINE\\SOFTWARE";
    if (wow6432)
        p += u"\\WOW6432Node";
    if (!key.empty())
        p += u'\\' + key;
    return p;
}

Result keyExists(const UnicodeString &fullPath)
{
    Store store;
    if (Result r = readStore(store); !r.ok())
        return r;
    return store.exists(fullPath) ? Result() : notFound("key", fullPath);
}

Result createKey(const UnicodeString &fullPath)
{
    const UnicodeString path = trimPath(fullPath);
    if (path.empty())
        return Result(Status::NotFound, "a key needs a name");
    if (Result r = checkKeyPath(path); !r.ok())
        return r;
    return transact(
        [&](Store &store, bool &changed) {
            if (!store.exists(path)) {
                store.ensure(path);
                changed = true;
            }
            return Result();
        },
        true);
}

Result deleteKey(const UnicodeString &fullPath)
{
    return transact(
        [&](Store &store, bool &changed) {
            changed = store.erase(fullPath);
            return changed ? Result() : notFound("key", fullPath);
        },
        false);
}

Result deleteValue(const UnicodeString &fullPath, const UnicodeString &name)
{
    return transact(
        [&](Store &store, bool &changed) {
            Key *k = store.find(fullPath);
            if (!k)
                return notFound("key", fullPath);
            const auto before = k->values.size();
            std::erase_if(k->values, [&](const Value &v) { return sameName(v.name, name); });
            changed = k->values.size() != before;
            return changed ? Result() : notFound("value", name);
        },
        false);
}

Result setValue(const UnicodeString &fullPath, const Value &value, bool createMissingKey)
{
    const UnicodeString path = trimPath(fullPath);
    if (path.empty())
        return Result(Status::NotFound, "a key needs a name");
    return transact(
        [&](Store &store, bool &changed) {
            if (!createMissingKey && !store.exists(path))
                return notFound("key", path);
            if (Result r = checkKeyPath(path); !r.ok())
                return r;
            if (Result r = checkValueName(value.name); !r.ok())
                return r;
            putValue(store.ensure(path), value);
            changed = true;
            return Result();
        },
        createMissingKey);
}

Result getValue(const UnicodeString &fullPath, const UnicodeString &name, Value &out)
{
    Store store;
    if (Result r = readStore(store); !r.ok())
        return r;
    Key *k = store.find(fullPath);
    Value *v = k ? findValue(*k, name) : nullptr;
    if (!v)
        return k ? notFound("value", name) : notFound("key", fullPath);
    out = *v;
    return {};
}

Result listKey(const UnicodeString &fullPath, KeyListing &out)
{
    out = KeyListing{};
    Store store;
    if (Result r = readStore(store); !r.ok())
        return r;
    const Tree tree(store, fullPath);
    if (tree.nodes.empty())
        return notFound("key", fullPath);
    out = tree.listing(0);
    return {};
}

Result listTree(const UnicodeString &fullPath, std::vector<KeyListing> &out)
{
    out.clear();
    Store store;
    if (Result r = readStore(store); !r.ok())
        return r;
    const Tree tree(store, fullPath);
    if (tree.nodes.empty())
        return notFound("key", fullPath);
    // Depth first without recursion: a tree may be deep.
    std::vector<std::size_t> todo{0};
    while (!todo.empty()) {
        const std::size_t n = todo.back();
        todo.pop_back();
        out.push_back(tree.listing(n));
        const auto &children = tree.nodes[n].children;
        todo.insert(todo.end(), children.rbegin(), children.rend());
    }
    return {};
}

// ---- the RG_ functions' writes --------------------------------------------------------------

namespace detail {

Result setInExistingKey(const UnicodeString &fullPath, const Value &value, bool &writeFailed)
{
    return transact(
        [&](Store &store, bool &changed) {
            if (!store.exists(fullPath))
                return notFound("key", fullPath);
            if (Result r = checkValueName(value.name); !r.ok())
                return r;
            putValue(store.ensure(fullPath), value);
            changed = true;
            return Result();
        },
        false, &writeFailed);
}

} // namespace detail

} // namespace korvel::reg
