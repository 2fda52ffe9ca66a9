#!/usr/bin/env python3
"""Prints every message of one folder, read over IMAP with LOGIN, in a framed form:
for each message a line "MSG <size> <internal date>", a line of flags, then the
body bytes and a newline. Folder names are given in UTF-8."""
import base64
import imaplib
import re
import sys


def mutf7(name):
    out, run = [], []

    def flush():
        if run:
            raw = "".join(run).encode("utf-16-be")
            out.append("&" + base64.b64encode(raw).decode().rstrip("=").replace("/", ",") + "-")
            run.clear()

    for ch in name:
        if 0x20 <= ord(ch) <= 0x7E:
            flush()
            out.append("&-" if ch == "&" else ch)
        else:
            run.append(ch)
    flush()
    return "".join(out)


def quote(name):
    return '"' + name.replace("\\", "\\\\").replace('"', '\\"') + '"'


def main():
    login, password, port, folder = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    m = imaplib.IMAP4("127.0.0.1", port)
    m.login(login, password)
    typ, data = m.select(quote(mutf7(folder)), readonly=True)
    if typ != "OK":
        sys.exit("select failed: %r" % data)
    count = int(data[0])
    out = sys.stdout.buffer
    if count:
        typ, data = m.fetch("1:*", "(INTERNALDATE FLAGS BODY.PEEK[])")
        for item in data:
            if not isinstance(item, tuple):
                continue
            head, body = item
            head = head.decode("latin-1")
            date = re.search(r'INTERNALDATE "([^"]*)"', head).group(1)
            flags = re.search(r"FLAGS \(([^)]*)\)", head).group(1).split()
            flags = sorted(f for f in flags if f != "\\Recent")
            out.write(b"MSG %d %s\n%s\n" % (len(body), date.encode(), " ".join(flags).encode()))
            out.write(body + b"\n")
    m.logout()


if __name__ == "__main__":
    main()
