#pragma once
// Calls into an object living on another thread, waiting for them, with the hand-over made
// visible to ThreadSanitizer. Qt passes a queued call through its event queue and a semaphore,
// both futex-based inside libQt6Core, which is not built with ThreadSanitizer: without the
// marks below, what the caller prepared and what the call wrote look raced to it.

#include <QMetaObject>
#include <QObject>

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void *addr);
extern "C" void __tsan_release(void *addr);
#endif

namespace testsupport {

inline void handOverRelease([[maybe_unused]] void *token)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_release(token);
#endif
}

inline void handOverAcquire([[maybe_unused]] void *token)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(token);
#endif
}

/// Runs fn on target's thread and returns once it has run (a BlockingQueuedConnection): what
/// the caller did before happens before fn, and fn before what the caller does after.
template <class Fn> void runBlocking(QObject *target, Fn fn)
{
    int token = 0;
    handOverRelease(&token);
    QMetaObject::invokeMethod(
        target,
        [&] {
            handOverAcquire(&token);
            fn();
            handOverRelease(&token);
        },
        Qt::BlockingQueuedConnection);
    handOverAcquire(&token);
}

} // namespace testsupport
