// Shell word splitting for the parameters of F_RunApp. Internal to corekit.
#pragma once

#include <string>
#include <vector>

namespace corekit::detail {

/// Splits text into words as a shell does: blanks separate words, '...' is literal, "..." keeps
/// blanks and lets \ escape $ ` " \ and a newline, and \ outside quotes escapes the next
/// character. Nothing is expanded. False for an unterminated quote.
bool splitWords(const std::string &s, std::vector<std::string> &words);

} // namespace corekit::detail
