#include "maskmatch.h"

namespace corekit::detail {

namespace {

// Greedy matching with one back-tracking point: linear in practice, never exponential.
bool wildMatch(std::u16string_view p, std::u16string_view s)
{
    std::size_t pi = 0, si = 0, star = std::u16string_view::npos, mark = 0;
    while (si < s.size()) {
        if (pi < p.size() && (p[pi] == u'?' || p[pi] == s[si])) {
            ++pi;
            ++si;
        } else if (pi < p.size() && p[pi] == u'*') {
            star = pi++;
            mark = si;
        } else if (star != std::u16string_view::npos) {
            pi = star + 1;
            si = ++mark;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == u'*')
        ++pi;
    return pi == p.size();
}

} // namespace

bool MaskMatch(std::u16string_view mask, std::u16string_view name)
{
    if (wildMatch(mask, name))
        return true;
    return mask.size() >= 2 && mask.substr(mask.size() - 2) == u".*" &&
           wildMatch(mask.substr(0, mask.size() - 2), name);
}

} // namespace corekit::detail
