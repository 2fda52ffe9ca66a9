#include "foundation/system/ZMutex.h"

#include <cerrno>
#include <stdexcept>

namespace zelvo {
namespace tiny {

namespace {

struct RecursiveAttr {
    pthread_mutexattr_t attr;
    RecursiveAttr()
    {
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    }
};

} // namespace

pthread_mutexattr_t* defaultMutexAttr()
{
    // Intentionally leaked: static mutexes may be built and destroyed in any
    // order around it.
    static RecursiveAttr* const attr = new RecursiveAttr;
    return &attr->attr;
}

ZMutex::ZMutex()
{
    init();
}

ZMutex::ZMutex(const ZMutex&)
{
    init();
}

void ZMutex::init()
{
    const int rc = pthread_mutex_init(&mutex, defaultMutexAttr());
    switch (rc) {
    case 0:
        return;
    case EINVAL:
        throw std::runtime_error("Wrong attributes for mutex.");
    case EAGAIN:
        throw std::runtime_error("System resources (other than memory) are unavailable.");
    case ENOMEM:
        throw std::runtime_error("Insufficient memory exists to initialize the mutex.");
    default:
        // A mutex that failed to initialise must never be locked.
        throw std::runtime_error("The mutex could not be initialized.");
    }
}

ZMutex::~ZMutex()
{
    pthread_mutex_destroy(&mutex);
}

int ZMutex::lock()
{
    return pthread_mutex_lock(&mutex);
}

bool ZMutex::tryLock()
{
    return pthread_mutex_trylock(&mutex) == 0;
}

int ZMutex::unlock()
{
    return pthread_mutex_unlock(&mutex);
}

int ZMutex::readLock()
{
    return lock();
}

int ZMutex::writeLock()
{
    return lock();
}

bool ZMutex::tryReadLock()
{
    return tryLock();
}

bool ZMutex::tryWriteLock()
{
    return tryLock();
}

int ZMutex::uncountedLock()
{
    return lock();
}

int ZMutex::uncountedUnlock()
{
    return unlock();
}

} // namespace tiny
} // namespace zelvo
