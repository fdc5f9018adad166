// Name matching of the directory search, shared by corekit's folder operations and listkit's
// file lists so that both find the same names. Internal: linked into both libraries, exported
// by neither.
#pragma once

#include <string_view>

namespace corekit::detail {

/// '*' takes any run of characters, '?' exactly one; everything else stands for itself, so a
/// name holding '[' or '\' matches literally, as in the Windows search. A mask ending in ".*"
/// also takes a name without any extension, so "*.*" means every name and "readme.*" finds
/// "readme". Case-sensitive, as Linux names are.
bool MaskMatch(std::u16string_view mask, std::u16string_view name);

} // namespace corekit::detail
