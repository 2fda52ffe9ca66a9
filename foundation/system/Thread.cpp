#include "foundation/system/Thread.h"

#include "foundation/system/Clock.h"

#include <climits>
#include <csignal>
#include <memory>
#include <cstdlib>
#include <sched.h>
#include <unistd.h>

namespace zelvo {
namespace tiny {

namespace {

// The smallest stack createThread asks for; the platform's own minimum wins
// when it is larger.
constexpr size_t smallestStackSize = 8192;

// Losers of the creation lottery wait this long before looking again.
constexpr int lotteryWaitMs = 100;

struct StartRecord {
    void (*fn)(void*);
    void* arg;
    std::string name;
};

void* threadEntry(void* param)
{
    // Owned here so a thread ended early by pthread_exit, which unwinds,
    // frees it too.
    std::unique_ptr<StartRecord> record(static_cast<StartRecord*>(param));
    ThreadCallbacks::StartCallback start = nullptr;
    ThreadCallbacks::EndCallback end = nullptr;
    ThreadCallbacks::getInstance()->getThreadCallbacks(start, end);
    unsigned id = threadID();
    if (start)
        start(id, record->name);
    record->fn(record->arg);
    if (end)
        end(id);
    return nullptr;
}

struct SigUsr2State {
    int users = 0;
    struct sigaction previous {};
    struct sigaction action {};
    ZMutex mutex;

    SigUsr2State()
    {
        action.sa_handler = &dangerous::SigUsr2Guard::sIGUSR2Handler;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
    }
};

// Never destroyed: a terminating thread may outlive the statics at exit.
SigUsr2State& sigUsr2State()
{
    static SigUsr2State* const state = new SigUsr2State();
    return *state;
}

const bool sigUsr2StateReady = (sigUsr2State(), true);

} // namespace

const ThreadAttributes defaultThreadAttributes = {0, ""};

unsigned threadID()
{
    return static_cast<unsigned>(gettid());
}

int processID()
{
    return static_cast<int>(getpid());
}

pthread_t getThreadHandle(pthread_t& handle)
{
    handle = pthread_self();
    return handle;
}

void closeThreadHandle(pthread_t&) {}

int threadDetach(pthread_t& handle)
{
    return pthread_detach(handle);
}

int waitForThread(pthread_t thread)
{
    if (thread == 0)
        return 0;
    return pthread_join(thread, nullptr);
}

bool waitForThreadClose(pthread_t thread)
{
    if (thread == 0)
        return true;
    return pthread_join(thread, nullptr) == 0;
}

int setThreadPriority(ThreadPriority priority)
{
    sched_param param{};
    param.sched_priority = priority;
    return pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
}

bool createThread(void (*fn)(void*), void* arg, pthread_t* out, const ThreadAttributes& attrs)
{
    if (out)
        *out = 0;
    if (!fn)
        return false;

    pthread_attr_t attributes;
    pthread_attr_t* usedAttributes = nullptr;
    if (attrs.stackSize != 0 || !out) {
        if (pthread_attr_init(&attributes) != 0)
            return false;
        usedAttributes = &attributes;
    }
    // Detached from its first instruction: nobody can join it.
    if (!out && pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) != 0) {
        pthread_attr_destroy(&attributes);
        return false;
    }
    if (attrs.stackSize != 0) {
        size_t size = attrs.stackSize;
        if (size < smallestStackSize)
            size = smallestStackSize;
        if (size < static_cast<size_t>(PTHREAD_STACK_MIN))
            size = PTHREAD_STACK_MIN;
        if (pthread_attr_setstacksize(&attributes, size) != 0) {
            pthread_attr_destroy(&attributes);
            return false;
        }
    }

    StartRecord* record = new StartRecord{fn, arg, attrs.name};
    pthread_t thread;
    int rc = pthread_create(&thread, usedAttributes, &threadEntry, record);
    if (usedAttributes)
        pthread_attr_destroy(usedAttributes);
    if (rc != 0) {
        delete record;
        return false;
    }
    if (out)
        *out = thread;
    return true;
}

std::atomic<ThreadCallbacks*> ThreadCallbacks::instance{nullptr};
std::atomic<bool> ThreadCallbacks::instanceCreated{false};
std::atomic<int> ThreadCallbacks::creatorLottery{0};
std::atomic<unsigned> ThreadCallbacks::creations{0};

ThreadCallbacks* ThreadCallbacks::getInstance()
{
    for (;;) {
        if (instanceCreated.load(std::memory_order_acquire))
            return instance.load(std::memory_order_acquire);
        int ticket = creatorLottery.fetch_add(1);
        if (ticket == 0 && !instanceCreated.load(std::memory_order_acquire)) {
            ThreadCallbacks* created = nullptr;
            try {
                created = new ThreadCallbacks();
            } catch (...) {
                creatorLottery.fetch_sub(1);
                throw;
            }
            creations.fetch_add(1);
            instance.store(created, std::memory_order_release);
            instanceCreated.store(true, std::memory_order_release);
            std::atexit(&ThreadCallbacks::releaseInstance);
        } else {
            msleep(lotteryWaitMs);
        }
        creatorLottery.fetch_sub(1);
        if (instanceCreated.load(std::memory_order_acquire))
            return instance.load(std::memory_order_acquire);
    }
}

bool ThreadCallbacks::registerThreadCallbacks(StartCallback start, EndCallback end)
{
    if ((start == nullptr) != (end == nullptr))
        return false;
    mutex.writeLock();
    startCallback = start;
    endCallback = end;
    mutex.unlock();
    return true;
}

void ThreadCallbacks::getThreadCallbacks(StartCallback& start, EndCallback& end)
{
    mutex.readLock();
    start = startCallback;
    end = endCallback;
    mutex.unlock();
}

unsigned ThreadCallbacks::instancesCreated()
{
    return creations.load();
}

void ThreadCallbacks::releaseInstance()
{
    instanceCreated.store(false, std::memory_order_release);
    delete instance.exchange(nullptr, std::memory_order_acq_rel);
}

namespace dangerous {

bool SigUsr2Guard::setSIGUSR2Handler()
{
    (void)sigUsr2StateReady;
    SigUsr2State& s = sigUsr2State();
    ZMutexGuard guard(&s.mutex);
    if (s.users > 0) {
        ++s.users;
        return true;
    }
    if (sigaction(SIGUSR2, &s.action, &s.previous) != 0)
        return false;
    s.users = 1;
    return true;
}

bool SigUsr2Guard::restoreSIGUSR2Handler()
{
    SigUsr2State& s = sigUsr2State();
    ZMutexGuard guard(&s.mutex);
    if (s.users <= 0)
        return false;
    if (s.users > 1) {
        --s.users;
        return true;
    }
    if (sigaction(SIGUSR2, &s.previous, nullptr) != 0)
        return false;
    s.users = 0;
    return true;
}

void SigUsr2Guard::sIGUSR2Handler(int sig)
{
    if (sig == SIGUSR2)
        pthread_exit(nullptr);
}

bool terminateThreads(const std::vector<pthread_t>& threads, unsigned)
{
    if (!SigUsr2Guard::setSIGUSR2Handler())
        return false;
    bool allSignalled = true;
    for (pthread_t thread : threads) {
        if (pthread_kill(thread, SIGUSR2) == 0)
            pthread_join(thread, nullptr);
        else
            allSignalled = false;
    }
    SigUsr2Guard::restoreSIGUSR2Handler();
    return allSignalled;
}

} // namespace dangerous

} // namespace tiny
} // namespace zelvo
