#!/usr/bin/env python3
"""Mailbox copy benchmark: the project's copier against mbsync.

Seeds a realistic mailbox (bench/corpus.py, about 2000 messages and 220 MB)
into a source Dovecot, then copies it into a target Dovecot with both tools,
interleaved round by round, the target emptied before each copy. Runs once
on loopback and once behind bench_delay_proxy (about 10 ms round trip in
front of the target). Both instances keep their mail under /dev/shm, where
Dovecot's own file I/O does not swing from round to round.

Prints per scenario the median messages per second and MB per second of each
tool, their ratio, the copier's peak resident memory and CPU time, and for
the delayed run the lower bound of one round trip per message. Ends with a
memory check: the peak resident memory of copying a 50 MB message.

With --baseline SRC a second copier, built from the source tree SRC (an
earlier commit checked out, e.g. with git worktree), runs in the same rounds,
interleaved with the other two, so machine load hits both builds alike; its
medians and the speed ratio of this build to it are printed as well.

    bench/run_copy_bench.py [--rounds N] [--count N] [--delay-ms MS] [--build DIR]
                            [--baseline SRC [--baseline-build DIR]] [--no-mbsync]

Needs dovecot-imapd and isync (scripts/install-deps.sh with WITH_BENCH=1).
Everything it starts it stops by process id; its directory is removed.
"""

import argparse
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOVECOT = os.path.join(ROOT, "tests", "support", "dovecot.sh")
LOGIN = "bench@example.test"
PASSWORD = "bench-secret"
MAIL_UID = 65534 if os.getuid() == 0 else os.getuid()
MAIL_GID = 65534 if os.getuid() == 0 else os.getgid()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(*args, **kw):
    return subprocess.run(list(args), check=True, text=True, stdout=subprocess.PIPE, **kw).stdout


class Instance:
    def __init__(self, base, name, role):
        self.dir = os.path.join(base, name)
        self.port = free_port()
        run("bash", DOVECOT, "create", self.dir, str(self.port), role)
        run("bash", DOVECOT, "adduser", self.dir, LOGIN, PASSWORD)
        self.maildir = os.path.join(self.dir, "home", LOGIN, "Maildir")

    def start(self):
        run("bash", DOVECOT, "start", self.dir)

    def stop(self):
        subprocess.run(["bash", DOVECOT, "stop", self.dir], check=False)

    def chown(self):
        for top, dirs, files in os.walk(os.path.join(self.dir, "home")):
            for n in dirs + files:
                os.chown(os.path.join(top, n), MAIL_UID, MAIL_GID)

    def empty(self):
        self.stop()
        shutil.rmtree(self.maildir)
        for sub in ("cur", "new", "tmp"):
            os.makedirs(os.path.join(self.maildir, "INBOX", sub))
        self.chown()
        self.start()

    def message_count(self):
        out = run("bash", DOVECOT, "doveadm", self.dir, "mailbox", "status", "-u", LOGIN,
                  "messages", "*")
        return sum(int(line.split("messages=")[1]) for line in out.splitlines() if "messages=" in line)


class Proxy:
    def __init__(self, exe, target_port, delay_ms):
        self.proc = subprocess.Popen([exe, str(target_port), str(delay_ms)], stdout=subprocess.PIPE,
                                     text=True)
        self.port = int(self.proc.stdout.readline())

    def stop(self):
        os.kill(self.proc.pid, signal.SIGTERM)
        self.proc.wait()


def copier(exe, src, target_port):
    """Runs the project's copier; returns (seconds, copied, failed, maxrss KB, cpu seconds)."""
    out = run(exe, "127.0.0.1", str(src.port), LOGIN, PASSWORD, "127.0.0.1", str(target_port),
              LOGIN, PASSWORD)
    fields = dict(item.split("=") for item in out.split())
    return (float(fields["seconds"]), int(fields["copied"]), int(fields["failed"]),
            int(fields["maxrss_kb"]), float(fields["cpu_s"]))


def mbsync(workdir, src, target_port):
    state = os.path.join(workdir, "mbsync-state")
    shutil.rmtree(state, ignore_errors=True)
    os.makedirs(state)
    config = os.path.join(workdir, "mbsyncrc")
    with open(config, "w") as f:
        for name, port in (("src", src.port), ("dst", target_port)):
            f.write("IMAPAccount %s\nHost 127.0.0.1\nPort %d\nUser %s\nPass %s\n"
                    "SSLType None\nAuthMechs LOGIN\n\nIMAPStore %s\nAccount %s\n\n"
                    % (name, port, LOGIN, PASSWORD, name, name))
        f.write("Channel copy\nFar :src:\nNear :dst:\nPatterns *\nCreate Near\nSync Pull New\n"
                "CopyArrivalDate yes\nSyncState %s/\n" % state)
    start = time.monotonic()
    # -q keeps the progress quiet; the warning about a clear-text password on
    # loopback goes too.
    subprocess.run(["mbsync", "-q", "-c", config, "copy"], check=True, stderr=subprocess.DEVNULL)
    return time.monotonic() - start


def scenario(label, args, exes, src, dst, total_bytes, count, target_port):
    copiers = ["copier"] + (["baseline"] if "baseline" in exes else [])
    tools = copiers + ([] if args.no_mbsync else ["mbsync"])
    rows = {t: [] for t in tools}
    rss = {t: [] for t in copiers}
    cpu = {t: [] for t in copiers}
    for r in range(args.rounds):
        # Each round starts with another tool, so none always runs first.
        order = tools[r % len(tools):] + tools[:r % len(tools)]
        for tool in order:
            dst.empty()
            if tool in copiers:
                exe = exes["copy"] if tool == "copier" else exes["baseline"]
                secs, copied, failed, kb, cpus = copier(exe, src, target_port)
                if copied != count or failed:
                    sys.exit("%s copied %d, failed %d of %d" % (tool, copied, failed, count))
                rss[tool].append(kb)
                cpu[tool].append(cpus)
            else:
                secs = mbsync(args.workdir, src, target_port)
            stored = dst.message_count()
            if stored != count:
                sys.exit("%s left %d of %d messages on the target" % (tool, stored, count))
            rows[tool].append(secs)
            print("  %s round %d %-8s %7.2f s" % (label, r + 1, tool, secs), flush=True)
    med = {t: statistics.median(v) for t, v in rows.items()}
    mb = total_bytes / 1e6
    print("%s: %d messages, %.1f MB, %d rounds" % (label, count, mb, args.rounds))
    for t in tools:
        print("  %-8s median %7.2f s  %8.1f msg/s  %7.2f MB/s"
              % (t, med[t], count / med[t], mb / med[t], ))
    if "mbsync" in med:
        print("  ratio copier/mbsync (speed): %.2f" % (med["mbsync"] / med["copier"]))
    if "baseline" in med:
        print("  ratio copier/baseline (speed): %.3f" % (med["baseline"] / med["copier"]))
    for t in copiers:
        print("  %-8s peak RSS %.1f MB (max over rounds), CPU time %.2f s (median)"
              % (t, max(rss[t]) / 1024.0, statistics.median(cpu[t])))
    return med


def build(source, build_dir, targets):
    for step in (["cmake", "-S", source, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release", "-DZELVO_SANITIZE=OFF"],
                 ["cmake", "--build", build_dir, "--target"] + targets + ["-j4"]):
        built = subprocess.run(step, text=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if built.returncode != 0:
            sys.exit(built.stdout)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--count", type=int, default=2000)
    ap.add_argument("--delay-ms", type=int, default=10, help="added round trip")
    ap.add_argument("--big-mb", type=int, default=50)
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "bench"))
    ap.add_argument("--baseline", help="source tree of a second copier to compare with")
    ap.add_argument("--baseline-build", help="its build directory (default SRC/build/bench)")
    ap.add_argument("--no-mbsync", action="store_true", help="leave mbsync out of the rounds")
    args = ap.parse_args()

    build(ROOT, args.build, ["bench_copy", "bench_delay_proxy"])
    exes = {n: os.path.join(args.build, "bench", "bench_" + n) for n in ("copy", "delay_proxy")}
    if args.baseline:
        baseline_build = args.baseline_build or os.path.join(args.baseline, "build", "bench")
        build(os.path.abspath(args.baseline), baseline_build, ["bench_copy"])
        exes["baseline"] = os.path.join(baseline_build, "bench", "bench_copy")

    base = tempfile.mkdtemp(prefix="zbench.", dir="/dev/shm")
    os.chmod(base, 0o755)
    args.workdir = base
    instances, proxy = [], None
    try:
        src = Instance(base, "source", "source")
        dst = Instance(base, "target", "target")
        instances = [src, dst]
        out = run(sys.executable, os.path.join(ROOT, "bench", "corpus.py"),
                  os.path.join(src.maildir), "--count", str(args.count))
        count, total_bytes = map(int, out.split())
        src.chown()
        src.start()
        dst.start()
        run("bash", DOVECOT, "index", src.dir, LOGIN)
        print("seeded %d messages, %.1f MB" % (count, total_bytes / 1e6), flush=True)

        loop = scenario("loopback", args, exes, src, dst, total_bytes, count, dst.port)
        proxy = Proxy(exes["delay_proxy"], dst.port, args.delay_ms // 2)
        delayed = scenario("%d ms round trip" % args.delay_ms, args, exes, src, dst, total_bytes,
                           count, proxy.port)
        bound = count * args.delay_ms / 1000.0 + loop["copier"]
        print("  one round trip per message: bound %.2f s, copier %.2f s (%.1f%% above)"
              % (bound, delayed["copier"], (delayed["copier"] / bound - 1) * 100))
        proxy.stop()
        proxy = None

        # Memory: the same copy of a mailbox of small messages with and
        # without one big message must peak at the same resident size.
        for label, big in (("small messages only", 0), ("with a %d MB message" % args.big_mb, args.big_mb)):
            src.stop()
            shutil.rmtree(src.maildir)
            run(sys.executable, os.path.join(ROOT, "bench", "corpus.py"), src.maildir, "--count", "50",
                "--big-mb", str(big))
            src.chown()
            src.start()
            run("bash", DOVECOT, "index", src.dir, LOGIN)
            dst.empty()
            secs, copied, failed, kb, cpus = copier(exes["copy"], src, dst.port)
            print("memory, %s: %d copied, %d failed, peak RSS %.1f MB, %.2f s"
                  % (label, copied, failed, kb / 1024.0, secs))
    finally:
        if proxy:
            proxy.stop()
        for i in instances:
            i.stop()
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
