#include "foundation/system/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <sys/types.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tiny = zelvo::tiny;

namespace {

// What the callbacks and thread bodies saw; reset by each test.
std::mutex seenMutex;
std::vector<std::string> events;

void record(const std::string& e)
{
    std::lock_guard<std::mutex> lock(seenMutex);
    events.push_back(e);
}

void onStart(unsigned id, const std::string& name)
{
    record("start " + std::to_string(id) + " " + name);
}

void onEnd(unsigned id)
{
    record("end " + std::to_string(id));
}

void otherStart(unsigned, const std::string&) {}
void otherEnd(unsigned) {}

void recordOwnId(void* arg)
{
    static_cast<std::atomic<unsigned>*>(arg)->store(tiny::threadID());
    record("body");
}

// For threads nobody joins: storing the id is the last thing the body does,
// so once the test has seen it, the thread touches nothing of the test's.
void storeOwnId(void* arg)
{
    static_cast<std::atomic<unsigned>*>(arg)->store(tiny::threadID());
}

// Registers the recording callbacks for one test and clears them after.
class ThreadCallbacksInstalled : public ::testing::Test {
protected:
    void SetUp() override
    {
        {
            std::lock_guard<std::mutex> lock(seenMutex);
            events.clear();
        }
        ASSERT_TRUE(tiny::ThreadCallbacks::getInstance()->registerThreadCallbacks(&onStart, &onEnd));
    }
    void TearDown() override { tiny::ThreadCallbacks::getInstance()->registerThreadCallbacks(nullptr, nullptr); }
};

TEST_F(ThreadCallbacksInstalled, JoinedThreadRunsBetweenStartAndEndCallbacks)
{
    std::atomic<unsigned> id{0};
    pthread_t thread = 0;
    tiny::ThreadAttributes attrs{0, "worker"};
    ASSERT_TRUE(tiny::createThread(&recordOwnId, &id, &thread, attrs));
    ASSERT_NE(thread, pthread_t(0));
    EXPECT_EQ(tiny::waitForThread(thread), 0);

    std::string tid = std::to_string(id.load());
    std::vector<std::string> expected = {"start " + tid + " worker", "body", "end " + tid};
    std::lock_guard<std::mutex> lock(seenMutex);
    EXPECT_EQ(events, expected);
    EXPECT_NE(id.load(), tiny::threadID());
}

TEST_F(ThreadCallbacksInstalled, RegisteringOnlyOneCallbackKeepsThePair)
{
    tiny::ThreadCallbacks* callbacks = tiny::ThreadCallbacks::getInstance();
    EXPECT_FALSE(callbacks->registerThreadCallbacks(&otherStart, nullptr));
    EXPECT_FALSE(callbacks->registerThreadCallbacks(nullptr, &otherEnd));
    tiny::ThreadCallbacks::StartCallback start = nullptr;
    tiny::ThreadCallbacks::EndCallback end = nullptr;
    callbacks->getThreadCallbacks(start, end);
    EXPECT_EQ(start, &onStart);
    EXPECT_EQ(end, &onEnd);

    EXPECT_TRUE(callbacks->registerThreadCallbacks(&otherStart, &otherEnd));
    callbacks->getThreadCallbacks(start, end);
    EXPECT_EQ(start, &otherStart);
    EXPECT_EQ(end, &otherEnd);
}

struct DetachedProbe {
    std::atomic<int> detachState{-1};
    std::atomic<bool> done{false};
};

void probeDetachState(void* arg)
{
    auto* probe = static_cast<DetachedProbe*>(arg);
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        int state = -1;
        pthread_attr_getdetachstate(&attr, &state);
        probe->detachState = state;
        pthread_attr_destroy(&attr);
    }
    probe->done = true;
}

TEST(Thread, WithoutOutPointerTheThreadIsDetached)
{
    DetachedProbe probe;
    ASSERT_TRUE(tiny::createThread(&probeDetachState, &probe, nullptr));
    while (!probe.done)
        std::this_thread::yield();
    EXPECT_EQ(probe.detachState.load(), PTHREAD_CREATE_DETACHED);
}

void probeStackSize(void* arg)
{
    pthread_attr_t attr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &size);
        pthread_attr_destroy(&attr);
    }
    *static_cast<size_t*>(arg) = size;
}

TEST(Thread, StackSizeRequests)
{
    struct Case {
        unsigned requested;
        size_t atLeast;
    } cases[] = {
        {1000, 16384},  // raised to the platform minimum, not refused
        {1 << 20, 1 << 20},
        {0, 16384},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        size_t seen = 0;
        pthread_t thread = 0;
        tiny::ThreadAttributes attrs{cases[i].requested, ""};
        ASSERT_TRUE(tiny::createThread(&probeStackSize, &seen, &thread, attrs));
        EXPECT_TRUE(tiny::waitForThreadClose(thread));
        EXPECT_GE(seen, cases[i].atLeast);
    }
    EXPECT_FALSE(tiny::createThread(nullptr, nullptr, nullptr));
}

TEST(Thread, NullThreadsNeedNoJoin)
{
    EXPECT_EQ(tiny::waitForThread(0), 0);
    EXPECT_TRUE(tiny::waitForThreadClose(0));
}

TEST(Thread, IdentitiesAreDistinctAndStable)
{
    EXPECT_EQ(tiny::processID(), static_cast<int>(getpid()));
    EXPECT_EQ(tiny::threadID(), tiny::threadID());
    constexpr int count = 8;
    std::vector<unsigned> ids(count);
    std::atomic<int> arrived{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i)
        threads.emplace_back([&, i] {
            ids[i] = tiny::threadID();
            // Keep every thread alive until all have their id.
            ++arrived;
            while (arrived.load() < count)
                std::this_thread::yield();
            EXPECT_EQ(ids[i], tiny::threadID());
        });
    for (auto& t : threads)
        t.join();
    std::set<unsigned> distinct(ids.begin(), ids.end());
    distinct.insert(tiny::threadID());
    EXPECT_EQ(distinct.size(), size_t(count + 1));

    pthread_t handle = 0;
    EXPECT_TRUE(pthread_equal(tiny::getThreadHandle(handle), pthread_self()));
    EXPECT_TRUE(pthread_equal(handle, pthread_self()));
    tiny::closeThreadHandle(handle);
}

TEST(Thread, PriorityUnderDefaultPolicy)
{
    EXPECT_EQ(tiny::setThreadPriority(0), 0);
    EXPECT_EQ(tiny::setThreadPriority(10), EINVAL);
}

TEST(Thread, DetachJoinableThread)
{
    // Outlives the test, since nothing joins the thread.
    static std::atomic<unsigned> id{0};
    pthread_t thread = 0;
    ASSERT_TRUE(tiny::createThread(&storeOwnId, &id, &thread));
    EXPECT_EQ(tiny::threadDetach(thread), 0);
    while (id.load() == 0)
        std::this_thread::yield();
}

// Rounds of twelve threads asking for the callbacks instance at once, each
// round starting from no instance. 0 when every round created exactly one
// instance and handed it to every thread.
int raceForTheFirstInstance()
{
    constexpr int rounds = 5;
    constexpr int count = 12;
    for (int round = 0; round < rounds; ++round) {
        tiny::ThreadCallbacks::releaseInstance();
        const unsigned before = tiny::ThreadCallbacks::instancesCreated();
        std::vector<tiny::ThreadCallbacks*> seen(count, nullptr);
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int i = 0; i < count; ++i)
            threads.emplace_back([&, i] {
                while (!go)
                    std::this_thread::yield();
                seen[i] = tiny::ThreadCallbacks::getInstance();
            });
        go = true;
        for (auto& t : threads)
            t.join();
        const unsigned created = tiny::ThreadCallbacks::instancesCreated() - before;
        if (created != 1) {
            std::fprintf(stderr, "round %d created %u instances\n", round, created);
            return 1;
        }
        for (int i = 0; i < count; ++i)
            if (seen[i] == nullptr || seen[i] != seen[0]) {
                std::fprintf(stderr, "round %d: thread %d got another instance\n", round, i);
                return 1;
            }
        if (tiny::ThreadCallbacks::getInstance() != seen[0]) {
            std::fprintf(stderr, "round %d: the instance changed afterwards\n", round);
            return 1;
        }
    }
    return 0;
}

TEST(ThreadCallbacks, ConcurrentFirstUseCreatesExactlyOneInstance)
{
    // In a child process no other thread can be using the instance, so it
    // can be released and the race really is over its first use.
    EXPECT_EXIT(std::exit(raceForTheFirstInstance()), ::testing::ExitedWithCode(0), "");
}

void currentSigusr2(struct sigaction* out)
{
    ASSERT_EQ(sigaction(SIGUSR2, nullptr, out), 0);
}

void ignoreSignal(int) {}

TEST(SigUsr2Guard, NestedUsersInstallOnceAndLastOneRestores)
{
    using tiny::dangerous::SigUsr2Guard;
    struct sigaction own {};
    own.sa_handler = &ignoreSignal;
    sigemptyset(&own.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR2, &own, nullptr), 0);

    struct sigaction now {};
    EXPECT_FALSE(SigUsr2Guard::restoreSIGUSR2Handler()) << "nothing installed yet";
    currentSigusr2(&now);
    EXPECT_EQ(now.sa_handler, &ignoreSignal);

    EXPECT_TRUE(SigUsr2Guard::setSIGUSR2Handler());
    EXPECT_TRUE(SigUsr2Guard::setSIGUSR2Handler());
    currentSigusr2(&now);
    EXPECT_EQ(now.sa_handler, &SigUsr2Guard::sIGUSR2Handler);
    EXPECT_TRUE(SigUsr2Guard::restoreSIGUSR2Handler());
    currentSigusr2(&now);
    EXPECT_EQ(now.sa_handler, &SigUsr2Guard::sIGUSR2Handler);
    EXPECT_TRUE(SigUsr2Guard::restoreSIGUSR2Handler());
    currentSigusr2(&now);
    EXPECT_EQ(now.sa_handler, &ignoreSignal);
    EXPECT_FALSE(SigUsr2Guard::restoreSIGUSR2Handler());
    currentSigusr2(&now);
    EXPECT_EQ(now.sa_handler, &ignoreSignal);

    signal(SIGUSR2, SIG_DFL);
}

struct Spinner {
    std::atomic<bool> running{false};
    std::atomic<bool> finished{false};
};

void spinForever(void* arg)
{
    auto* s = static_cast<Spinner*>(arg);
    s->running = true;
    for (;;)
        pause();
    s->finished = true;
}

TEST_F(ThreadCallbacksInstalled, TerminateThreadsEndsThemWithoutEndCallback)
{
    Spinner spinners[2];
    std::vector<pthread_t> threads;
    for (Spinner& s : spinners) {
        pthread_t t = 0;
        ASSERT_TRUE(tiny::createThread(&spinForever, &s, &t));
        threads.push_back(t);
    }
    for (Spinner& s : spinners)
        while (!s.running)
            std::this_thread::yield();

    struct sigaction before {};
    currentSigusr2(&before);
    EXPECT_TRUE(tiny::dangerous::terminateThreads(threads, 0));
    struct sigaction after {};
    currentSigusr2(&after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
    for (Spinner& s : spinners)
        EXPECT_FALSE(s.finished);
    std::lock_guard<std::mutex> lock(seenMutex);
    int ends = 0;
    for (const std::string& e : events)
        ends += e.rfind("end ", 0) == 0;
    EXPECT_EQ(ends, 0);
    EXPECT_EQ(events.size(), 2u) << "two start callbacks only";
}

TEST(SigUsr2Guard, TerminatingNoThreadsInstallsAndRestores)
{
    struct sigaction before {};
    currentSigusr2(&before);
    EXPECT_TRUE(tiny::dangerous::terminateThreads({}, 0));
    struct sigaction after {};
    currentSigusr2(&after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
    EXPECT_FALSE(tiny::dangerous::SigUsr2Guard::restoreSIGUSR2Handler());
}

} // namespace
