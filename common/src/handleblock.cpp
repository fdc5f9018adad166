#include <common/handleblock.h>

#include <cstdlib>
#include <cstring>

std::string KorvelSessionWord()
{
    const char *word = std::getenv("KORVEL_SESSION");
    return word ? std::string(word) : std::string();
}

UnicodeString HandleBlockName()
{
    UnicodeString name = U("fenwa-handle23!456");
    const std::string word = KorvelSessionWord();
    if (!word.empty())
        name += U("-") + Utf8ToUnicode(word);
    return name;
}

MHandle CreateHandleBlock(std::uint32_t value)
{
    MHandle block = CreateMemFile(HandleBlockName(), sizeof value);
    if (!block.Active() || !block.View())
        return MHandle();
    std::memcpy(block.View(), &value, sizeof value);
    block.UnmapView();
    return block;
}

bool TestHandleBlock(std::uint32_t *value)
{
    MHandle block = OpenMemFile(HandleBlockName(), 'R');
    bool found = block.Active() && block.View() && block.Size() >= sizeof(std::uint32_t);
    if (found && value)
        std::memcpy(value, block.View(), sizeof *value);
    block.Close();
    return found;
}
