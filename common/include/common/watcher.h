// TWatcher: waits for one process of an application of the suite to end and then posts
// WM_INSTANCE_ENDED (its application code) to the agent's message port.
#pragma once

#include <cstdint>
#include <string>

/// A watcher runs on a detached thread of its own, frees itself when it ends and is never
/// joined. It shares nothing with the agent: it reports only by posting to the port.
class TWatcher {
public:
    /// Starts a watcher on process `pid` that posts WM_INSTANCE_ENDED (`code`, 0) to the port
    /// `portValue` of the current session when that process ends. A process that cannot be
    /// opened (gone, not a process) gets no watcher and nothing is ever posted for it: false.
    static bool Start(unsigned short code, int pid, std::uint32_t portValue);

    TWatcher(const TWatcher &) = delete;
    TWatcher &operator=(const TWatcher &) = delete;
    ~TWatcher();

private:
    TWatcher(unsigned short code, int process, std::uint32_t window, std::string session);
    void Execute();

    unsigned short code;
    int process;            // a pidfd of the watched process, which no reused pid can fool
    std::uint32_t window;   // the port to post to
    std::string session;
};
