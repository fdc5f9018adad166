#pragma once
// The application catalogue: display names of the suite's applications by application code.
// Shared by the master's list and the client agent's window.

#include <corekit/types.h>

/// The known application codes of the suite, in ascending order.
inline constexpr unsigned short KnownAppCodes[] = {10, 83, 93, 97};

/// True for the application codes of the suite (10, 83, 93, 97). Takes any int, so that a
/// number from outside (a request, a message) is never narrowed into a known code.
bool IsKnownAppCode(int code);

/// Display name of the application with this code; empty for a code the catalogue does not list.
UnicodeString AppDisplayName(unsigned short code);
