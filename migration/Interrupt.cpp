#include "migration/Interrupt.h"

#include <cerrno>
#include <csignal>
#include <cstring>

namespace {

struct HookSlot {
    Interrupt::Hook hook;
    void* context;
};

std::atomic<bool> requested{false};
std::atomic<unsigned> untaken{0};
std::atomic<unsigned> total{0};

// Two slots so a hook and its context change together: the handler reads
// the slot that active names, which is switched only after it is filled.
HookSlot slots[2];
std::atomic<int> active{-1};

static_assert(std::atomic<bool>::is_always_lock_free, "signal handler needs a lock-free flag");
static_assert(std::atomic<unsigned>::is_always_lock_free, "signal handler needs a lock-free count");
static_assert(std::atomic<int>::is_always_lock_free, "signal handler needs a lock-free slot index");

void installHandler(int signal)
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = catch_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(signal, &sa, nullptr);
}

void installUnlessIgnored(int signal)
{
    struct sigaction current;
    if (sigaction(signal, nullptr, &current) != 0 || current.sa_handler == SIG_IGN)
        return;
    installHandler(signal);
}

} // namespace

void Interrupt::install()
{
    installUnlessIgnored(SIGINT);
}

void Interrupt::installStopSignals()
{
    static const int stopping[] = {SIGTERM, SIGHUP,  SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM,
                                   SIGPROF, SIGXCPU, SIGXFSZ, SIGIO,   SIGPWR,  SIGSTKFLT};
    for (int signal : stopping)
        installUnlessIgnored(signal);
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        installUnlessIgnored(signal);
}

bool Interrupt::pending() noexcept
{
    return requested.load(std::memory_order_relaxed);
}

unsigned Interrupt::take() noexcept
{
    return untaken.exchange(0);
}

unsigned Interrupt::count() noexcept
{
    return total.load();
}

const std::atomic<bool>& Interrupt::flag() noexcept
{
    return requested;
}

void Interrupt::request() noexcept
{
    requested.store(true);
    untaken.fetch_add(1);
    total.fetch_add(1);
    const int slot = active.load();
    if (slot >= 0 && slots[slot].hook)
        slots[slot].hook(slots[slot].context);
}

void Interrupt::reset() noexcept
{
    requested.store(false);
    untaken.store(0);
    total.store(0);
}

void Interrupt::setHook(Hook hook, void* context) noexcept
{
    if (hook == nullptr) {
        active.store(-1);
        return;
    }
    const int next = active.load() == 0 ? 1 : 0;
    slots[next].hook = hook;
    slots[next].context = context;
    active.store(next);
}

extern "C" void catch_signal(int)
{
    const int saved = errno;
    Interrupt::request();
    errno = saved;
}
