#ifndef ZELVO_FOUNDATION_NET_SOCKETREGISTRY_H
#define ZELVO_FOUNDATION_NET_SOCKETREGISTRY_H

#include <atomic>

namespace zelvo {
namespace utils {

// The open client sockets that a signal handler may have to cut, so that a
// call blocked on one of them returns at once. add and remove run in
// ordinary code; shutdownAll is async-signal-safe (atomics and shutdown(2)
// only).
//
// Once shut down the registry stays so until reset: a socket added later is
// shut down as it is added, and a stream buffer attached to the registry
// makes no new connection (tcpbuffer::setSocketRegistry).
class SocketRegistry {
public:
    // Far more than the connections of one mailbox copy.
    static constexpr int capacity = 16;

    SocketRegistry() noexcept;
    SocketRegistry(const SocketRegistry&) = delete;
    SocketRegistry& operator=(const SocketRegistry&) = delete;

    // Registers fd; false when every slot is taken (fd is then not cut).
    bool add(int fd) noexcept;
    // Forgets fd. Called before fd is closed, so a number the system hands
    // out again is never cut by mistake.
    void remove(int fd) noexcept;
    // shutdown(SHUT_RDWR) of every registered socket; safe in a signal
    // handler.
    void shutdownAll() noexcept;
    bool isShutDown() const noexcept;
    // Accepts connections again.
    void reset() noexcept;

private:
    static constexpr int freeSlot = -1;
    std::atomic<int> slots[capacity];
    std::atomic<bool> down;
};

} // namespace utils
} // namespace zelvo

#endif
