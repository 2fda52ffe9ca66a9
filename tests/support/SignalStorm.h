// Signals sent to one thread again and again, for tests of calls that must
// keep their time-out however often a signal interrupts them.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <thread>

namespace testsupport {

// From construction (or firstAfterMs later), sends SIGUSR1 to target every
// intervalMs, at most limit times, from a thread of its own. The handler
// only counts; it is installed with SA_RESTART, as the tool installs its
// own, so only calls that the kernel never restarts see EINTR. When the
// limit is reached, whenOver runs on that thread (it can free a call that
// would otherwise wait on). The previous handler comes back on destruction.
//
// A call under test that ends while the signals still come kept its
// time-out: outlasted() is false. One that restarts its wait after every
// signal lasts until the signals stop.
class SignalStorm {
public:
    SignalStorm(pthread_t target, int intervalMs, int limit, std::function<void()> whenOver = {},
                int firstAfterMs = 0)
        : limit_(limit)
    {
        struct sigaction action = {};
        action.sa_handler = count;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGUSR1, &action, &previous_);
        seen() = 0;
        thread_ = std::thread([this, target, intervalMs, whenOver, firstAfterMs] {
            const auto first = std::chrono::steady_clock::now() + std::chrono::milliseconds(firstAfterMs);
            while (!stop_ && std::chrono::steady_clock::now() < first)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            while (!stop_ && sent_ < limit_) {
                pthread_kill(target, SIGUSR1);
                ++sent_;
                std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
            }
            if (sent_ >= limit_ && whenOver)
                whenOver();
        });
    }
    ~SignalStorm()
    {
        stop();
        sigaction(SIGUSR1, &previous_, nullptr);
    }
    SignalStorm(const SignalStorm&) = delete;
    SignalStorm& operator=(const SignalStorm&) = delete;

    // Ends the signals and waits for the sending thread.
    void stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    int sent() const { return sent_; }
    bool outlasted() const { return sent_ >= limit_; }
    // Signals the handler has counted.
    static int received() { return seen(); }

private:
    static volatile sig_atomic_t& seen()
    {
        static volatile sig_atomic_t n = 0;
        return n;
    }
    static void count(int) { seen() = seen() + 1; }

    const int limit_;
    std::atomic<bool> stop_{false};
    std::atomic<int> sent_{0};
    struct sigaction previous_ = {};
    std::thread thread_;
};

}  // namespace testsupport
