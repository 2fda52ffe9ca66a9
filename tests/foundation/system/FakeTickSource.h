// A hand-driven millisecond clock behind getMs64() for the clock tests.
#pragma once

#include "foundation/system/Clock.h"

#include <atomic>
#include <cstdint>

namespace testclock {

inline std::atomic<uint32_t> fakeNow{0};

inline uint32_t fakeTicks()
{
    return fakeNow.load();
}

// Installs the fake source for its lifetime, starting at startMs.
class FakeTickSource {
public:
    explicit FakeTickSource(uint32_t startMs)
    {
        fakeNow = startMs;
        previous = zelvo::tiny::setTickSource(&fakeTicks);
    }
    ~FakeTickSource() { zelvo::tiny::setTickSource(previous); }
    FakeTickSource(const FakeTickSource&) = delete;
    FakeTickSource& operator=(const FakeTickSource&) = delete;

    void set(uint32_t ms) { fakeNow = ms; }
    // Wraps modulo 2^32 like the real 32-bit count.
    void advance(uint32_t ms) { fakeNow += ms; }

private:
    zelvo::tiny::TickSource previous;
};

} // namespace testclock
