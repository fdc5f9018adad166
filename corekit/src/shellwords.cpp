#include "shellwords.h"

namespace corekit::detail {

bool splitWords(const std::string &s, std::vector<std::string> &words)
{
    words.clear();
    std::string cur;
    bool inWord = false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c == ' ' || c == '\t' || c == '\n') {
            if (inWord)
                words.push_back(cur);
            cur.clear();
            inWord = false;
        } else if (c == '\\') {
            if (i + 1 < s.size()) {
                if (s[i + 1] != '\n') {
                    cur += s[i + 1];
                    inWord = true;
                }
                ++i;
            } else {
                cur += c;
                inWord = true;
            }
        } else if (c == '\'') {
            const auto end = s.find('\'', i + 1);
            if (end == std::string::npos)
                return false;
            cur += s.substr(i + 1, end - i - 1);
            i = end;
            inWord = true;
        } else if (c == '"') {
            std::size_t j = i + 1;
            for (; j < s.size() && s[j] != '"'; ++j) {
                if (s[j] == '\\' && j + 1 < s.size() &&
                    (s[j + 1] == '$' || s[j + 1] == '`' || s[j + 1] == '"' || s[j + 1] == '\\' ||
                     s[j + 1] == '\n')) {
                    if (s[j + 1] != '\n')
                        cur += s[j + 1];
                    ++j;
                } else {
                    cur += s[j];
                }
            }
            if (j >= s.size())
                return false;
            i = j;
            inWord = true;
        } else {
            cur += c;
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(cur);
    return true;
}

} // namespace corekit::detail
