// The store's text: the .reg format read into keys and values, and written back.
#pragma once

#include <corekit/registry.h>

#include <string>
#include <unordered_map>
#include <vector>

namespace korvel::reg::detail {

/// One section of the store: a key with its values and comment lines, in stored order.
struct Key {
    UnicodeString path;
    std::vector<Value> values;
    std::vector<UnicodeString> comments;
};

/// The whole store. Lookups go through an index of the keys' folded paths, which parse() and
/// ensure() keep; a store put together otherwise calls reindex() before looking up.
class Store {
public:
    std::vector<UnicodeString> preamble; ///< comment lines before the first key
    std::vector<Key> keys;

    /// The key's own section, or null.
    Key *find(const UnicodeString &path);
    /// A key exists when its own section is there or a section of one of its subkeys is.
    bool exists(const UnicodeString &path) const;
    /// The key's own section, added at the end when it has none.
    Key &ensure(const UnicodeString &path);
    /// The position of the key's own section (the path without trailing backslashes), added
    /// at the end when it has none.
    std::size_t add(const UnicodeString &path);
    /// Removes the key and every key below it; false when there was none.
    bool erase(const UnicodeString &path);
    void reindex();

private:
    std::unordered_map<UnicodeString, std::size_t> index_; // folded path -> position in keys
};

/// The value of that name (compared as names compare), or null.
Value *findValue(Key &key, const UnicodeString &name);
/// Replaces the value of that name, keeping its stored spelling, or adds it at the end.
void putValue(Key &key, const Value &value);

/// Reads store text: UTF-8 (with or without a byte-order mark) or the UTF-16LE of the system's
/// own editor. False for text that is not a well-formed store, with the reason in *why. Takes
/// time and memory in proportion to the text.
bool parse(const std::string &bytes, Store &out, std::string *why = nullptr);
std::string serialize(const Store &store);

} // namespace korvel::reg::detail
