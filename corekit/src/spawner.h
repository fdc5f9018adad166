// Starting programs that outlive us. Internal to corekit.
#pragma once

#include <string>
#include <vector>

namespace corekit::detail {

/// Starts args[0] (looked up in PATH) with the parameters args[1...] in a session of its own,
/// so that it outlives us and the end of our terminal; a detached reaper thread collects its
/// exit so that it leaves no zombie. False when it could not be started.
bool spawnDetached(const std::vector<std::string> &args);

} // namespace corekit::detail
