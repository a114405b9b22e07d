/// @file
/// The application's main-thread queue: calls posted from any thread without waiting, run when
/// the main thread processes the queue. An event loop integrates it through a file descriptor
/// (an eventfd) that is readable while calls wait:
///
/// @code
///   pollfd fds[] = {{DvMainThreadQueueFD(), POLLIN, 0}, {myOtherFd, POLLIN, 0}};
///   while (running) {
///     poll(fds, 2, -1);
///     if (fds[0].revents & POLLIN) DvProcessMainThreadQueue();
///     // ... the loop's other work
///   }
/// @endcode
#pragma once

#include <functional>

namespace dv {

/// Queues a call for the main thread; returns at once (any thread).
void DvQueueToMainThread(std::function<void()> call);
/// Runs the calls queued so far, in the order they were queued (the main thread); calls queued
/// meanwhile wait for the next turn. Gives how many ran. An exception from a call propagates
/// after the calls before it ran; the rest stay queued.
int DvProcessMainThreadQueue();
/// Waits up to timeoutMs (negative: without limit) for queued calls, then runs them; gives how
/// many ran.
int DvWaitMainThreadQueue(int timeoutMs);
/// The descriptor that is readable while calls wait (poll/epoll, GLib, Qt, Asio can watch it).
int DvMainThreadQueueFD();
/// The number of calls waiting.
int DvMainThreadQueueCount();

}  // namespace dv
