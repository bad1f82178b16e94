#!/usr/bin/env python3
"""The search a user would otherwise write in Python: poplib and the email package.

  py_search.py HOST PORT USER PASS WORD [--policy default|compat32] [--lines 125]

Logs in with USER/PASS (plain text on port 110, TLS from the first byte on any other port), lists the UIDs,
fetches the head of every message with TOP, and prints the UID of each message whose decoded subject or first
text/* leaf holds WORD, ignoring case; exits 1 when nothing matched. This is the yardstick for the program's
own search, so it does the same work: the same commands, the subject, the first text leaf, its charset.
"""

import argparse
import email
import email.header
import email.policy
import poplib
import sys


def subject_of(msg, compat):
    raw = msg["subject"]
    if raw is None:
        return ""
    if not compat:
        return str(raw)
    try:
        return str(email.header.make_header(email.header.decode_header(raw)))
    except (LookupError, UnicodeError, email.errors.HeaderParseError):
        return str(raw)


def first_text(msg, compat):
    for part in msg.walk():
        if part.is_multipart():
            continue
        if part.get_content_maintype() != "text":
            continue
        if not compat:
            try:
                return part.get_content()
            except (LookupError, UnicodeError, KeyError):
                pass
        data = part.get_payload(decode=True) or b""
        charset = part.get_content_charset() or "us-ascii"
        try:
            return data.decode(charset, errors="replace")
        except LookupError:
            return data.decode("latin-1")
    return ""


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("host")
    parser.add_argument("port", type=int)
    parser.add_argument("user")
    parser.add_argument("password")
    parser.add_argument("word")
    parser.add_argument("--policy", choices=("default", "compat32"), default="default")
    parser.add_argument("--lines", type=int, default=125)
    args = parser.parse_args()
    compat = args.policy == "compat32"
    policy = email.policy.compat32 if compat else email.policy.default
    word = args.word.lower()

    pop = poplib.POP3(args.host, args.port) if args.port == 110 else poplib.POP3_SSL(args.host, args.port)
    pop.user(args.user)
    pop.pass_(args.password)
    found = 0
    for entry in pop.uidl()[1]:
        number, uid = entry.decode("ascii", "replace").split(" ", 1)
        lines = pop.top(int(number), args.lines)[1]
        msg = email.message_from_bytes(b"\r\n".join(lines) + b"\r\n", policy=policy)
        if word in subject_of(msg, compat).lower() or word in first_text(msg, compat).lower():
            print(uid, flush=True)
            found += 1
    pop.quit()
    return 0 if found else 1


if __name__ == "__main__":
    sys.exit(main())
