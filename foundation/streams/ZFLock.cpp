#include "foundation/streams/ZFLock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "foundation/system/Thread.h"

namespace zelvo {
namespace utils {

ZFLock::ZFLock() : valid(false), counter(0), ownsFd(false), fd(0), ownerThread(zelvo::tiny::threadID()) {
    std::memset(path, 0, sizeof path);
}

ZFLock::~ZFLock() {
    if (!valid)
        return;
    if (counter != 0)
        unlock();
    if (ownsFd)
        ::close(fd);
}

bool ZFLock::init(int descriptor) {
    valid = true;
    fd = descriptor;
    counter = 0;
    return true;
}

bool ZFLock::init(const char* p, bool create) {
    if (p == nullptr)
        return false;
    std::strncpy(path, p, sizeof path - 1);
    path[sizeof path - 1] = '\0';
    if (valid)
        return false;
    int flags = O_RDWR | O_CLOEXEC;
    if (create)
        flags |= O_CREAT;
    int d;
    do {
        d = ::open(path, flags, 0600);
    } while (d < 0 && errno == EINTR);
    if (d >= 0) {
        valid = true;
        fd = d;
        ownsFd = true;
    }
    counter = 0;
    return valid;
}

bool ZFLock::testThreadID() const { return ownerThread == zelvo::tiny::threadID(); }

bool ZFLock::lockInternal(bool exclusive, bool nonBlocking) {
    if (!valid)
        return false;
    const int op = (exclusive ? LOCK_EX : LOCK_SH) | (nonBlocking ? LOCK_NB : 0);
    int rc;
    do {
        rc = ::flock(fd, op);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool ZFLock::writeLockInternal(bool nonBlocking) {
    if (!testThreadID())
        return false;
    if (counter > 0)
        return false;
    if (counter == 0 && !lockInternal(true, nonBlocking))
        return false;
    --counter;
    return true;
}

bool ZFLock::readLockInternal(bool nonBlocking) {
    if (!testThreadID())
        return false;
    if (counter == 0 && !lockInternal(false, nonBlocking))
        return false;
    if (counter >= 0)
        ++counter;
    else
        --counter;
    return true;
}

int ZFLock::decrementLockCounter() {
    if (counter > 0)
        --counter;
    else if (counter < 0)
        ++counter;
    return counter;
}

void ZFLock::unlock() {
    if (!valid)
        return;
    if (decrementLockCounter() == 0)
        ::flock(fd, LOCK_UN);
}

void ZFLock::detach() {
    unlock();
    valid = false;
    fd = 0;
    ownsFd = false;
}

}  // namespace utils
}  // namespace zelvo
