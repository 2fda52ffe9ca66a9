#ifndef ZELVO_FOUNDATION_SYSTEM_SINGLETONFACTORY_H
#define ZELVO_FOUNDATION_SYSTEM_SINGLETONFACTORY_H

#include <atomic>
#include <cstdlib>

#include "foundation/system/ZMutex.h"

namespace zelvo {
namespace utils {

// Destruction policies: a class with one static scheduleDestruction().

// Destroys the instance from an atexit handler.
struct DestroyAtExit {
    static void scheduleDestruction(void (*destroy)()) { std::atexit(destroy); }
};

// Leaves the instance alive until the process ends.
struct NoDestroy {
    static void scheduleDestruction(void (*)()) {}
};

// One lazily created, process-wide instance of T. T's constructor runs under
// the factory's lock, so it must not ask for its own instance. A constructor
// that throws leaves no instance; the next getInstance() tries again.
template <class T, class DestructionPolicy = DestroyAtExit>
class SingletonFactory {
public:
    static T* getInstance()
    {
        T* current = instance.load(std::memory_order_acquire);
        if (current)
            return current;
        tiny::ZMutexGuard guard(&lock());
        current = instance.load(std::memory_order_relaxed);
        if (!current) {
            current = new T();
            instance.store(current, std::memory_order_release);
            if (!scheduled) {
                scheduled = true;
                DestructionPolicy::scheduleDestruction(&SingletonFactory::internalDestroyInstance);
            }
        }
        return current;
    }

    // Handed to the policy; not for callers.
    static void internalDestroyInstance()
    {
        tiny::ZMutexGuard guard(&lock());
        T* current = instance.exchange(nullptr, std::memory_order_acq_rel);
        delete current;
    }

    SingletonFactory() = delete;

private:
    // Never destroyed, so the exit-time destruction of the instance (and any
    // late getInstance() from other exit handlers) always finds it.
    static tiny::ZMutex& lock()
    {
        static tiny::ZMutex* const mutex = new tiny::ZMutex();
        return *mutex;
    }

    static inline std::atomic<T*> instance{nullptr};
    static inline bool scheduled = false;
};

} // namespace utils
} // namespace zelvo

#endif
