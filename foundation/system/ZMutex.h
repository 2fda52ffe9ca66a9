#ifndef ZELVO_FOUNDATION_SYSTEM_ZMUTEX_H
#define ZELVO_FOUNDATION_SYSTEM_ZMUTEX_H

#include <pthread.h>

namespace zelvo {
namespace tiny {

// The process-wide attribute every ZMutex is built from (recursive type).
// Built once, on first use; never destroyed.
pthread_mutexattr_t* defaultMutexAttr();

// Recursive, exclusive mutex. The reader/writer and "uncounted" operations
// are aliases of lock/tryLock/unlock: there is no shared mode. The owning
// thread may lock again (including from a signal handler that interrupted
// it); the mutex is released after as many unlocks as locks.
class ZMutex {
public:
    // Throws std::runtime_error when the native mutex cannot be created.
    ZMutex();
    // A copy is a new, unlocked mutex of its own.
    ZMutex(const ZMutex&);
    virtual ~ZMutex();

    // Assignment leaves both objects' native mutexes and lock states alone.
    ZMutex& operator=(const ZMutex&) { return *this; }

    // pthread results: 0 on success.
    virtual int lock();
    // True only when the calling thread now holds one more level of the lock.
    virtual bool tryLock();
    virtual int unlock();

    // Aliases; they dispatch through the virtual operations above.
    virtual int readLock();
    virtual int writeLock();
    virtual bool tryReadLock();
    virtual bool tryWriteLock();
    virtual int uncountedLock();
    virtual int uncountedUnlock();

private:
    void init();

    pthread_mutex_t mutex;
};

// Scope guards over a borrowed, non-null mutex; results of the lock calls
// are ignored.
class ZMutexGuard {
public:
    explicit ZMutexGuard(ZMutex* m) : mutex(m) { mutex->writeLock(); }
    ~ZMutexGuard() { mutex->unlock(); }
    ZMutexGuard(const ZMutexGuard&) = delete;
    ZMutexGuard& operator=(const ZMutexGuard&) = delete;

private:
    ZMutex* mutex;
};

class ZMutexReadGuard {
public:
    explicit ZMutexReadGuard(ZMutex* m) : mutex(m) { mutex->readLock(); }
    ~ZMutexReadGuard() { mutex->unlock(); }
    ZMutexReadGuard(const ZMutexReadGuard&) = delete;
    ZMutexReadGuard& operator=(const ZMutexReadGuard&) = delete;

private:
    ZMutex* mutex;
};

class ZMutexWriteGuard {
public:
    explicit ZMutexWriteGuard(ZMutex* m) : mutex(m) { mutex->writeLock(); }
    ~ZMutexWriteGuard() { mutex->unlock(); }
    ZMutexWriteGuard(const ZMutexWriteGuard&) = delete;
    ZMutexWriteGuard& operator=(const ZMutexWriteGuard&) = delete;

private:
    ZMutex* mutex;
};

} // namespace tiny
} // namespace zelvo

#endif
