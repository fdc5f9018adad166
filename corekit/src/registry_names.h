// Names in the registry store: how key paths and value names compare, and which of them the
// store can keep.
#pragma once

#include <corekit/registry.h>

#include <cstddef>

namespace korvel::reg::detail {

// The registry's own limits, which also bound what one key path can cost to read.
constexpr std::size_t kMaxKeyDepth = 512;
constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxValueNameLength = 16383;

/// The form in which names compare: without regard to case, as the registry compares them.
UnicodeString fold(const UnicodeString &s);
bool sameName(const UnicodeString &a, const UnicodeString &b);
/// The path without trailing backslashes.
UnicodeString trimPath(UnicodeString p);

/// Text that fits between quotes on one line of the store and comes back unchanged: no control
/// character and no unpaired surrogate.
bool quotable(const UnicodeString &s);

/// Why the store cannot keep this key path (BadName), or Ok. Ok for a path of at most
/// kMaxKeyDepth levels, each of at most kMaxKeyNameLength characters, that is quotable.
Result checkKeyPath(const UnicodeString &path);
/// The same for a value name.
Result checkValueName(const UnicodeString &name);

} // namespace korvel::reg::detail
