// Copies one mailbox with the project's mailbox copier and prints what it
// took, for bench/run_copy_bench.py:
//
//   bench_copy SOURCE_HOST SOURCE_PORT SOURCE_LOGIN SOURCE_PASSWORD
//              TARGET_HOST TARGET_PORT TARGET_LOGIN TARGET_PASSWORD
//
// prints "copied=N failed=N folders=N seconds=S cpu_s=S maxrss_kb=N". The
// source logs in with CRAM-MD5, the target with LOGIN, as in a migration.

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "migration/ImapCopyist.h"
#include "migration/LogStream.h"

// Peak resident memory of this program in KB. ru_maxrss would also count
// the parent that forked it before exec (a Python runner, say); VmHWM
// belongs to this address space alone.
static long peakResidentKb()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, 6, "VmHWM:") == 0)
            return std::atol(line.c_str() + 6);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int main(int argc, char** argv)
{
    if (argc != 9) {
        std::fprintf(stderr, "usage: %s SRC_HOST SRC_PORT SRC_LOGIN SRC_PASS DST_HOST DST_PORT DST_LOGIN DST_PASS\n",
                     argv[0]);
        return 2;
    }
    ConnectionConfiguration source{argv[1], std::atoi(argv[2]), argv[3], argv[4], true};
    ConnectionConfiguration target{argv[5], std::atoi(argv[6]), argv[7], argv[8], false};

    // The log goes nowhere: the figures are the copy's, not the console's.
    std::ostringstream sink;
    LogStream log(&sink);
    log.setMode(false, false);

    const auto start = std::chrono::steady_clock::now();
    ImapCopyist copyist(source, target, log);
    int status = 0;
    if (copyist.init() != ImapCopyist::Ok || copyist.copy() != ImapCopyist::Ok)
        status = 1;
    copyist.close();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("copied=%llu failed=%llu folders=%llu seconds=%.3f cpu_s=%.3f maxrss_kb=%ld\n", copyist.messages,
                copyist.messageErrors, copyist.folders, seconds, cpu, peakResidentKb());
    if (status != 0) {
        std::string text;
        log.getData(text);
        std::fprintf(stderr, "%s%s", sink.str().c_str(), text.c_str());
    }
    return status;
}
