// The parameters of F_RunApp split into words as a shell splits them, without expanding.
#include "shellwords.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Words = std::vector<std::string>;

TEST(ShellWords, SplitAsAShellDoes)
{
    const struct {
        std::string text;
        Words words;
    } cases[] = {
        {"", {}},
        {" \t\n ", {}},
        {"a  b\tc\nd", {"a", "b", "c", "d"}},
        {"'a b' c", {"a b", "c"}},
        {"'$HOME \\n \"x\"'", {"$HOME \\n \"x\""}},
        {"\"a b\"c", {"a bc"}},
        {"\"\\$ \\` \\\" \\\\ \\x\"", {"$ ` \" \\ \\x"}},
        {"\"line\\\ncontinued\"", {"linecontinued"}},
        {"a\\ b c", {"a b", "c"}},
        {"a\\\nb", {"ab"}},
        {"trailing\\", {"trailing\\"}},
        {"''", {""}},
        {"\"\" x", {"", "x"}},
        {"pre'mid'\"post\"", {"premidpost"}},
        {"$HOME *.txt ~", {"$HOME", "*.txt", "~"}},
    };
    for (const auto &c : cases) {
        Words words{"left over"};
        EXPECT_TRUE(corekit::detail::splitWords(c.text, words)) << c.text;
        EXPECT_EQ(words, c.words) << c.text;
    }
}

TEST(ShellWords, UnterminatedQuotesAreRefused)
{
    for (const std::string text : {"'open", "a \"open", "\"escaped end\\\"", "ok 'x' 'y"}) {
        Words words;
        EXPECT_FALSE(corekit::detail::splitWords(text, words)) << text;
    }
}

} // namespace
