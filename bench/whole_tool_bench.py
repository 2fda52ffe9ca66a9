#!/usr/bin/env python3
"""Whole-tool benchmark: a complete 4d2zev run against mbsync.

Seeds the copy benchmark's corpus (bench/corpus.py: about 2000 messages and
220 MB in all, split over the users) into a source Dovecot for the users of
a synthetic 4D WebSTAR installation, then moves it into a target Dovecot in
rounds, interleaving the tools, the target emptied before each copy:

- 4d2zev, the whole run: configuration and source checks, the administration
  session with the stand-in on 127.0.0.1:44337 (fresh tables each round), the
  IMAP service moved to port 8143 and back, domains, users, every mailbox;
- mbsync copying the same users' mailboxes between the same two servers.

Mail lives under /dev/shm, so that Dovecot's own file I/O does not swing from
round to round. Prints per tool the median messages per second and MB per
second, their ratio, 4d2zev's migration loop alone (without the checks, the
IMAP switch and the restore, which restart the target's service twice),
its peak resident memory and CPU time; the first 4d2zev copy is
compared message by message with the source.

    bench/whole_tool_bench.py [--rounds N] [--count N] [--users N]
                              [--post-offices N] [--folders N] [--build DIR]
                              [--baseline SRC [--baseline-build DIR]]
                              [--no-mbsync] [--keep]

--folders N deals each user's messages out over N folders (INBOX and
"Folder 2" to "Folder N") instead of the corpus's own. With --baseline SRC a
second 4d2zev, built from the source tree SRC (an earlier commit checked out,
e.g. with git worktree), runs in the same rounds, interleaved with the
others, so machine load hits both builds alike; its medians and the speed
ratio of this build to it are printed as well.

Needs ports 44337, 8143 and 8144 free, dovecot-imapd and isync
(WITH_BENCH=1 bash scripts/install-deps.sh). Everything it starts it stops by
process id; its directory is removed.
"""

import argparse
import json
import os
import re
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
STANDIN = os.path.join(ROOT, "tests", "admin", "tinydb_standin.py")
GENERATE = os.path.join(ROOT, "tests", "fixtures", "webstar", "generate.py")
CORPUS = os.path.join(ROOT, "bench", "corpus.py")
COMPARE = os.path.join(ROOT, "tests", "support", "compare_mailboxes.py")
ADMIN = ("admin", "bench-admin-secret")
ADMIN_PORT = 44337
TEMP_PORTS = (8143, 8144)
MAIL_UID = 65534 if os.getuid() == 0 else os.getuid()
MAIL_GID = 65534 if os.getuid() == 0 else os.getgid()


def run(*args, **kw):
    return subprocess.run(list(args), check=True, text=True, stdout=subprocess.PIPE, **kw).stdout


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_busy(port):
    for addr in ("0.0.0.0", "127.0.0.1"):
        with socket.socket() as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                s.bind((addr, port))
            except OSError:
                return True
    return False


def wait_fixed_ports(seconds):
    """Waits until the tool's fixed ports are free (another run may hold them)."""
    deadline = time.monotonic() + seconds
    while True:
        busy = [p for p in (ADMIN_PORT,) + TEMP_PORTS if port_busy(p)]
        if not busy:
            return
        if time.monotonic() > deadline:
            sys.exit("ports %s are in use: 4d2zev needs %d, 8143 and 8144 free" % (busy, ADMIN_PORT))
        time.sleep(0.5)


def chown_tree(path):
    os.chown(path, MAIL_UID, MAIL_GID)
    for top, dirs, files in os.walk(path):
        for n in dirs + files:
            os.chown(os.path.join(top, n), MAIL_UID, MAIL_GID)


class Instance:
    """A Dovecot instance of tests/support/dovecot.sh for the given logins."""

    def __init__(self, base, name, role, accounts):
        self.dir = os.path.join(base, name)
        self.port = free_port()
        self.accounts = accounts
        run("bash", DOVECOT, "create", self.dir, str(self.port), role)
        for login, password in accounts:
            run("bash", DOVECOT, "adduser", self.dir, login, password)

    def maildir(self, login):
        return os.path.join(self.dir, "home", login, "Maildir")

    def start(self):
        run("bash", DOVECOT, "start", self.dir, str(self.port))

    def stop(self):
        subprocess.run(["bash", DOVECOT, "stop", self.dir], check=False)

    def empty(self):
        """Removes every user's mail; the instance must be stopped."""
        for login, _ in self.accounts:
            md = self.maildir(login)
            shutil.rmtree(md, ignore_errors=True)
            for sub in ("cur", "new", "tmp"):
                os.makedirs(os.path.join(md, "INBOX", sub))
            chown_tree(md)

    def message_count(self):
        total = 0
        for login, _ in self.accounts:
            out = run("bash", DOVECOT, "doveadm", self.dir, "mailbox", "status", "-u", login,
                      "messages", "*")
            total += sum(int(l.split("messages=")[1]) for l in out.splitlines() if "messages=" in l)
        return total


class StandIn:
    """The administration stand-in on port 44337, with the target as its IMAP service."""

    def __init__(self, base, target):
        # Another user of the fixed port may take it between the check and the
        # bind: wait and try again.
        for attempt in range(20):
            wait_fixed_ports(300)
            if self.start(base, target):
                return
            time.sleep(1)
        sys.exit("the stand-in could not bind port %d" % ADMIN_PORT)

    def start(self, base, target):
        self.work = tempfile.mkdtemp(prefix="standin.", dir=base)
        tables = os.path.join(self.work, "tables.json")
        with open(tables, "w") as f:
            json.dump({"ServicePorts": [{"Service": "IMAP", "IPAddress": "0.0.0.0",
                                         "Port": str(target.port)}],
                       "service-imap": [{"Running": "1", "AutoStart": "1"}]}, f)
        self.state = os.path.join(self.work, "state.json")
        port_file = os.path.join(self.work, "port")
        self.log = open(os.path.join(self.work, "standin.log"), "w")
        self.proc = subprocess.Popen(
            [sys.executable, STANDIN, "--port", str(ADMIN_PORT), "--admin", "%s:%s" % ADMIN,
             "--tables", tables, "--state", self.state, "--port-file", port_file,
             "--workdir", self.work, "--imap-dir", target.dir, "--idle-timeout", "3600"],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 30
        while not os.path.exists(port_file):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                with open(self.log.name) as f:
                    text = f.read()
                if "Address already in use" in text:
                    return False
                sys.exit("the stand-in did not start:\n" + text[-2000:])
            time.sleep(0.05)
        return True

    def stop(self):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            self.proc.wait()
        self.log.close()


def run_tool(tool, base, src, src_path, out_path):
    """One whole 4d2zev run; returns (seconds, seconds of the migration loop, exit
    status, peak RSS in KB, CPU seconds). The loop runs from "Migration started" to the summary;
    the rest is the checks, the IMAP switch and the restore."""
    home = tempfile.mkdtemp(prefix="home.", dir=base)
    env = dict(os.environ, HOME=home)
    marks = {b"Migration started": None, b"Migration summary:": None}
    seen = b""
    with open(out_path, "wb") as out:
        start = time.monotonic()
        proc = subprocess.Popen([tool, "--target-user", ADMIN[0], "--target-pass", ADMIN[1],
                                 "--target-host", "127.0.0.1", "--source-path", src_path,
                                 "--source-port", str(src.port)],
                                env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT)
        hwm = 0
        while True:
            chunk = proc.stdout.read1(65536)
            if not chunk:
                break
            hwm = max(hwm, vm_hwm_kb(proc.pid))
            now = time.monotonic()
            out.write(chunk)
            seen += chunk
            for m in marks:
                if marks[m] is None and m in seen:
                    marks[m] = now
            seen = seen[-64:]
        _, status, usage = os.wait4(proc.pid, 0)
        secs = time.monotonic() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        proc.stdout.close()
    shutil.rmtree(home, ignore_errors=True)
    loop = None
    if None not in marks.values():
        loop = marks[b"Migration summary:"] - marks[b"Migration started"]
    # The high-water mark of the tool's own address space; ru_maxrss of a
    # child can also count what the forking interpreter had before exec.
    return secs, loop, proc.returncode, hwm or usage.ru_maxrss, usage.ru_utime + usage.ru_stime


def vm_hwm_kb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def summary_messages(out_path):
    with open(out_path, errors="replace") as f:
        m = re.search(r"^\s*(\d+) Messages\s+(\d+) Messages", f.read(), re.M)
    return (int(m.group(1)), int(m.group(2))) if m else (None, None)


def run_mbsync(base, src, dst_port, accounts):
    state = os.path.join(base, "mbsync-state")
    shutil.rmtree(state, ignore_errors=True)
    os.makedirs(state)
    config = os.path.join(base, "mbsyncrc")
    with open(config, "w") as f:
        for k, (login, password) in enumerate(accounts):
            for side, port in (("src", src.port), ("dst", dst_port)):
                f.write("IMAPAccount %s%d\nHost 127.0.0.1\nPort %d\nUser %s\nPass %s\n"
                        "SSLType None\nAuthMechs LOGIN\n\nIMAPStore %s%d\nAccount %s%d\n\n"
                        % (side, k, port, login, password, side, k, side, k))
            os.makedirs(os.path.join(state, str(k)))
            f.write("Channel copy%d\nFar :src%d:\nNear :dst%d:\nPatterns *\nCreate Near\n"
                    "Sync Pull New\nCopyArrivalDate yes\nSyncState %s/%d/\n\n" % (k, k, k, state, k))
    start = time.monotonic()
    # stderr holds a warning per login about the clear-text password on loopback
    done = subprocess.run(["mbsync", "-q", "-a", "-c", config], stderr=subprocess.PIPE, text=True)
    secs = time.monotonic() - start
    if done.returncode != 0:
        sys.exit("mbsync failed:\n" + done.stderr)
    return secs


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--count", type=int, default=2000, help="messages in all")
    ap.add_argument("--users", type=int, default=4)
    ap.add_argument("--post-offices", type=int, default=2)
    ap.add_argument("--folders", type=int, default=0, help="folders per user (0: the corpus's)")
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "demo"))
    ap.add_argument("--baseline", help="source tree of a second 4d2zev to compare with")
    ap.add_argument("--baseline-build", help="its build directory (default SRC/build/demo)")
    ap.add_argument("--no-mbsync", action="store_true", help="leave mbsync out of the rounds")
    ap.add_argument("--keep", action="store_true", help="keep the working directory")
    args = ap.parse_args()

    wait_fixed_ports(60)
    if not args.no_mbsync and not shutil.which("mbsync"):
        sys.exit("mbsync is missing: WITH_BENCH=1 bash scripts/install-deps.sh")

    def build(source, build_dir):
        run("cmake", "-S", source, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release", "-DZELVO_SANITIZE=OFF",
            "-DZELVO_TESTS=OFF")
        run("cmake", "--build", build_dir, "--target", "4d2zev", "-j4")
        return os.path.join(build_dir, "migration", "4d2zev")

    tools = {"4d2zev": build(ROOT, args.build)}
    if args.baseline:
        source = os.path.abspath(args.baseline)
        tools["baseline"] = build(source, args.baseline_build or os.path.join(source, "build", "demo"))

    base = tempfile.mkdtemp(prefix="zwhole.", dir="/dev/shm")
    os.chmod(base, 0o755)
    instances, standin = [], None
    try:
        src_path = run(sys.executable, GENERATE, "synth", os.path.join(base, "webstar"),
                       "--post-offices", str(args.post_offices), "--users", str(args.users)).strip()
        with open(os.path.join(src_path, "accounts.tsv"), encoding="utf-8") as f:
            rows = [l.rstrip("\n").split("\t") for l in f][1:]
        accounts = [(r[2] + "@" + r[1], r[3]) for r in rows]

        src = Instance(base, "source", "source", accounts)
        dst = Instance(base, "target", "target", accounts)
        instances = [src, dst]
        # The copy benchmark's corpus, dealt out message by message to the users
        # (each keeps the message's folder, flags and date).
        corpus = os.path.join(base, "corpus")
        out = run(sys.executable, CORPUS, corpus, "--count", str(args.count))
        count, total_bytes = map(int, out.split())
        k = 0
        for top, _, files in sorted(os.walk(corpus)):
            for name in sorted(files):
                login = accounts[k % len(accounts)][0]
                folder = os.path.relpath(top, corpus)
                if args.folders:
                    n = (k // len(accounts)) % args.folders
                    folder = os.path.join("INBOX" if n == 0 else "Folder %d" % (n + 1), "cur")
                k += 1
                dest = os.path.join(src.maildir(login), folder)
                for sub in ("cur", "new", "tmp"):
                    os.makedirs(os.path.join(os.path.dirname(dest), sub), exist_ok=True)
                os.rename(os.path.join(top, name), os.path.join(dest, name))
        shutil.rmtree(corpus)
        chown_tree(os.path.join(src.dir, "home"))
        src.start()
        for login, _ in accounts:
            run("bash", DOVECOT, "index", src.dir, login)
        dst.empty()
        mb = total_bytes / 1e6
        print("seeded %d messages, %.1f MB for %d users in %d post offices"
              % (count, mb, len(accounts), args.post_offices), flush=True)

        # A whole run restarts the target's IMAP service twice (the switch and
        # the restore); this is what one restart costs here.
        restarts = []
        dst.start()
        for _ in range(2):
            t0 = time.monotonic()
            dst.stop()
            dst.start()
            restarts.append(time.monotonic() - t0)
        dst.stop()

        names = list(tools) + ([] if args.no_mbsync else ["mbsync"])
        times = {n: [] for n in names}
        rss = {t: [] for t in tools}
        loops = {t: [] for t in tools}
        cpu = {t: [] for t in tools}
        verified = False
        for r in range(args.rounds):
            # Each tool in turn goes first.
            for name in names[r % len(names):] + names[:r % len(names)]:
                dst.empty()
                if name in tools:
                    standin = StandIn(base, dst)
                    out_path = os.path.join(base, "run%d-%s.txt" % (r, name))
                    secs, loop, rc, kb, cpu_s = run_tool(tools[name], base, src, src_path, out_path)
                    ok, failed = summary_messages(out_path)
                    if rc != 0 or ok != count or failed:
                        sys.exit("4d2zev exit status %d, %s copied, %s failed of %d; see %s"
                                 % (rc, ok, failed, count, out_path))
                    stored = dst.message_count()
                    if not verified:
                        cmp = subprocess.run([sys.executable, COMPARE, str(src.port), str(dst.port)]
                                             + ["%s:%s" % a for a in accounts],
                                             text=True, stdout=subprocess.PIPE)
                        if cmp.returncode != 0:
                            sys.exit("the target differs from the source:\n" + cmp.stdout)
                        print("  " + cmp.stdout.strip().splitlines()[-1], flush=True)
                        verified = True
                    standin.stop()
                    standin = None
                    rss[name].append(kb)
                    loops[name].append(loop)
                    cpu[name].append(cpu_s)
                else:
                    dst.start()
                    secs = run_mbsync(base, src, dst.port, accounts)
                    stored = dst.message_count()
                    dst.stop()
                if stored != count:
                    sys.exit("%s left %d of %d messages on the target" % (name, stored, count))
                times[name].append(secs)
                print("  round %d %-8s %7.2f s%s" % (r + 1, name, secs, "  (migration loop %.2f s)"
                                                        % loop if name in tools else ""), flush=True)

        med = {t: statistics.median(v) for t, v in times.items()}
        lm = {t: statistics.median(v) for t, v in loops.items()}
        print("whole run over loopback: %d messages, %.1f MB, %d users, %s, %d rounds (medians)"
              % (count, mb, len(accounts), "%d folders each" % args.folders if args.folders
                 else "the corpus's folders", args.rounds))
        for t in names:
            print("  %-8s %7.2f s  %8.1f msg/s  %7.2f MB/s" % (t, med[t], count / med[t], mb / med[t]))
        for t in tools:
            print("  %-8s migration loop only (domains, users, copies): %7.2f s  %8.1f msg/s  %7.2f MB/s"
                  % (t, lm[t], count / lm[t], mb / lm[t]))
        if "mbsync" in med:
            print("  ratio 4d2zev/mbsync (speed): %.2f whole run, %.2f migration loop"
                  % (med["mbsync"] / med["4d2zev"], med["mbsync"] / lm["4d2zev"]))
        if "baseline" in med:
            print("  ratio 4d2zev/baseline (speed): %.3f whole run, %.3f migration loop"
                  % (med["baseline"] / med["4d2zev"], lm["baseline"] / lm["4d2zev"]))
        print("  one restart of the target Dovecot (stop and start): %.2f s (median); a whole run"
              " makes two" % statistics.median(restarts))
        for t in tools:
            print("  %-8s peak RSS %.1f MB (max over rounds), CPU time %.2f s (median)"
                  % (t, max(rss[t]) / 1024.0, statistics.median(cpu[t])))
    finally:
        if standin:
            standin.stop()
        for i in instances:
            i.stop()
        if args.keep:
            print("kept " + base)
        else:
            shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
