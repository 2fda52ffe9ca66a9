#!/usr/bin/env python3
"""A second IMAP session (LOGIN) that changes one folder while another session
may be reading it, then logs out:
  imapchange.py LOGIN PASSWORD PORT FOLDER append FILE FLAGS DATE
      appends the bytes of FILE with FLAGS (e.g. "\\Flagged", may be empty)
      and the internal date DATE ("dd-Mon-yyyy hh:mm:ss +zzzz")
  imapchange.py LOGIN PASSWORD PORT FOLDER expunge N
      marks message N deleted and expunges it
Prints the folder's message count after the change."""
import imaplib
import sys


def quote(name):
    return '"' + name.replace("\\", "\\\\").replace('"', '\\"') + '"'


def main():
    login, password, port, folder, action = sys.argv[1:6]
    m = imaplib.IMAP4("127.0.0.1", int(port))
    m.login(login, password)
    if action == "append":
        path, flags, date = sys.argv[6:9]
        with open(path, "rb") as f:
            body = f.read()
        typ, data = m.append(quote(folder), "(" + flags + ")", '"' + date + '"', body)
        if typ != "OK":
            sys.exit("append failed: %r" % data)
    elif action == "expunge":
        typ, data = m.select(quote(folder))
        if typ != "OK":
            sys.exit("select failed: %r" % data)
        typ, data = m.store(sys.argv[6], "+FLAGS.SILENT", "(\\Deleted)")
        if typ != "OK":
            sys.exit("store failed: %r" % data)
        typ, data = m.expunge()
        if typ != "OK":
            sys.exit("expunge failed: %r" % data)
    else:
        sys.exit("unknown action " + action)
    typ, data = m.status(quote(folder), "(MESSAGES)")
    print(data[0].decode())
    m.logout()


if __name__ == "__main__":
    main()
