// TWatcher: waits for processes of applications of the suite to end and posts
// WM_INSTANCE_ENDED (application code, process id) to the agent's message port for each.
#pragma once

#include <cstddef>
#include <cstdint>

/// All watches of a program share one waiter thread, started on first use and never joined; it
/// shares nothing with the agent and reports only by posting to the port. Each running watch
/// holds one descriptor; watches may hold at most a budget of the descriptor limit, so that
/// announcements can never starve the agent of sockets and files.
class TWatcher {
public:
    using Id = std::uint64_t;

    /// Starts watching process `pid`; when it ends, posts WM_INSTANCE_ENDED with WParam `code`
    /// and LParam `pid` to the port `portValue` of the current session (KORVEL_SESSION word
    /// read at this call). 0 when the process cannot be opened (gone, not a process) or the
    /// descriptor budget for watches is used up; nothing is ever posted for it then.
    static Id Start(unsigned short code, int pid, std::uint32_t portValue);
    /// Ends the watch: nothing is posted for it from now on (a post already made stays made).
    /// Unknown or finished ids: nothing. Safe from any thread.
    static void Terminate(Id id);
    /// Processes watched now.
    static std::size_t Count();
    /// Watches running at once at most, for a program that shares its descriptor limit out
    /// itself; otherwise the budget is taken from the limit at first use.
    static void SetBudget(std::size_t budget);

    TWatcher() = delete;
};
