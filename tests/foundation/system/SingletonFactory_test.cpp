#include "foundation/system/Exception.h"
#include "foundation/system/SingletonFactory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using zelvo::utils::DestroyAtExit;
using zelvo::utils::NoDestroy;
using zelvo::utils::SingletonFactory;

namespace {

struct SlowToBuild {
    static inline std::atomic<int> constructed{0};
    SlowToBuild()
    {
        ++constructed;
        // Widen the window in which other threads find no instance yet.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
};

TEST(SingletonFactory, ManyThreadsAtOnceShareOneInstance)
{
    using Factory = SingletonFactory<SlowToBuild, NoDestroy>;
    constexpr int threadCount = 16;
    std::atomic<bool> go{false};
    std::vector<SlowToBuild*> seen(threadCount, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < threadCount; ++i)
        threads.emplace_back([&, i] {
            while (!go.load())
                std::this_thread::yield();
            seen[i] = Factory::getInstance();
        });
    go = true;
    for (auto& t : threads)
        t.join();

    EXPECT_EQ(SlowToBuild::constructed.load(), 1);
    ASSERT_NE(seen[0], nullptr);
    for (int i = 0; i < threadCount; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[i], seen[0]);
    }
    EXPECT_EQ(Factory::getInstance(), seen[0]);
    EXPECT_EQ(SlowToBuild::constructed.load(), 1);
}

struct FailsFirstTime {
    static inline int attempts = 0;
    FailsFirstTime()
    {
        if (++attempts == 1)
            throw std::runtime_error("not yet");
    }
};

TEST(SingletonFactory, ThrowingConstructorLeavesNoInstanceAndLaterCallRetries)
{
    using Factory = SingletonFactory<FailsFirstTime, NoDestroy>;
    EXPECT_THROW(Factory::getInstance(), std::runtime_error);
    EXPECT_EQ(FailsFirstTime::attempts, 1);

    FailsFirstTime* instance = Factory::getInstance();
    EXPECT_NE(instance, nullptr);
    EXPECT_EQ(FailsFirstTime::attempts, 2);
    EXPECT_EQ(Factory::getInstance(), instance);
    EXPECT_EQ(FailsFirstTime::attempts, 2);
}

// Each destructor writes one byte to this descriptor; the parent counts them.
int destructionPipe = -1;

template <int Tag>
struct Reported {
    ~Reported()
    {
        char c = 'D';
        ssize_t n = write(destructionPipe, &c, 1);
        (void)n;
    }
};

// Runs body in a child that then leaves through exit(), and returns how many
// destructors reported during the child's life.
template <class Body>
int destructionsInChildUntilExit(Body body)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        destructionPipe = fds[1];
        body();
        std::exit(0);
    }
    close(fds[1]);
    int count = 0;
    char buf[16];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        count += static_cast<int>(n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return count;
}

TEST(SingletonFactory, DestroyPolicies)
{
    int atExit = destructionsInChildUntilExit([] {
        using Factory = SingletonFactory<Reported<1>, DestroyAtExit>;
        auto* first = Factory::getInstance();
        auto* second = Factory::getInstance();
        if (first != second)
            std::_Exit(3);
    });
    EXPECT_EQ(atExit, 1);

    int never = destructionsInChildUntilExit([] {
        using Factory = SingletonFactory<Reported<2>, NoDestroy>;
        Factory::getInstance();
        Factory::getInstance();
    });
    EXPECT_EQ(never, 0);

    int notCreated = destructionsInChildUntilExit([] {});
    EXPECT_EQ(notCreated, 0);
}

TEST(SingletonFactory, DestroyedInstanceIsRecreatedOnNextUse)
{
    using Factory = SingletonFactory<Reported<3>, DestroyAtExit>;
    int count = destructionsInChildUntilExit([] {
        Factory::getInstance();
        Factory::internalDestroyInstance();
        Factory::internalDestroyInstance();
        if (!Factory::getInstance())
            std::_Exit(3);
    });
    // One by hand, the second call finds nothing, and the recreated one
    // goes at exit through the handler scheduled at first creation.
    EXPECT_EQ(count, 2);
}

TEST(LibraryException, CaughtAsStandardExceptionsKeepsItsMessage)
{
    try {
        throw zelvo::utils::Exception("Wrong hex character.");
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Wrong hex character.");
    }
    try {
        throw zelvo::utils::Exception(std::string("Too many open sockets/file descriptors."));
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Too many open sockets/file descriptors.");
    }
}

} // namespace
