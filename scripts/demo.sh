#!/usr/bin/env bash
# A complete 4d2zev run on one machine, all on loopback: the sample 4D WebSTAR
# installation with a source Dovecot holding its users' mail, the stand-in
# administration service on 127.0.0.1:44337 with a target Dovecot as its IMAP
# service. Installs what is missing, builds (Release, build/demo), migrates in
# the foreground, then checks the target and prints a verdict.
#
#   bash scripts/demo.sh
#
# Environment: BUILD (build directory), JOBS (parallel build jobs, default 4),
# KEEP=1 (keep the temporary directory for a look afterwards).
# Exit status: 0 when every check passed, 1 when one failed, 130 on Ctrl-C.
# Every process it starts it stops by process id, also on failure or Ctrl-C.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-$ROOT/build/demo}
JOBS=${JOBS:-4}
DOVECOT=$ROOT/tests/support/dovecot.sh
STANDIN=$ROOT/tests/admin/tinydb_standin.py
ADMIN_USER=admin
ADMIN_PASS=zev-admin-secret
ADMIN_PORT=44337          # fixed in the tool
TEMP_PORTS="8143 8144"    # where the tool moves the target's IMAP service

base="" standin_pid="" tool_running=0 interrupted=0

say() { printf '\n==> %s\n' "$*"; }
die() { printf '\ndemo: %s\n' "$*" >&2; exit 1; }

cleanup() {
  local rc=$?
  trap - EXIT INT TERM
  if [ -n "$standin_pid" ] && kill -0 "$standin_pid" 2>/dev/null; then
    # The stand-in stops the target Dovecot it started.
    kill -TERM "$standin_pid" 2>/dev/null || true
    wait "$standin_pid" 2>/dev/null || true
  fi
  if [ -n "$base" ]; then
    [ -d "$base/target" ] && bash "$DOVECOT" stop "$base/target" || true
    [ -d "$base/source" ] && bash "$DOVECOT" stop "$base/source" || true
    if [ "${KEEP:-0}" = 1 ]; then
      echo "demo: kept $base"
    else
      rm -rf "$base"
    fi
  fi
  exit "$rc"
}

on_interrupt() {
  # During the run the tool handles Ctrl-C itself (abort, summary, restore);
  # the script goes on when it has finished. Anywhere else: stop now.
  if [ "$tool_running" = 1 ]; then interrupted=1; return; fi
  echo; echo "demo: interrupted" >&2
  exit 130
}

trap cleanup EXIT
trap on_interrupt INT
trap 'exit 143' TERM

# Exit 0 when nothing listens on the TCP port (on any address).
port_free() {
  python3 - "$1" <<'EOF'
import socket, sys
port = int(sys.argv[1])
for addr in ("0.0.0.0", "127.0.0.1"):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        s.bind((addr, port))
    except OSError:
        sys.exit(1)
    finally:
        s.close()
EOF
}

# Waits up to $1 seconds for the tool's fixed ports; says so clearly when
# they stay in use.
wait_fixed_ports() {
  local p busy i
  for ((i = 0; ; i++)); do
    busy=()
    for p in $ADMIN_PORT $TEMP_PORTS; do port_free "$p" || busy+=("$p"); done
    [ ${#busy[@]} -eq 0 ] && return 0
    [ "$i" -eq 0 ] && echo "demo: TCP port(s) ${busy[*]} in use; waiting up to $1 s (another migration run may be ending)"
    [ "$i" -ge $(($1 * 2)) ] && break
    sleep 0.5
  done
  echo "demo: TCP port(s) ${busy[*]} are in use on this machine." >&2
  echo "      4d2zev always reaches the administration service on port $ADMIN_PORT and moves" >&2
  echo "      the target's IMAP service to port 8143 (or 8144), so the demonstration needs" >&2
  echo "      ports $ADMIN_PORT, 8143 and 8144 free. Stop whatever listens there and try again." >&2
  command -v ss >/dev/null && for p in "${busy[@]}"; do ss -ltnp "sport = :$p" | tail -n +2 >&2 || true; done
  exit 1
}

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

say "Installing what is missing (scripts/install-deps.sh)"
bash "$ROOT/scripts/install-deps.sh"

wait_fixed_ports 30

say "Building 4d2zev (Release, $BUILD; a few minutes the first time)"
mkdir -p "$BUILD"
if ! { cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DZELVO_SANITIZE=OFF -DZELVO_TESTS=OFF &&
       cmake --build "$BUILD" --target 4d2zev -j "$JOBS"; } >"$BUILD/demo-build.log" 2>&1; then
  tail -n 40 "$BUILD/demo-build.log" >&2
  die "the build failed; the whole log is in $BUILD/demo-build.log"
fi
TOOL=$BUILD/migration/4d2zev
[ -x "$TOOL" ] || die "no executable at $TOOL"

base=$(mktemp -d "${TMPDIR:-/tmp}/4d2zev-demo.XXXXXX")
chmod 755 "$base"   # the mail processes run as another user and must reach the homes
mkdir -p "$base/home" "$base/standin"

say "Laying out the sample 4D WebSTAR installation"
src_path=$(python3 "$ROOT/tests/fixtures/webstar/generate.py" install sample "$base/webstar")
accounts=$src_path/accounts.tsv
echo "source path: $src_path"

# Logins (user@domain) and passwords of the users that are migrated: those
# with a password. Tabs become unit separators, so that an empty field is not
# swallowed as white space.
logins=() passwords=()
while IFS=$'\037' read -r _po domain user pass _full; do
  [ -n "$pass" ] || continue
  logins+=("$user@$domain"); passwords+=("$pass")
done < <(tail -n +2 "$accounts" | tr '\t' '\037')

say "Starting the source IMAP server (Dovecot greeting \"4D Mail IMAP ready\") with sample mail"
src_port=$(free_port)
bash "$DOVECOT" create "$base/source" "$src_port" source
for i in "${!logins[@]}"; do
  bash "$DOVECOT" adduser "$base/source" "${logins[$i]}" "${passwords[$i]}"
done
bash "$DOVECOT" start "$base/source" >/dev/null
seeded=$(python3 - "$DOVECOT" "$base/source" "${logins[@]}" <<'EOF'
# Sample mailboxes, written straight into the Maildirs: a few folders per user
# (a hierarchy level, a name with a blank, a non-ASCII name, an empty folder),
# standard flags as Maildir letters, the internal date as the file's mtime.
import base64, os, random, subprocess, sys, time

dovecot, inst, logins = sys.argv[1], sys.argv[2], sys.argv[3:]
uid, gid = (65534, 65534) if os.getuid() == 0 else (os.getuid(), os.getgid())
FOLDERS = [  # name, number of messages (lowest, highest), flag choices
    ("INBOX", (5, 8), ["", "", "S", "S", "RS", "FS", "F"]),
    ("Sent", (2, 4), ["S"]),
    ("Projects", (1, 3), ["S", "FS"]),
    ("Projects/2024", (2, 4), ["", "S", "RS"]),
    ("Old Mail", (2, 3), ["S", "ST"]),
    ("Entwürfe", (1, 2), ["D", "DS"]),
    ("Trash", (0, 0), [""]),
]
SUBJECTS = ["Quarterly report", "Lunch on Friday?", "Re: server move", "Invoice 2024-117",
            "Meeting notes", "Holiday schedule", "Your account", "Draft: budget",
            "Grüße aus dem Café", "Photos from the trip"]
WORDS = ("please find the attached report for this quarter and let me know if you "
         "have any questions about the budget meeting next week mail server").split()
seq = 0


def encoded(subject):
    if subject.isascii():
        return subject
    return "=?UTF-8?B?" + base64.b64encode(subject.encode()).decode() + "?="


def message(rng, login, folder, when):
    subject = rng.choice(SUBJECTS)
    sender = rng.choice(["Paul Sender <paul@partner.test>", "Café Nordlicht <info@nordlicht.test>",
                         login])
    date = time.strftime("%a, %d %b %Y %H:%M:%S +0000", time.gmtime(when))
    body = "\r\n".join(" ".join(rng.choice(WORDS) for _ in range(rng.randint(8, 14)))
                       for _ in range(rng.randint(3, 30))) + "\r\n"
    head = ("From: %s\r\nTo: %s\r\nSubject: %s\r\nDate: %s\r\nMessage-ID: <demo-%d@%s>\r\n"
            "MIME-Version: 1.0\r\n" % (encoded(sender), login, encoded(subject), date, seq,
                                         login.split("@")[1]))
    if rng.random() < 0.2:  # one in five carries an attachment of 20 to 120 KB
        raw = rng.randbytes(rng.randint(15, 90) * 1024)
        enc = base64.b64encode(raw).decode()
        attach = "\r\n".join(enc[i:i + 76] for i in range(0, len(enc), 76))
        return (head + 'Content-Type: multipart/mixed; boundary="b%d"\r\n\r\n'
                "--b%d\r\nContent-Type: text/plain; charset=utf-8\r\n"
                "Content-Transfer-Encoding: 8bit\r\n\r\n%s--b%d\r\n"
                'Content-Type: application/pdf; name="report.pdf"\r\n'
                "Content-Transfer-Encoding: base64\r\n\r\n%s\r\n--b%d--\r\n"
                % (seq, seq, body, seq, attach, seq)).encode()
    return (head + "Content-Type: text/plain; charset=utf-8\r\n"
            "Content-Transfer-Encoding: 8bit\r\n\r\nHallo, schöne Grüße.\r\n\r\n" + body).encode()


total = 0
for login in logins:
    rng = random.Random(login)
    for folder, (lo, hi), flag_choices in FOLDERS:
        path = subprocess.run(["bash", dovecot, "maildir", inst, login, folder], check=True,
                              text=True, stdout=subprocess.PIPE).stdout.strip()
        for _ in range(rng.randint(lo, hi)):
            seq += 1
            when = int(time.mktime((2023, 1, 1, 9, 0, 0, 0, 0, -1))) + rng.randint(0, 900 * 86400)
            name = os.path.join(path, "cur", "%d.M%dP%d.demo:2,%s"
                                % (when, seq, os.getpid(), rng.choice(flag_choices)))
            with open(name, "wb") as f:
                f.write(message(rng, login, folder, when))
            os.chown(name, uid, gid)
            os.utime(name, (when, when))
            total += 1
print(total, len(FOLDERS) * len(logins))
EOF
)
read -r seeded_messages seeded_folders <<<"$seeded"
echo "$seeded_messages messages in $seeded_folders folders for ${#logins[@]} users"
for login in "${logins[@]}"; do bash "$DOVECOT" index "$base/source" "$login"; done
echo "source IMAP: 127.0.0.1:$src_port"

say "Starting the stand-in administration service on 127.0.0.1:$ADMIN_PORT with the target IMAP server"
tport=$(free_port)
tport2=$(free_port)
bash "$DOVECOT" create "$base/target" "$tport" target
for i in "${!logins[@]}"; do
  bash "$DOVECOT" adduser "$base/target" "${logins[$i]}" "${passwords[$i]}"
done
cat > "$base/tables.json" <<EOF
{"ServicePorts": [
  {"Service": "IMAP", "IPAddress": "0.0.0.0", "Port": "$tport"},
  {"Service": "SMTP", "IPAddress": "0.0.0.0", "Port": "25"},
  {"Service": "IMAP", "IPAddress": "127.0.0.1", "Port": "$tport2"}
 ],
 "service-imap": [{"Running": "1", "AutoStart": "1"}]}
EOF
wait_fixed_ports 30
# A session of its own, so that Ctrl-C on the terminal reaches only the tool.
setsid python3 "$STANDIN" --port "$ADMIN_PORT" --admin "$ADMIN_USER:$ADMIN_PASS" \
  --tables "$base/tables.json" --state "$base/state.json" --port-file "$base/standin.port" \
  --workdir "$base/standin" --imap-dir "$base/target" --idle-timeout 600 \
  >"$base/standin.log" 2>&1 </dev/null &
standin_pid=$!
for _ in $(seq 1 200); do
  [ -s "$base/standin.port" ] && break
  if ! kill -0 "$standin_pid" 2>/dev/null; then
    grep -q "Address already in use" "$base/standin.log" &&
      die "port $ADMIN_PORT was taken by another program just now; run the demonstration again"
    cat "$base/standin.log" >&2; die "the stand-in did not start"
  fi
  sleep 0.05
done
[ -s "$base/standin.port" ] || die "the stand-in did not become ready"
echo "target IMAP bindings: 0.0.0.0:$tport and 127.0.0.1:$tport2 (running)"

say "Running 4d2zev"
cmd=("$TOOL" --target-user "$ADMIN_USER" --target-pass "$ADMIN_PASS" --target-host 127.0.0.1
     --source-path "$src_path" --source-port "$src_port")
echo "HOME=$base/home ${cmd[*]}"
echo
tool_running=1
set +e
# The output is also kept for the checks; tee ignores Ctrl-C, so that the
# tool's abort lines and summary still reach the screen.
HOME=$base/home "${cmd[@]}" | (trap '' INT; exec tee "$base/run.txt")
rc=${PIPESTATUS[0]}
set -e
tool_running=0
# The tool ends with 130 when Ctrl-C aborted it; bash runs no trap then,
# since the tool handled the signal itself.
if [ "$interrupted" = 1 ] || [ "$rc" = 130 ]; then
  echo; echo "demo: interrupted: 4d2zev aborted the migration (exit status $rc); no checks made." >&2
  exit 130
fi

say "Checking what arrived on the target"
set +e
python3 - "$base/state.json" "$accounts" "$rc" "$tport" "$tport2" "$base/run.txt" \
  "$seeded_messages" "$seeded_folders" <<'EOF'
import json, re, sys

state_file, accounts_file, rc, tport, tport2, run_file = sys.argv[1:7]
seeded_messages, seeded_folders = int(sys.argv[7]), int(sys.argv[8])
ALIASES = {"example.test": ["mail.example.test", "example-corp.test"],
           "nordlicht.test": ["nordlicht-cafe.test"]}  # the sample's alias domains
state = json.load(open(state_file))
tables = state["tables"]
failed = 0


def check(ok, text, detail=""):
    global failed
    print("  [%s] %s%s" % ("ok" if ok else "FAILED", text, "" if ok or not detail else ": " + detail))
    failed += 0 if ok else 1


rows = [l.rstrip("\n").split("\t") for l in open(accounts_file, encoding="utf-8")][1:]
users = [r for r in rows if r[3]]
offices = []
for po, domain, *_ in rows:
    if (po, domain) not in offices:
        offices.append((po, domain))

# A user without a password is an error of the run: exit status 1.
skipped = [r[2] + "@" + r[1] for r in rows if not r[3]]
want_rc = "1" if skipped else "0"
check(rc == want_rc, "4d2zev exit status %s (%s)" % (want_rc, "%d user(s) without a password counted as errors"
                                                     % len(skipped) if skipped else "no errors"),
      "exit status " + rc)

summary = {}
for line in open(run_file, encoding="utf-8", errors="replace"):
    m = re.fullmatch(r"\s*(\d+) (\w+)\s+(\d+) \2\s*", line)
    if m:
        summary[m.group(2)] = (int(m.group(1)), int(m.group(3)))
want = {"Domains": (len(offices), 0), "Users": (len(users), len(skipped)),
        "Folders": (seeded_folders, 0), "Messages": (seeded_messages, 0)}
check(summary == want, "summary: %s" % ", ".join("%d %s" % (want[k][0], k.lower()) for k in want)
      + " migrated, %d user(s) failed" % len(skipped),
      "the tool printed %s" % summary)

doms = {d["Domain"]: d for d in tables.get("Domain", [])}
want = {}
for po, domain in offices:
    want[domain] = ("1", po, None)
    for a in ALIASES.get(domain, []):
        want[a] = ("2", None, domain)
bad = [d for d, (t, desc, alias) in want.items()
       if d not in doms or doms[d].get("Type") != t
       or (desc is not None and doms[d].get("Description") != desc)
       or (alias is not None and doms[d].get("Alias") != alias)]
extra = sorted(set(doms) - set(want))
check(not bad and not extra, "%d domains with their descriptions: %s"
      % (len(offices), ", ".join(d for _, d in offices)),
      "wrong or missing: %s; unexpected: %s" % (bad, extra))
n_alias = sum(len(v) for v in ALIASES.values())
check(not bad and not extra, "%d alias domains: %s" % (n_alias, ", ".join(
    "%s -> %s" % (a, d) for d, al in ALIASES.items() for a in al)))

urows = {(u["Name"], u["Domain"]): u for u in tables.get("User", [])}
bad = [r[2] + "@" + r[1] for r in users
       if (r[2], r[1]) not in urows or urows[(r[2], r[1])].get("Password") != "NUL.DE3:" + r[3]
       or urows[(r[2], r[1])].get("Fullname") != r[4]]
extra = sorted("%s@%s" % k for k in set(urows) - {(r[2], r[1]) for r in users})
check(not bad and not extra, "%d users with \"NUL.DE3:\" passwords and full names; %s (empty password) not created"
      % (len(users), ", ".join(skipped) or "nobody"),
      "wrong or missing: %s; unexpected: %s" % (bad, extra))

contacts = {c.get("Email"): c for c in tables.get("Contacts", [])}
bad = [r[2] + "@" + r[1] for r in users
       if contacts.get(r[2] + "@" + r[1], {}).get("Name") != (r[4] or r[2])
       or contacts[r[2] + "@" + r[1]].get("Folder") != "#public/Contacts"]
check(not bad and len(contacts) == len(users), "%d public contacts in \"#public/Contacts\"" % len(users),
      "wrong or missing: %s; %d in all" % (bad, len(contacts)))

misc = tables.get("Misc", [{}])[0]
check(misc.get("PublicFoldersPerDomain") == "0", "public folders switched to one global set")

imap_rows = [(r.get("IPAddress"), str(r.get("Port"))) for r in tables.get("ServicePorts", [])
             if r.get("Service") == "IMAP"]
moved = [h for h in state["imap"]["history"] if h.get("ok") and h.get("start")
         and all(int(p) in (8143, 8144) for p in h["start"])]
check(bool(moved), "IMAP service moved to the temporary port %s during the run"
      % (moved[0]["start"][0] if moved else "?"))
want_rows = [("0.0.0.0", tport), ("127.0.0.1", tport2)]
running = state["imap"]["running"] and sorted(state["imap"]["listening"]) == sorted([int(tport), int(tport2)])
check(imap_rows == want_rows and running,
      "IMAP bindings restored (0.0.0.0:%s, 127.0.0.1:%s), service running again" % (tport, tport2),
      "bindings %s, running %s, listening %s" % (imap_rows, state["imap"]["running"],
                                                  state["imap"]["listening"]))
sys.exit(1 if failed else 0)
EOF
checks_rc=$?
set -e

creds=()
for i in "${!logins[@]}"; do creds+=("${logins[$i]}:${passwords[$i]}"); done
echo "  every message of every folder, source against target (bytes, flags, internal date):"
set +e
python3 "$ROOT/tests/support/compare_mailboxes.py" "$src_port" "$tport" "${creds[@]}" > "$base/compare.txt" 2>&1
compare_rc=$?
set -e
sed 's/^/      /' "$base/compare.txt" | tail -n 1
if [ $compare_rc -ne 0 ]; then
  grep -v ' identical$' "$base/compare.txt" | sed 's/^/      /' >&2
fi
printf '  [%s] mailboxes identical on the target\n' "$([ $compare_rc -eq 0 ] && echo ok || echo FAILED)"

kh=$base/home/.zelvo/admin/known_hosts.cfg
[ -f "$kh" ] && echo "  known-hosts file: the administration service's certificate recorded in ~/.zelvo/admin/known_hosts.cfg"

echo
if [ $checks_rc -eq 0 ] && [ $compare_rc -eq 0 ]; then
  echo "Demonstration passed: the sample installation arrived complete on the target."
  exit 0
fi
echo "Demonstration FAILED: see the checks above."
exit 1
