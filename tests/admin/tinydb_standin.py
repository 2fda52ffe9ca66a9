#!/usr/bin/env python3
"""Stand-in for the target's administration-database service.

Speaks the login exchange and the statement/reply framing over TLSv1 (or
later) on a loopback port, answers the statements of the administration
session over an in-memory store, and records every login and statement with
its answer in a JSON state file. Knobs refuse logins, fail or reshape chosen
answers and refuse IMAP starts on given ports; with --imap-dir the IMAP
service is a real Dovecot instance started and stopped through
tests/support/dovecot.sh. See README.md beside this file.
"""

import argparse
import copy
import hashlib
import json
import os
import re
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import warnings

# TLSv1 is what the client speaks; Python only warns about enabling it.
warnings.filterwarnings("ignore", category=DeprecationWarning)

PROTO_VERSION = 22
MAX_STATEMENT = 1 << 20   # longest statement text accepted, bytes
MAX_CREDENTIAL = 1 << 16  # longest user name or password accepted, bytes
HOLD_LIMIT = 120.0        # longest a --hold knob keeps a statement waiting, seconds

COL_STRING, COL_UINT32, COL_UINT64, COL_WORD32, COL_UINT16, COL_LIST = 1, 2, 3, 4, 7, 8

# Typed columns; every other column is sent as a NUL-terminated string.
COLUMN_TYPES = {
    ("serviceports", "port"): COL_UINT16,
    ("serviceports", "ipaddress"): COL_WORD32,
    ("service-imap", "running"): COL_UINT32,
    ("service-imap", "autostart"): COL_UINT32,
}

# Columns that make a row unique; a second insert with the same values fails.
UNIQUE_KEYS = {
    "domain": ("Domain",),
    "user": ("Name", "Domain"),
}

DEFAULT_TABLES = {
    "ServicePorts": [
        {"Service": "IMAP", "IPAddress": "0.0.0.0", "Port": "143"},
        {"Service": "SMTP", "IPAddress": "0.0.0.0", "Port": "25"},
        {"Service": "IMAP", "IPAddress": "127.0.0.1", "Port": "1143"},
    ],
    "service-imap": [{"Running": "1", "AutoStart": "1"}],
    "Misc": [{"PublicFoldersPerDomain": "1"}],
    "Domain": [],
    "User": [],
    "Contacts": [],
}


class Closed(Exception):
    """The peer went away, or a knob told us to drop the connection."""


class Reply:
    def __init__(self, status=0, error=0, columns=None, rows=None, raw=None, close=False, notify=False):
        self.status = status
        self.error = error
        self.columns = columns  # list of (name, type) or None for a bare status
        self.rows = rows or []
        self.raw = raw          # exact bytes to send instead of a framed reply
        self.close = close      # drop the connection after (or instead of) answering
        self.notify = notify    # ... after ending TLS with a close-notify

    def record(self):
        out = {"status": self.status, "error": self.error}
        if self.columns is not None:
            out["columns"] = [c[0] for c in self.columns]
            out["rows"] = [[render(v) for v in r] for r in self.rows]
        if self.raw is not None:
            out["raw"] = self.raw.hex()
        if self.close:
            out["closed"] = True
        return out


def render(value):
    return value if isinstance(value, str) else str(value)


def encode_field(ctype, value):
    value = render(value)
    if ctype == COL_UINT16:
        return struct.pack(">H", int(value) & 0xFFFF)
    if ctype == COL_UINT32:
        return struct.pack(">I", int(value) & 0xFFFFFFFF)
    if ctype == COL_UINT64:
        return struct.pack(">Q", int(value))
    if ctype == COL_WORD32:
        return bytes(int(p) & 0xFF for p in value.split("."))
    return value.encode("utf-8") + b"\0"


def frame_reply(reply):
    if reply.status != 0:
        return struct.pack(">IIII", 0x5A455601, 0, reply.status, reply.error)
    if reply.columns is None or (not reply.columns and not reply.rows):
        block = struct.pack(">BBHIII", 0, ord("s"), 0, 0, 0, 0)
    else:
        skipped = b"ZEV\0"
        block = struct.pack(">BBHIIII", 0, ord("s"), len(reply.columns), len(reply.rows), 0, 0,
                            len(skipped)) + skipped
        for name, ctype in reply.columns:
            raw = name.encode("utf-8") + b"\0"
            block += struct.pack(">BBBI", 0, ctype, 0, len(raw)) + raw
        for row in reply.rows:
            for (name, ctype), value in zip(reply.columns, row):
                data = encode_field(ctype, value)
                block += struct.pack(">I", len(data)) + data
    return struct.pack(">IIII", 0x5A455601, len(block), 0, 0) + block


# ---- statements -------------------------------------------------------------

ASSIGN_RE = re.compile(r"\s*(\w+)\s*=\s*'([^']*)'\s*")
WHERE_RE = re.compile(r"\s*(\w+)\s*=\s*'([^']*)'\s*")


def parse_assignments(text):
    out, pos = [], 0
    while pos < len(text):
        m = ASSIGN_RE.match(text, pos)
        if not m:
            raise ValueError("bad assignment near: " + text[pos:pos + 40])
        out.append((m.group(1), m.group(2)))
        pos = m.end()
        if pos < len(text):
            if text[pos] != ",":
                raise ValueError("expected ',' near: " + text[pos:pos + 40])
            pos += 1
    return out


def parse_where(text):
    if text is None:
        return []
    conds = []
    for part in re.split(r"\s+and\s+", text.strip(), flags=re.I):
        m = WHERE_RE.fullmatch(part)
        if not m:
            raise ValueError("bad condition: " + part)
        conds.append((m.group(1), m.group(2)))
    return conds


def parse_call_args(text):
    args, pos = [], 0
    text = text.strip()
    while pos < len(text):
        quote = text[pos]
        if quote not in "'\"":
            raise ValueError("bad argument near: " + text[pos:pos + 40])
        end = text.find(quote, pos + 1)
        if end < 0:
            raise ValueError("unterminated argument")
        args.append(text[pos + 1:end])
        pos = end + 1
        while pos < len(text) and text[pos] == " ":
            pos += 1
        if pos < len(text):
            if text[pos] != ",":
                raise ValueError("expected ',' in arguments")
            pos += 1
            while pos < len(text) and text[pos] == " ":
                pos += 1
    return args


class Server:
    def __init__(self, opts):
        self.opts = opts
        self.lock = threading.RLock()
        self.tables = copy.deepcopy(DEFAULT_TABLES)
        if opts.tables:
            with open(opts.tables) as f:
                self.tables.update(json.load(f))
        self.log = []
        self.sessions = 0
        self.imap_listening = []   # ports the IMAP service really listens on
        self.imap_history = []     # every start and stop, in order
        self.dovecot_started = False
        self.fingerprint = ""
        self.port = 0
        self.fails = [parse_knob(k, "fail") for k in opts.fail]
        self.shapes = [parse_knob(k, "shape") for k in opts.shape]
        self.raws = [parse_knob(k, "raw") for k in opts.raw]
        # Knobs of --raw-once apply to the first matching statement only.
        self.raws_once = [parse_knob(k, "raw-once") for k in opts.raw_once]
        self.holds = [parse_knob(k, "hold") for k in opts.hold]
        # Knobs of --cut-after: [needle, N, and later, statements seen so far].
        self.cuts = []
        for k in opts.cut_after:
            needle, value = parse_knob(k, "cut-after")
            later = value.endswith("+")
            try:
                n = int(value[:-1] if later else value)
            except ValueError:
                raise SystemExit("--cut-after needs TEXT=N or TEXT=N+")
            self.cuts.append([needle, n, later, 0])
        self.port_map = {}
        for item in opts.imap_port_map:
            a, b = item.split("=", 1)
            self.port_map[int(a)] = int(b)

    # -- store helpers --
    def table(self, name):
        for key in self.tables:
            if key.lower() == name.lower():
                return key, self.tables[key]
        raise KeyError(name)

    @staticmethod
    def matches(row, conds):
        for col, val in conds:
            have = next((v for k, v in row.items() if k.lower() == col.lower()), None)
            if have is None or render(have).lower() != val.lower():
                return False
        return True

    def imap_row(self):
        _, rows = self.table("service-imap")
        if not rows:
            rows.append({"Running": "0", "AutoStart": "0"})
        return rows[0]

    # -- IMAP service --
    def imap_bindings(self):
        _, rows = self.table("ServicePorts")
        return [int(r["Port"]) for r in rows if render(r.get("Service", "")).upper() == "IMAP"]

    def start_imap(self):
        if self.imap_row()["Running"] not in ("0", 0):
            return 1
        ports = self.imap_bindings()
        if not ports or any(p in self.opts.refuse_imap_port for p in ports):
            self.imap_history.append({"start": ports, "ok": False})
            return 0
        real = [self.port_map.get(p, p) for p in ports]
        if self.opts.imap_dir:
            cmd = ["bash", self.opts.dovecot_script, "start", self.opts.imap_dir] + [str(p) for p in real]
            res = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.PIPE)
            if res.returncode != 0:
                self.imap_history.append({"start": ports, "ok": False,
                                          "why": res.stderr.decode(errors="replace")[-300:]})
                return 0
            self.dovecot_started = True
        self.imap_listening = real
        self.imap_row()["Running"] = "1"
        self.imap_history.append({"start": ports, "ok": True})
        return 1

    def add_mail_user(self, row):
        """Gives a created account its mailbox and login in the Dovecot instance."""
        login = "%s@%s" % (row.get("Name", ""), row.get("Domain", ""))
        password = row.get("Password", "")
        if password.startswith("NUL.DE3:"):
            password = password[len("NUL.DE3:"):]
        try:
            with open(os.path.join(self.opts.imap_dir, "passwd")) as f:
                if any(line.startswith(login + ":") for line in f):
                    return  # the test made this login itself
        except OSError:
            pass
        res = subprocess.run(["bash", self.opts.dovecot_script, "adduser", self.opts.imap_dir, login, password],
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.imap_history.append({"adduser": login, "ok": res.returncode == 0})

    def stop_imap(self):
        if self.dovecot_started:
            subprocess.run(["bash", self.opts.dovecot_script, "stop", self.opts.imap_dir],
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            self.dovecot_started = False
        was = self.imap_row()["Running"] not in ("0", 0)
        self.imap_row()["Running"] = "0"
        self.imap_listening = []
        if was:
            self.imap_history.append({"stop": True})
        return 1

    # -- statements --
    def hold(self, text):
        """Keeps a statement of a --hold knob unanswered until its file exists."""
        for needle, path in self.holds:
            if needle in text:
                # The test can tell the statement arrived and waits.
                with open(path + ".held", "w"):
                    pass
                deadline = time.monotonic() + HOLD_LIMIT
                while not os.path.exists(path) and time.monotonic() < deadline:
                    time.sleep(0.02)

    def cut_after(self, text):
        """True when a --cut-after knob drops the connection after this statement."""
        cut = False
        for knob in self.cuts:
            needle, n, later, seen = knob
            if needle in text:
                knob[3] = seen = seen + 1
                cut = cut or seen == n or (later and seen > n)
        return cut

    @staticmethod
    def raw_reply(value):
        if value == "close":
            return Reply(raw=b"", close=True)
        for suffix, notify in (("+close", False), ("+notify", True)):
            if value.endswith(suffix):
                return Reply(raw=bytes.fromhex(value[:-len(suffix)]), close=True, notify=notify)
        return Reply(raw=bytes.fromhex(value))

    def execute(self, text):
        for i, (needle, value) in enumerate(self.raws_once):
            if needle in text:
                del self.raws_once[i]
                return self.raw_reply(value)
        for needle, value in self.raws:
            if needle in text:
                return self.raw_reply(value)
        for needle, value in self.fails:
            if needle in text:
                status, _, err = value.partition(":")
                return Reply(status=int(status or 1), error=int(err or 0))
        try:
            reply = self.run_statement(text.strip())
        except (ValueError, KeyError) as e:
            reply = Reply(status=2, error=1064)
            reply.why = str(e)
        for needle, value in self.shapes:
            if needle in text and reply.status == 0 and reply.columns is not None:
                if value == "norow":
                    reply.rows = []
                elif value == "tworows":
                    reply.rows = (reply.rows * 2)[:2] if reply.rows else []
                    while len(reply.rows) < 2:
                        reply.rows.append(["0"] * len(reply.columns))
        return reply

    def run_statement(self, text):
        m = re.fullmatch(r"select\s+([\w-]+)\s*\((.*)\)", text, re.I | re.S)
        if m:
            return self.call(m.group(1), parse_call_args(m.group(2)))
        m = re.fullmatch(r"select\s+(.+?)\s+from\s+([\w-]+)(?:\s+where\s+(.*))?", text, re.I | re.S)
        if m:
            cols = [c.strip() for c in m.group(1).split(",")]
            name, rows = self.table(m.group(2))
            conds = parse_where(m.group(3))
            types = [(c, COLUMN_TYPES.get((name.lower(), c.lower()), COL_STRING)) for c in cols]
            out = []
            for row in rows:
                if self.matches(row, conds):
                    out.append([next((v for k, v in row.items() if k.lower() == c.lower()), "")
                                for c in cols])
            return Reply(columns=types, rows=out)
        m = re.fullmatch(r"insert\s+([\w-]+)\s+set\s+(.*?)(?:\s+controls\s+(.*))?", text, re.I | re.S)
        if m:
            name, rows = self.table(m.group(1))
            row = dict(parse_assignments(m.group(2)))
            if m.group(3):
                row["controls"] = m.group(3)
            unique = UNIQUE_KEYS.get(name.lower())
            if unique and any(self.matches(r, [(k, row.get(k, "")) for k in unique]) for r in rows):
                return Reply(status=3, error=1062)
            rows.append(row)
            if name.lower() == "user" and self.opts.imap_dir and self.opts.add_logins:
                self.add_mail_user(row)
            return Reply()
        m = re.fullmatch(r"delete\s+from\s+([\w-]+)(?:\s+where\s+(.*))?", text, re.I | re.S)
        if m:
            name, rows = self.table(m.group(1))
            conds = parse_where(m.group(2))
            self.tables[name] = [r for r in rows if not self.matches(r, conds)]
            return Reply()
        m = re.fullmatch(r"update\s+([\w-]+)\s+set\s+(.*?)(?:\s+where\s+(.*))?", text, re.I | re.S)
        if m:
            name, rows = self.table(m.group(1))
            sets = parse_assignments(m.group(2))
            conds = parse_where(m.group(3))
            for r in rows:
                if self.matches(r, conds):
                    r.update(sets)
            return Reply()
        raise ValueError("unknown statement")

    def call(self, func, args):
        f = func.lower()
        if f in ("stop_service", "start_service"):
            if len(args) != 1 or args[0].upper() != "IMAP":
                raise ValueError("unknown service")
            value = self.start_imap() if f == "start_service" else self.stop_imap()
            return Reply(columns=[(func, COL_UINT32)], rows=[[str(value)]])
        if f == "addressbookadd":
            if len(args) != 3:
                raise ValueError("AddressBookAdd takes three arguments")
            _, rows = self.table("Contacts")
            rows.append({"Folder": args[0], "Name": args[1], "Email": args[2]})
            return Reply(columns=[(func, COL_UINT32)], rows=[["1"]])
        raise ValueError("unknown function " + func)

    # -- state file --
    def save(self):
        if not self.opts.state:
            return
        state = {
            "port": self.port,
            "fingerprint": self.fingerprint,
            "sessions": self.sessions,
            "log": self.log,
            "tables": self.tables,
            "imap": {"running": self.imap_row()["Running"] not in ("0", 0),
                     "listening": self.imap_listening,
                     "history": self.imap_history},
        }
        tmp = self.opts.state + ".tmp%d" % threading.get_ident()
        with open(tmp, "w") as f:
            json.dump(state, f, indent=1)
        os.replace(tmp, self.opts.state)

    def record(self, entry):
        with self.lock:
            self.log.append(entry)
            self.save()


def parse_knob(text, what):
    needle, sep, value = text.rpartition("=")
    if not sep or not needle:
        raise SystemExit("--%s needs TEXT=VALUE" % what)
    return needle, value


# ---- one connection ---------------------------------------------------------

def recv_exact(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise Closed()
        data += chunk
    return data


def login(server, conn, peer):
    o = server.opts

    def step(n):
        if o.close_at == n:
            raise Closed()

    entry = {"login": None, "peer": peer}
    first = recv_exact(conn, 1)
    entry["hello"] = first.hex()
    step(2)
    conn.sendall(bytes.fromhex(o.methods))
    method = recv_exact(conn, 2)
    entry["method"] = method.hex()
    step(5)
    # Each event is recorded before the answer goes out, so a client that
    # has its answer finds the record in place.
    if o.refuse_at_step5:
        entry["accepted"] = False
        entry["refused_at"] = 5
        server.record(entry)
        conn.sendall(b"\x02")
        return False
    conn.sendall(b"\x01")
    creds = []
    for _ in range(2):
        (length,) = struct.unpack(">I", recv_exact(conn, 4))
        if length == 0 or length > MAX_CREDENTIAL:
            entry["error"] = "bad credential length %d" % length
            server.record(entry)
            raise Closed()
        raw = recv_exact(conn, length)
        if raw[-1:] != b"\0":
            entry["error"] = "credential without NUL"
            server.record(entry)
            raise Closed()
        creds.append(raw[:-1].decode("utf-8", errors="replace"))
    entry["login"], password = creds
    entry["password"] = password
    step(8)
    ok = not o.refuse_login
    if o.admin:
        user, _, pw = o.admin.partition(":")
        ok = ok and entry["login"] == user and password == pw
    if not ok:
        entry["accepted"] = False
        entry["refused_at"] = 8
        server.record(entry)
        conn.sendall(b"\x00")
        return False
    conn.sendall(b"\x01")
    with server.lock:
        server.sessions += 1
        session_id = 0x1000 + server.sessions
    step(9)
    conn.sendall(struct.pack(">I", session_id))
    step(10)
    conn.sendall(bytes([o.version & 0xFF]))
    step(11)
    conn.sendall(struct.pack(">H", 0))
    step(12)
    conn.sendall(struct.pack(">HHH", 6, 7, 3))
    hello = recv_exact(conn, 1)
    name = recv_exact(conn, 32)
    entry["client_hello"] = hello.hex()
    entry["client"] = name.split(b"\0", 1)[0].decode("utf-8", errors="replace")
    entry["client_raw"] = name.hex()
    step(17)
    entry["accepted"] = True
    entry["session_id"] = session_id
    server.record(entry)
    conn.sendall(b"\x01")
    if method[1] == 0x81:
        step(18)
        conn.sendall(struct.pack(">I", o.update_key))
    return True


def serve_statements(server, conn):
    while True:
        try:
            head = recv_exact(conn, 12)
        except Closed:
            return
        marker, r1, r2, r3, length, zero = struct.unpack(">BBBBII", head)
        if marker != 1 or (r1, r2, r3) != (0, 0, 0) or zero != 0 or length == 0 or length > MAX_STATEMENT:
            server.record({"frame_error": head.hex()})
            return
        raw = recv_exact(conn, length)
        if raw[-1:] != b"\0" or b"\0" in raw[:-1]:
            server.record({"frame_error": "statement not ended by one NUL", "bytes": raw[:64].hex()})
            return
        text = raw[:-1].decode("utf-8", errors="replace")
        server.hold(text)
        with server.lock:
            reply = server.execute(text)
            entry = {"statement": text}
            entry.update(reply.record())
            if hasattr(reply, "why"):
                entry["why"] = reply.why
            cut = server.cut_after(text)
            if cut:
                entry["cut"] = True
            server.log.append(entry)
            server.save()
        if cut:
            return
        conn.sendall(reply.raw if reply.raw is not None else frame_reply(reply))
        if reply.close:
            if reply.notify:
                conn.unwrap()
            return


def handle(server, ctx, sock, addr):
    peer = "%s:%d" % addr
    try:
        sock.settimeout(server.opts.idle_timeout)
        conn = ctx.wrap_socket(sock, server_side=True)
    except (ssl.SSLError, OSError) as e:
        server.record({"tls_error": str(e), "peer": peer})
        sock.close()
        return
    try:
        if login(server, conn, peer):
            serve_statements(server, conn)
    except (Closed, ssl.SSLError, OSError, socket.timeout):
        pass
    finally:
        try:
            conn.close()
        except OSError:
            pass


def udp_loop(server, udp):
    while True:
        try:
            data, addr = udp.recvfrom(2048)
        except OSError:
            return
        server.record({"udp": data.hex(), "from": "%s:%d" % addr})
        for hexbytes in server.opts.update:
            try:
                udp.sendto(bytes.fromhex(hexbytes), addr)
            except OSError:
                pass


def make_certificate(workdir):
    cert = os.path.join(workdir, "standin-cert.pem")
    key = os.path.join(workdir, "standin-key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
                    "-subj", "/CN=tinydb-standin", "-keyout", key, "-out", cert],
                   check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return cert, key


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    p = argparse.ArgumentParser(description="stand-in administration-database server")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=44337, help="0 picks a free port")
    p.add_argument("--port-file", help="write the listening port here once ready")
    p.add_argument("--cert"), p.add_argument("--key")
    p.add_argument("--workdir", help="where a generated certificate goes (default: a temp dir)")
    p.add_argument("--tables", help="JSON object of initial tables (replaces the named defaults)")
    p.add_argument("--state", help="JSON file rewritten after every login and statement")
    p.add_argument("--admin", help="USER:PASSWORD accepted at login (default: any)")
    p.add_argument("--refuse-login", action="store_true", help="answer every login with 0x00")
    p.add_argument("--refuse-at-step5", action="store_true", help="answer the method choice with 0x02")
    p.add_argument("--methods", default="0100", help="hex bytes offered after the client's first byte")
    p.add_argument("--version", type=int, default=PROTO_VERSION, help="protocol version sent")
    p.add_argument("--close-at", type=int, default=0,
                   help="drop the connection instead of sending login step N (2,5,8,9,10,11,12,17,18)")
    p.add_argument("--update-key", type=lambda s: int(s, 0), default=0x5EED1234)
    p.add_argument("--update", action="append", default=[],
                   help="hex datagram sent back for every datagram received (repeatable)")
    p.add_argument("--fail", action="append", default=[],
                   help="TEXT=STATUS[:ERRNO]: a statement containing TEXT gets that status")
    p.add_argument("--shape", action="append", default=[],
                   help="TEXT=norow|tworows: reshape the row set of a statement containing TEXT")
    p.add_argument("--raw-once", action="append", default=[],
                   help="like --raw, for the first matching statement only")
    p.add_argument("--raw", action="append", default=[],
                   help="TEXT=HEX[+close|+notify]|close: send HEX as the whole reply, then drop the "
                        "connection (+notify: after a TLS close-notify), or drop it at once")
    p.add_argument("--hold", action="append", default=[],
                   help="TEXT=FILE: a statement containing TEXT is answered only once FILE exists")
    p.add_argument("--cut-after", action="append", default=[],
                   help="TEXT=N[+]: the Nth statement containing TEXT (N+: also every later one) is "
                        "carried out, then the connection drops without its answer")
    p.add_argument("--refuse-imap-port", type=int, action="append", default=[],
                   help="start_service answers 0 while an IMAP binding uses this port")
    p.add_argument("--imap-dir", help="Dovecot instance directory (tests/support/dovecot.sh create)")
    p.add_argument("--add-logins", action="store_true",
                   help="with --imap-dir, every inserted user also becomes a login of the instance")
    p.add_argument("--imap-port-map", action="append", default=[],
                   help="BOUND=REAL: the Dovecot instance listens on REAL for binding port BOUND")
    p.add_argument("--dovecot-script", default=os.path.join(here, "..", "support", "dovecot.sh"))
    p.add_argument("--idle-timeout", type=float, default=120.0)
    opts = p.parse_args()

    server = Server(opts)
    tmp = None
    if not opts.cert:
        workdir = opts.workdir or tempfile.mkdtemp(prefix="standin")
        tmp = None if opts.workdir else workdir
        opts.cert, opts.key = make_certificate(workdir)
    with open(opts.cert) as f:
        der = ssl.PEM_cert_to_DER_cert(f.read())
    digest = hashlib.sha1(der).hexdigest()
    server.fingerprint = ":".join(digest[i:i + 2] for i in range(0, len(digest), 2))

    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.minimum_version = ssl.TLSVersion.TLSv1
    ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
    ctx.options |= ssl.OP_IGNORE_UNEXPECTED_EOF
    ctx.load_cert_chain(opts.cert, opts.key or opts.cert)

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((opts.host, opts.port))
    listener.listen(16)
    server.port = listener.getsockname()[1]
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind((opts.host, server.port))
    threading.Thread(target=udp_loop, args=(server, udp), daemon=True).start()

    def terminate(signum, frame):
        raise SystemExit(0)
    signal.signal(signal.SIGTERM, terminate)
    signal.signal(signal.SIGINT, terminate)

    try:
        with server.lock:
            if server.imap_row()["Running"] not in ("0", 0):
                server.imap_row()["Running"] = "0"
                server.imap_history = []
                server.start_imap()
                server.imap_history = []
            server.save()
        if opts.port_file:
            with open(opts.port_file + ".tmp", "w") as f:
                f.write("%d\n" % server.port)
            os.replace(opts.port_file + ".tmp", opts.port_file)
        while True:
            sock, addr = listener.accept()
            threading.Thread(target=handle, args=(server, ctx, sock, addr), daemon=True).start()
    finally:
        with server.lock:
            if server.dovecot_started:
                server.stop_imap()
                server.save()
        listener.close()
        udp.close()
        if tmp:
            for name in os.listdir(tmp):
                os.unlink(os.path.join(tmp, name))
            os.rmdir(tmp)


if __name__ == "__main__":
    main()
