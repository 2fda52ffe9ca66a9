#!/usr/bin/env python3
"""Writes a benchmark mailbox straight into a Maildir tree of the fs layout
(INBOX and every folder a directory under MAILDIR, "/" as hierarchy).

The mix: three quarters plain-text mails around 6 KB, a quarter with one
attachment of 20 to 300 KB, and one percent with an attachment of 1 to 8 MB,
spread over several folders, with random standard flags and internal dates
(the file's mtime). The same seed gives the same mailbox.

    corpus.py MAILDIR [--count N] [--seed S] [--big-mb M]

--big-mb M writes one extra message of M megabytes into INBOX (for the
memory check). Prints the number of messages and bytes written.
"""

import argparse
import base64
import os
import random
import time

FOLDERS = ["INBOX", "Sent", "Archive/2023", "Archive/2024", "Lists/dev-announce"]
FLAG_LETTERS = "DFRST"  # Draft, Flagged, Replied, Seen, Trashed: Maildir order
WORDS = ("the of and to in is for on with that by this be from at as are was "
         "mail server migration account folder message quota backup report "
         "meeting budget invoice schedule review project customer update").split()


def folder_dir(root, name):
    return os.path.join(root, *name.split("/"))


def text_block(rng, size):
    lines = []
    total = 0
    while total < size:
        line = " ".join(rng.choice(WORDS) for _ in range(rng.randint(6, 14)))
        lines.append(line)
        total += len(line) + 2
    return "\r\n".join(lines) + "\r\n"


def b64_block(rng, size):
    # size is the encoded size: what the message carries
    raw = rng.randbytes(size * 3 // 4)
    enc = base64.b64encode(raw)
    return b"\r\n".join(enc[i:i + 76] for i in range(0, len(enc), 76)) + b"\r\n"


def headers(rng, n, extra=""):
    return ("From: Sender {0} <sender{0}@example.test>\r\n"
            "To: user@example.test\r\n"
            "Subject: Benchmark message {1} {2}\r\n"
            "Date: Mon, 1 Jan 2024 10:00:00 +0000\r\n"
            "Message-ID: <bench-{1}@example.test>\r\n"
            "MIME-Version: 1.0\r\n{3}").format(rng.randint(1, 300), n,
                                               rng.choice(WORDS), extra)


def message(rng, n, attachment_size):
    body = text_block(rng, rng.randint(4000, 8000))
    if attachment_size == 0:
        head = headers(rng, n, "Content-Type: text/plain; charset=us-ascii\r\n\r\n")
        return (head + body).encode()
    boundary = "=_bench_%d" % n
    head = headers(rng, n, 'Content-Type: multipart/mixed; boundary="%s"\r\n\r\n' % boundary)
    parts = (head + "--%s\r\nContent-Type: text/plain\r\n\r\n" % boundary + body +
             "--%s\r\nContent-Type: application/octet-stream; name=\"file%d.bin\"\r\n"
             "Content-Transfer-Encoding: base64\r\n\r\n" % (boundary, n)).encode()
    return parts + b64_block(rng, attachment_size) + ("--%s--\r\n" % boundary).encode()


def write(root, folder, n, data, flags, mtime):
    d = folder_dir(root, folder)
    for sub in ("cur", "new", "tmp"):
        os.makedirs(os.path.join(d, sub), exist_ok=True)
    path = os.path.join(d, "cur", "%d.M%dP1.bench:2,%s" % (int(mtime), n, flags))
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (mtime, mtime))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("maildir")
    ap.add_argument("--count", type=int, default=2000)
    ap.add_argument("--seed", type=int, default=6)
    ap.add_argument("--big-mb", type=int, default=0)
    args = ap.parse_args()
    rng = random.Random(args.seed)
    total = 0
    base = time.mktime((2023, 1, 1, 0, 0, 0, 0, 0, -1))
    for n in range(args.count):
        r = rng.random()
        if r < 0.01:
            size = rng.randint(1 << 20, 8 << 20)
        elif r < 0.25:
            size = rng.randint(20 << 10, 300 << 10)
        else:
            size = 0
        data = message(rng, n, size)
        flags = "".join(c for c in FLAG_LETTERS if rng.random() < 0.3)
        write(args.maildir, rng.choice(FOLDERS), n, data, flags,
              base + rng.randint(0, 700 * 86400))
        total += len(data)
    count = args.count
    if args.big_mb:
        data = message(rng, count, args.big_mb << 20)
        write(args.maildir, "INBOX", count, data, "S", base)
        total += len(data)
        count += 1
    print(count, total)


if __name__ == "__main__":
    main()
