#include "foundation/system/ZMutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <functional>
#include <future>
#include <string>
#include <thread>

using zelvo::tiny::ZMutex;
using zelvo::tiny::ZMutexGuard;
using zelvo::tiny::ZMutexReadGuard;
using zelvo::tiny::ZMutexWriteGuard;

namespace {

// Whether the calling thread gets the mutex right now through attempt
// (released again at once).
bool thisThreadGets(ZMutex& m, bool (ZMutex::*attempt)())
{
    const bool taken = (m.*attempt)();
    if (taken)
        m.unlock();
    return taken;
}

// Whether another thread gets the mutex right now through attempt (released
// again at once).
bool otherThreadGets(ZMutex& m, bool (ZMutex::*attempt)())
{
    bool taken = false;
    std::thread t([&] { taken = thisThreadGets(m, attempt); });
    t.join();
    return taken;
}

bool freeForOtherThread(ZMutex& m)
{
    return otherThreadGets(m, &ZMutex::tryLock);
}

ZMutex* handlerMutex = nullptr;
volatile std::sig_atomic_t handlerEntered = 0;

void lockingHandler(int)
{
    ZMutexGuard g(handlerMutex);
    handlerEntered = 1;
}

} // namespace

TEST(ZMutexTest, NestedGuardsOnOneThreadReleaseOnlyAfterTheLast)
{
    ZMutex m;
    {
        ZMutexGuard outer(&m);
        {
            ZMutexGuard inner(&m);
            EXPECT_FALSE(freeForOtherThread(m));
        }
        EXPECT_FALSE(freeForOtherThread(m));
    }
    EXPECT_TRUE(freeForOtherThread(m));
}

TEST(ZMutexTest, SignalHandlerOnTheHoldingThreadEntersAGuard)
{
    ZMutex m;
    handlerMutex = &m;
    handlerEntered = 0;
    struct sigaction sa = {}, old = {};
    sa.sa_handler = lockingHandler;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(0, sigaction(SIGUSR1, &sa, &old));
    {
        ZMutexGuard g(&m);
        raise(SIGUSR1);
        EXPECT_EQ(1, handlerEntered);
        EXPECT_FALSE(freeForOtherThread(m));
    }
    EXPECT_TRUE(freeForOtherThread(m));
    sigaction(SIGUSR1, &old, nullptr);
    handlerMutex = nullptr;
}

TEST(ZMutexTest, TryLockOnlyReportsTakenLocks)
{
    ZMutex m;
    ASSERT_EQ(0, m.lock());
    bool otherGot = true;
    std::thread t([&] { otherGot = m.tryLock(); });
    t.join();
    EXPECT_FALSE(otherGot);

    // The owner's tryLock adds a level that needs its own unlock.
    EXPECT_TRUE(m.tryLock());
    EXPECT_EQ(0, m.unlock());
    EXPECT_FALSE(freeForOtherThread(m));
    EXPECT_EQ(0, m.unlock());
    EXPECT_TRUE(freeForOtherThread(m));
}

TEST(ZMutexTest, UnlockOfAMutexNotHeldFails)
{
    ZMutex m;
    EXPECT_NE(0, m.unlock());
    EXPECT_TRUE(freeForOtherThread(m));
}

TEST(ZMutexTest, AliasesBehaveLikeLockTryLockAndUnlock)
{
    struct Alias {
        const char* name;
        std::function<int(ZMutex&)> acquire;
        std::function<int(ZMutex&)> release;
    };
    const Alias aliases[] = {
        {"readLock", [](ZMutex& m) { return m.readLock(); }, [](ZMutex& m) { return m.unlock(); }},
        {"writeLock", [](ZMutex& m) { return m.writeLock(); }, [](ZMutex& m) { return m.unlock(); }},
        {"uncountedLock", [](ZMutex& m) { return m.uncountedLock(); },
         [](ZMutex& m) { return m.uncountedUnlock(); }},
        {"tryReadLock", [](ZMutex& m) { return m.tryReadLock() ? 0 : 1; },
         [](ZMutex& m) { return m.uncountedUnlock(); }},
        {"tryWriteLock", [](ZMutex& m) { return m.tryWriteLock() ? 0 : 1; },
         [](ZMutex& m) { return m.unlock(); }},
    };
    for (const Alias& a : aliases) {
        SCOPED_TRACE(a.name);
        ZMutex m;
        ASSERT_EQ(0, a.acquire(m));
        ASSERT_EQ(0, a.acquire(m)); // re-entrant
        EXPECT_FALSE(freeForOtherThread(m));
        EXPECT_EQ(0, a.release(m));
        EXPECT_FALSE(freeForOtherThread(m));
        EXPECT_EQ(0, a.release(m));
        EXPECT_TRUE(freeForOtherThread(m));
    }
}

TEST(ZMutexTest, TryAliasesFailWhileAnotherThreadHoldsTheMutex)
{
    ZMutex m;
    ZMutexGuard g(&m);
    bool gotRead = true, gotWrite = true;
    std::thread t([&] {
        gotRead = m.tryReadLock();
        gotWrite = m.tryWriteLock();
    });
    t.join();
    EXPECT_FALSE(gotRead);
    EXPECT_FALSE(gotWrite);
}

TEST(ZMutexTest, AliasesAndGuardsDispatchThroughTheVirtualOperations)
{
    struct Counting : ZMutex {
        int locks = 0, tries = 0, unlocks = 0;
        int lock() override { ++locks; return ZMutex::lock(); }
        bool tryLock() override { ++tries; return ZMutex::tryLock(); }
        int unlock() override { ++unlocks; return ZMutex::unlock(); }
    } m;
    m.readLock();
    m.writeLock();
    m.uncountedLock();
    EXPECT_TRUE(m.tryReadLock());
    EXPECT_TRUE(m.tryWriteLock());
    m.uncountedUnlock();
    for (int i = 0; i < 4; ++i)
        m.unlock();
    { ZMutexGuard g(&m); }
    { ZMutexReadGuard g(&m); }
    { ZMutexWriteGuard g(&m); }
    EXPECT_EQ(6, m.locks);
    EXPECT_EQ(2, m.tries);
    EXPECT_EQ(8, m.unlocks);
    EXPECT_TRUE(freeForOtherThread(m));
}

TEST(ZMutexTest, ReadGuardExcludesReadAndWriteGuardsOfOtherThreads)
{
    ZMutex m;
    {
        ZMutexReadGuard g(&m);
        EXPECT_FALSE(otherThreadGets(m, &ZMutex::tryReadLock));
        EXPECT_FALSE(otherThreadGets(m, &ZMutex::tryWriteLock));
    }
    EXPECT_TRUE(otherThreadGets(m, &ZMutex::tryReadLock));

    // A read guard held by another thread keeps this one out in turn, and
    // readers and writers blocked behind the guards all get in once it ends.
    std::promise<void> held, release;
    int passed = 0; // written only under m
    std::thread holder([&] {
        ZMutexReadGuard r(&m);
        held.set_value();
        release.get_future().wait();
        passed += 100;
    });
    held.get_future().wait();
    EXPECT_FALSE(thisThreadGets(m, &ZMutex::tryReadLock));
    EXPECT_FALSE(thisThreadGets(m, &ZMutex::tryWriteLock));
    std::thread reader([&] { ZMutexReadGuard r(&m); passed += 1; });
    std::thread writer([&] { ZMutexWriteGuard w(&m); passed += 10; });
    release.set_value();
    holder.join();
    reader.join();
    writer.join();
    EXPECT_EQ(111, passed);
}

TEST(ZMutexTest, CopiesGetTheirOwnMutexAndAssignmentKeepsLockState)
{
    ZMutex original;
    ZMutexGuard g(&original);
    ZMutex copy(original);
    EXPECT_TRUE(freeForOtherThread(copy));
    EXPECT_FALSE(freeForOtherThread(original));

    ZMutex other;
    other = original;
    EXPECT_TRUE(freeForOtherThread(other));
    original = other;
    EXPECT_FALSE(freeForOtherThread(original));
}

TEST(ZMutexTest, AttributeIsBuiltOnceAndRecursive)
{
    pthread_mutexattr_t* first = zelvo::tiny::defaultMutexAttr();
    for (int i = 0; i < 1000; ++i) {
        ZMutex m;
        ASSERT_EQ(first, zelvo::tiny::defaultMutexAttr());
    }
    int type = -1;
    ASSERT_EQ(0, pthread_mutexattr_gettype(first, &type));
    EXPECT_EQ(PTHREAD_MUTEX_RECURSIVE, type);
}
