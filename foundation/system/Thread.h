#ifndef ZELVO_FOUNDATION_SYSTEM_THREAD_H
#define ZELVO_FOUNDATION_SYSTEM_THREAD_H

#include <atomic>
#include <pthread.h>
#include <string>
#include <vector>

#include "foundation/system/ZMutex.h"

namespace zelvo {
namespace tiny {

// The calling thread's identity: unique among the process's live threads and
// stable for the life of the thread (the kernel thread id, which fits in 32
// bits, unlike a pthread_t here).
unsigned threadID();
int processID();

pthread_t getThreadHandle(pthread_t& handle);
// Nothing to release on this platform.
void closeThreadHandle(pthread_t& handle);
int threadDetach(pthread_t& handle);
// 0 for a null thread, else pthread_join's result.
int waitForThread(pthread_t thread);
// True for a null thread or a successful join.
bool waitForThreadClose(pthread_t thread);

using ThreadPriority = int;
// SCHED_OTHER with priority p for the calling thread; only 0 is valid here.
int setThreadPriority(ThreadPriority priority);

struct ThreadAttributes {
    // 0: the system default; otherwise at least the platform's minimum.
    unsigned stackSize;
    // Handed to the start callback.
    std::string name;
};
extern const ThreadAttributes defaultThreadAttributes;

// Starts fn(arg) on a new thread, between the registered start and end
// callbacks. With out, *out is the new thread (0 on failure) and the caller
// joins or detaches it; without, the thread is detached.
bool createThread(void (*fn)(void*), void* arg, pthread_t* out,
                  const ThreadAttributes& attrs = defaultThreadAttributes);

// The process-wide start/end callbacks of threads made by createThread.
class ThreadCallbacks {
public:
    using StartCallback = void (*)(unsigned threadId, const std::string& name);
    using EndCallback = void (*)(unsigned threadId);

    static ThreadCallbacks* getInstance();
    // Both or neither; otherwise false and the previous pair stays.
    bool registerThreadCallbacks(StartCallback start, EndCallback end);
    void getThreadCallbacks(StartCallback& start, EndCallback& end);
    // Run at exit: destroys the instance.
    static void releaseInstance();
    // How many instances getInstance() has built in this process; a release
    // does not count down.
    static unsigned instancesCreated();

    ThreadCallbacks(const ThreadCallbacks&) = delete;
    ThreadCallbacks& operator=(const ThreadCallbacks&) = delete;

private:
    ThreadCallbacks() = default;

    StartCallback startCallback = nullptr;
    EndCallback endCallback = nullptr;
    ZMutex mutex;

    static std::atomic<ThreadCallbacks*> instance;
    static std::atomic<bool> instanceCreated;
    static std::atomic<int> creatorLottery;
    static std::atomic<unsigned> creations;
};

namespace dangerous {

// The process-wide SIGUSR2 handler that ends the receiving thread, counted
// so nested users install it once and the last restores the previous action.
class SigUsr2Guard {
public:
    static bool setSIGUSR2Handler();
    // False, and nothing changes, when the handler is not installed.
    static bool restoreSIGUSR2Handler();
    // pthread_exit for SIGUSR2: the thread's end callback does not run.
    static void sIGUSR2Handler(int sig);
};

// Ends each thread with SIGUSR2 and joins it. False when the handler could
// not be installed (nothing touched) or a signal could not be sent.
bool terminateThreads(const std::vector<pthread_t>& threads, unsigned unused = 0);

} // namespace dangerous

} // namespace tiny
} // namespace zelvo

#endif
