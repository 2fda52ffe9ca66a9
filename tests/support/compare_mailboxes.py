#!/usr/bin/env python3
"""Compares the mailboxes of users on two IMAP servers on 127.0.0.1, message by
message: the bytes of BODY[], the flags (without \\Recent) and INTERNALDATE.

    compare_mailboxes.py SOURCE_PORT TARGET_PORT LOGIN:PASSWORD [LOGIN:PASSWORD ...]

Both sides log in with LOGIN. Prints one line per folder and exits 1 on any
difference."""
import imaplib
import re
import sys

LIST_RE = re.compile(rb'\((?P<attrs>[^)]*)\) (?P<sep>"[^"]*"|NIL) (?P<name>.*)$')


def folders(m):
    typ, data = m.list('""', "*")
    if typ != "OK":
        raise SystemExit("LIST failed")
    out = []
    i = 0
    while i < len(data):
        item = data[i]
        if isinstance(item, tuple):  # name sent as a literal
            head, name = item
            attrs = LIST_RE.match(head + b'""').group("attrs")
        else:
            mt = LIST_RE.match(item)
            attrs, name = mt.group("attrs"), mt.group("name")
            if name.startswith(b'"'):
                name = name[1:-1].replace(b'\\"', b'"').replace(b"\\\\", b"\\")
        i += 1
        if b"\\noselect" in attrs.lower():
            continue
        out.append(name.decode("ascii", "replace"))
    return sorted(out)


def quote(name):
    return '"' + name.replace("\\", "\\\\").replace('"', '\\"') + '"'


def messages(m, folder):
    typ, data = m.select(quote(folder), readonly=True)
    if typ != "OK":
        return None
    if int(data[0]) == 0:
        return []
    typ, data = m.fetch("1:*", "(INTERNALDATE FLAGS BODY.PEEK[])")
    out = []
    for item in data:
        if not isinstance(item, tuple):
            continue
        head = item[0].decode("latin-1")
        date = re.search(r'INTERNALDATE "([^"]*)"', head).group(1)
        flags = sorted(f for f in re.search(r"FLAGS \(([^)]*)\)", head).group(1).split() if f != "\\Recent")
        out.append((item[1], flags, date))
    return out


def main():
    sport, tport = int(sys.argv[1]), int(sys.argv[2])
    ok = True
    total = 0
    for cred in sys.argv[3:]:
        login, password = cred.split(":", 1)
        s = imaplib.IMAP4("127.0.0.1", sport)
        t = imaplib.IMAP4("127.0.0.1", tport)
        s._encoding = t._encoding = "utf-8"  # non-ASCII passwords go out as UTF-8
        s.login(login, password)
        t.login(login, password)
        for folder in folders(s):
            a, b = messages(s, folder), messages(t, folder)
            if b is None:
                print("%s %s: missing on the target" % (login, folder))
                ok = False
                continue
            same = a == b
            total += len(a)
            print("%s %s: %d messages %s" % (login, folder, len(a), "identical" if same else "DIFFER (%d on the target)" % len(b)))
            ok = ok and same
        s.logout()
        t.logout()
    print("%d messages compared: %s" % (total, "all identical" if ok else "differences found"))
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
