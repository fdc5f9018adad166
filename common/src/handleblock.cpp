#include <common/handleblock.h>

#include <common/msgport.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool Trusted(uid_t owner)
{
    return owner == geteuid() || owner == 0 || owner == ServiceUid();
}

std::string Quoted(const UnicodeString &name)
{
    return "\"" + UnicodeToUtf8(name) + "\"";
}

} // namespace

std::string KorvelUserName(uid_t uid)
{
    if (uid == 0)
        return "root";
    std::string text = "user " + std::to_string(uid);
    std::string buf(4096, '\0');
    passwd pw{}, *found = nullptr;
    if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_name)
        text += std::string(" (") + found->pw_name + ")";
    return text;
}

namespace {

std::string UserName(uid_t uid)
{
    return KorvelUserName(uid);
}

// What lies under the block's name when it is no block at all.
std::string KindOf(mode_t type)
{
    switch (type) {
    case S_IFIFO:
        return "a FIFO";
    case S_IFLNK:
        return "a symbolic link";
    case S_IFDIR:
        return "a directory";
    case S_IFSOCK:
        return "a socket";
    default:
        return "a special file";
    }
}

} // namespace

uid_t ServiceUid()
{
    // Looked up once: the package makes the user at installation, before any agent runs.
    static const uid_t uid = [] {
        const passwd *pw = ::getpwnam("korvel");
        // Only a system user: an ordinary login named so is a user like any other.
        return pw && pw->pw_uid != 0 && pw->pw_uid < 1000 ? pw->pw_uid : static_cast<uid_t>(-1);
    }();
    return uid;
}

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

THandleBlockInfo ProbeHandleBlock()
{
    THandleBlockInfo info;
    const UnicodeString name = HandleBlockName();
    {
        MHandle block = OpenMemFile(name, 'R');
        if (block.Active()) {
            info.owner = block.Owner();
            if (!Trusted(info.owner)) {
                info.holder = TBlockHolder::Stranger;
                return info;
            }
            if (block.View() && block.Size() >= sizeof info.value) {
                std::memcpy(&info.value, block.View(), sizeof info.value);
                info.holder = TBlockHolder::Agent;
                return info;
            }
        }
    }
    const TMemFileInfo m = ProbeMemFile(name);
    if (!m.exists || (!m.held && (m.owner == geteuid() || geteuid() == 0)))
        return info;
    info.owner = m.owner;
    info.type = m.type;
    if (!m.held)
        info.holder = TBlockHolder::LeftByOther;
    else
        // Held but not readable as a whole block yet: its creator is still making it.
        info.holder = Trusted(m.owner) ? TBlockHolder::Agent : TBlockHolder::Stranger;
    return info;
}

std::string HandleBlockProblem(const THandleBlockInfo &info)
{
    const std::string block = "the handle block " + Quoted(HandleBlockName());
    switch (info.holder) {
    case TBlockHolder::Stranger:
        return block + " is held by a program of " + UserName(info.owner) +
               ", not by a Korvel agent of this user or root; it is neither trusted nor used";
    case TBlockHolder::LeftByOther:
        if (info.type != 0)
            return block + " is taken by " + KindOf(info.type) + " of " + UserName(info.owner) +
                   ", which is no block of a Korvel program; only that user or root can remove it "
                   "(/dev/shm/" +
                   UnicodeToUtf8(HandleBlockName()) + ")";
        return block + " was left behind by a program of " + UserName(info.owner) +
               " that has ended; only that user or root can remove it (/dev/shm/" +
               UnicodeToUtf8(HandleBlockName()) + ")";
    case TBlockHolder::None:
    case TBlockHolder::Agent:
        break;
    }
    return {};
}

MHandle CreateHandleBlock(std::uint32_t value)
{
    const UnicodeString name = HandleBlockName();
    const THandleBlockInfo info = ProbeHandleBlock();
    if (info.holder == TBlockHolder::Agent)
        return MHandle();
    if (info.holder != TBlockHolder::None) {
        // Root is never kept out by another user's block: the name goes, whoever holds the
        // old block keeps it without a name, and nobody finds it any more.
        if (geteuid() != 0 || !RemoveMemFile(name, info.owner)) {
            std::fprintf(stderr, "korvel: %s\n", HandleBlockProblem(info).c_str());
            return MHandle();
        }
    }
    MHandle block = CreateMemFile(name, sizeof value);
    if (!block.Active() || !block.View())
        return MHandle();
    std::memcpy(block.View(), &value, sizeof value);
    block.UnmapView();
    return block;
}

bool TestHandleBlock(std::uint32_t *value)
{
    const THandleBlockInfo info = ProbeHandleBlock();
    if (info.holder != TBlockHolder::Agent)
        return false;
    if (value)
        *value = info.value;
    return true;
}

TAgentCheck CheckAgent()
{
    TAgentCheck check;
    check.block = ProbeHandleBlock();
    if (check.block.holder != TBlockHolder::Agent) {
        check.problem = HandleBlockProblem(check.block);
        return check;
    }
    const TPortInfo port = ProbePort(check.block.value);
    switch (port.state) {
    case TPortState::Trusted:
        check.found = true;
        check.port = check.block.value;
        check.owner = port.owner;
        break;
    case TPortState::Closed:
        check.problem =
            "the Korvel agent holds the handle block but does not take messages (its message port "
            "is closed)";
        break;
    case TPortState::Stranger:
        check.problem = "the message port named in the handle block is bound by a program of " +
                        UserName(port.owner) + ", not by the Korvel agent; nothing is posted to it";
        break;
    case TPortState::Unknown:
        check.problem = "cannot make sure that the Korvel agent's message port is its own: " + port.error;
        break;
    }
    return check;
}
