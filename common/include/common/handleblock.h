// The handle block: the named 4-byte block in which the running master or client agent keeps
// the 32-bit value that names its message port, so that one agent runs per machine and the
// applications of the suite find it.
#pragma once

#include <corekit/corekit.h>
#include <mapkit/mapkit.h>

#include <cstdint>
#include <string>

/// The KORVEL_SESSION word, empty when the variable is unset. Agents, message ports and
/// applications with the same word find each other; other words never meet.
std::string KorvelSessionWord();

/// "fenwa-handle23!456", followed by "-" and the session word when one is set.
UnicodeString HandleBlockName();

/// Creates the handle block holding `value`, unmaps its view at once and returns the handle,
/// which the caller keeps for as long as it runs. Not active when the block cannot be created
/// (for instance because another agent holds it).
MHandle CreateHandleBlock(std::uint32_t value);

/// Whether a living agent holds the handle block; if so and `value` is given, the value in it.
bool TestHandleBlock(std::uint32_t *value = nullptr);
