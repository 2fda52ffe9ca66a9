#include "foundation/net/SocketRegistry.h"

#include <sys/socket.h>

#include <cerrno>

namespace zelvo {
namespace utils {

static_assert(std::atomic<int>::is_always_lock_free, "a signal handler reads the slots");
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler sets the flag");

SocketRegistry::SocketRegistry() noexcept : down(false)
{
    for (std::atomic<int>& slot : slots)
        slot.store(freeSlot);
}

bool SocketRegistry::add(int fd) noexcept
{
    if (fd < 0)
        return false;
    for (std::atomic<int>& slot : slots) {
        int expected = freeSlot;
        if (slot.compare_exchange_strong(expected, fd)) {
            // A cut that ran before the slot was filled missed this socket.
            if (down.load()) {
                const int saved = errno;
                ::shutdown(fd, SHUT_RDWR);
                errno = saved;
            }
            return true;
        }
    }
    return false;
}

void SocketRegistry::remove(int fd) noexcept
{
    if (fd < 0)
        return;
    for (std::atomic<int>& slot : slots) {
        int expected = fd;
        if (slot.compare_exchange_strong(expected, freeSlot))
            return;
    }
}

void SocketRegistry::shutdownAll() noexcept
{
    const int saved = errno;
    down.store(true);
    for (std::atomic<int>& slot : slots) {
        const int fd = slot.load();
        if (fd >= 0)
            ::shutdown(fd, SHUT_RDWR);
    }
    errno = saved;
}

bool SocketRegistry::isShutDown() const noexcept
{
    return down.load();
}

void SocketRegistry::reset() noexcept
{
    down.store(false);
}

} // namespace utils
} // namespace zelvo
