#ifndef ZELVO_FOUNDATION_STREAMS_ZFLOCK_H
#define ZELVO_FOUNDATION_STREAMS_ZFLOCK_H

namespace zelvo {
namespace utils {

// Advisory flock() lock with counted nested holds. Only the thread that
// constructed the lock may take it; unlock, detach and the destructor may
// run anywhere.
//
// The counter is > 0 for that many nested shared holds, < 0 for that many
// nested exclusive holds, 0 when not held. A shared hold is never upgraded;
// a shared request inside an exclusive hold counts as one more exclusive level.
class ZFLock {
public:
    static constexpr unsigned PathSize = 512;

    ZFLock();
    ~ZFLock();

    // Attaches a descriptor the lock does not own.
    bool init(int fd);
    // Opens path read-write (created 0600 when create is set); the lock owns
    // the descriptor. False for a null path, an already valid lock or a
    // failed open.
    bool init(const char* path, bool create);

    bool lock() { return writeLockInternal(false); }
    bool writeLock() { return writeLockInternal(false); }
    bool tryLock() { return writeLockInternal(true); }
    bool tryWriteLock() { return writeLockInternal(true); }
    bool readLock() { return readLockInternal(false); }
    bool tryReadLock() { return readLockInternal(true); }
    // One step toward 0; flock(LOCK_UN) once the counter is 0.
    void unlock();
    // One unlock step, then lets go of the descriptor without closing it.
    void detach();

    bool testThreadID() const;
    // One raw flock() without the counter or the thread test.
    bool lockInternal(bool exclusive, bool nonBlocking);
    bool writeLockInternal(bool nonBlocking);
    bool readLockInternal(bool nonBlocking);
    // Moves the counter one step toward 0 and returns it.
    int decrementLockCounter();

    bool isValid() const { return valid; }
    int getCounter() const { return counter; }
    int getFd() const { return fd; }
    const char* getPath() const { return path; }

private:
    ZFLock(const ZFLock&) = delete;
    ZFLock& operator=(const ZFLock&) = delete;

    char path[PathSize];
    bool valid;
    int counter;
    bool ownsFd;
    int fd;
    unsigned ownerThread;
};

}  // namespace utils
}  // namespace zelvo

#endif
