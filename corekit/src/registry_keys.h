// What the RG_ functions need of the store beyond the public operations.
#pragma once

#include <corekit/registry.h>

namespace korvel::reg::detail {

/// Sets a value in a key that exists (NotFound otherwise). `writeFailed` tells a write that
/// failed once the new file was begun from one that could not begin (no rights, busy, damaged).
Result setInExistingKey(const UnicodeString &fullPath, const Value &value, bool &writeFailed);

} // namespace korvel::reg::detail
