// The handle block: the named 4-byte block in which the running master or client agent keeps
// the 32-bit value that names its message port, so that one agent runs per machine and the
// applications of the suite find it.
//
// The block's name is open to every user of the machine, so whoever looks at it checks who
// holds it: only a block of this user or of root is an agent's. A block of another,
// unprivileged user is neither trusted nor written to, and is reported as what it is.
#pragma once

#include <corekit/corekit.h>
#include <mapkit/mapkit.h>

#include <cstdint>
#include <string>

#include <sys/types.h>

/// The KORVEL_SESSION word, empty when the variable is unset. Agents, message ports and
/// applications with the same word find each other; other words never meet.
std::string KorvelSessionWord();

/// The system user "korvel" that the master service runs as, or (uid_t)-1 when the machine has
/// none. Its block is trusted like root's: the service is the agent of the machine for every user.
uid_t ServiceUid();

/// "fenwa-handle23!456", followed by "-" and the session word when one is set.
UnicodeString HandleBlockName();

/// Creates the handle block holding `value`, unmaps its view at once and returns the handle,
/// which the caller keeps for as long as it runs. Not active when the block cannot be created:
/// another agent holds it, or a block of another user is in the way that this user may not
/// remove (the reason, HandleBlockProblem, then goes to stderr). Root removes such a block and
/// creates its own; a block that this user's agent left behind is taken over.
MHandle CreateHandleBlock(std::uint32_t value);

/// Whether a living agent holds the handle block, that is a program of this user or of root
/// (a block of another user is no agent's: see ProbeHandleBlock); if so and `value` is given,
/// the value in it.
bool TestHandleBlock(std::uint32_t *value = nullptr);

/// Who holds the handle block of this session, as this user sees it.
enum class TBlockHolder {
    None,        ///< no block, or one this user may take over (left behind by its own agent;
                 ///< for root, by anyone)
    Agent,       ///< a living program of this user or of root: the agent of this machine
    Stranger,    ///< a living program of another, unprivileged user: not an agent of ours
    LeftByOther, ///< left behind by a program of another user, or something of another user
                 ///< that is no block at all (type); only that user or root can remove it
};

struct THandleBlockInfo {
    TBlockHolder holder = TBlockHolder::None;
    uid_t owner = 0;         ///< the block's owner, unless holder is None
    std::uint32_t value = 0; ///< the value in the block, when holder is Agent
    mode_t type = 0;         ///< what lies under the name when it is no block (S_IFIFO...), else 0
};

/// Looks at the handle block without holding it. The launcher and the agents use it at their
/// start: Agent means "already running"; Stranger and LeftByOther are to be reported with
/// HandleBlockProblem rather than as an agent that runs.
THandleBlockInfo ProbeHandleBlock();

/// A sentence naming what is wrong with a block of another user (Stranger, LeftByOther), for
/// messages; empty for None and Agent.
std::string HandleBlockProblem(const THandleBlockInfo &info);

/// What a program that posts to the agent needs to know (korvel-run, the launcher): whether a
/// living agent of this user or of root holds the block and listens on the port it names.
struct TAgentCheck {
    bool found = false;     ///< both are so: posting to `port` reaches the agent
    std::uint32_t port = 0; ///< the agent's port, when found
    uid_t owner = 0;        ///< the user whose agent it is (the port's owner), when found
    THandleBlockInfo block; ///< the block as ProbeHandleBlock saw it
    std::string problem;    ///< why not, when something is in the way; empty when there is
                            ///< simply no agent, or when it was found
};

/// "root", or "user N (login)" (the login name when the user has one): whose a block or a port is.
std::string KorvelUserName(uid_t uid);

/// Checks the block and then who listens on the port it names, before anything is posted.
TAgentCheck CheckAgent();
