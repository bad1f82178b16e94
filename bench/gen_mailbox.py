#!/usr/bin/env python3
"""Write a deterministic mbox of generated messages for the search benchmarks.

  gen_mailbox.py OUTPUT [--count 2000] [--seed 1] [--absent WORD]

The messages mix sizes from about 1 KB to 200 KB and shapes: plain text, quoted-printable and base64 text
bodies, multipart/alternative (plain + HTML), multipart/mixed with base64 attachments (sometimes before the
text part), nested multiparts, encoded-word subjects and senders in several charsets. The same count and seed
always give the same file. No message contains WORD (ignoring case) anywhere, raw or decoded, so a search
for it walks the whole mailbox and matches nothing; the script checks this and exits 1 if it ever fails.
"""

import argparse
import base64
import quopri
import random
import sys

DEFAULT_ABSENT = "zyxwvutsrqponmlk"

WORDS = """the of and to in is that for it as was with be by on not he this are or his from at which but have
an they you were her she there been one all we their has would when if so no will more can out up who them
some about into than its only other time new could these two may first then any like my now over such our man
me even most made after also did many before must through back years where much your way well down should
because each just those people how too little state good very make world still own see men work long get here
between both life being under never day same another know while last might us great old year off come since
against go came right used take three invoice meeting report budget quarter schedule project review release
delivery contract payment account order shipment customer supplier team office agenda minutes proposal draft
summary update change request approval deadline morning evening monday tuesday wednesday thursday friday
garden holiday weather coffee lunch dinner ticket flight hotel museum concert library station bridge river
market""".split()

# Words with letters outside ASCII, per charset they can be written in.
LATIN1_WORDS = ["caf\u00e9", "na\u00efve", "r\u00e9sum\u00e9", "Gr\u00fc\u00dfe", "M\u00fcnchen", "se\u00f1or",
                "fa\u00e7ade", "\u00e9t\u00e9", "K\u00f6ln", "\u00e5r"]
CYRILLIC_WORDS = ["\u043f\u0440\u0438\u0432\u0435\u0442", "\u043e\u0442\u0447\u0451\u0442",
                  "\u0441\u0447\u0451\u0442", "\u0432\u0441\u0442\u0440\u0435\u0447\u0430"]
CJK_WORDS = ["\u4f1a\u8bae", "\u62a5\u544a", "\u53d1\u7968", "\u9879\u76ee"]
NAMES = ["Alice Martin", "Bob Stone", "Carol Diaz", "Dave Kim", "Eve Novak", "Frank Weber", "Grace Hall",
         "Heidi M\u00fcller", "Ivan Petrov", "Judy Chen"]


class Gen:
    def __init__(self, seed):
        self.r = random.Random(seed)

    def words(self, n, extra=()):
        pool = WORDS + list(extra)
        return " ".join(self.r.choice(pool) for _ in range(n))

    def text_lines(self, size, extra=()):
        """Prose of about size characters, lines of 40 to 76 characters."""
        lines, total = [], 0
        while total < size:
            line = self.words(self.r.randint(6, 12), extra)
            lines.append(line)
            total += len(line) + 1
        return lines

    def html(self, size):
        out = ["<html><head><title>" + self.words(3) + "</title></head><body>"]
        total = 0
        while total < size:
            para = "<p>" + self.words(self.r.randint(8, 14)) + " <b>" + self.r.choice(WORDS) + "</b></p>"
            out.append(para)
            total += len(para) + 1
        out.append("</body></html>")
        return out

    def encoded_word(self, text, charset):
        data = text.encode(charset)
        if self.r.random() < 0.5:
            return "=?%s?B?%s?=" % (charset, base64.b64encode(data).decode())
        q = quopri.encodestring(data, header=True).decode().replace("\n", "")
        return "=?%s?Q?%s?=" % (charset, q)

    def subject(self):
        kind = self.r.random()
        plain = self.words(self.r.randint(2, 6)).capitalize()
        if kind < 0.4:
            return plain
        if kind < 0.65:
            return plain + " " + self.encoded_word(self.r.choice(LATIN1_WORDS), "iso-8859-1")
        if kind < 0.8:
            return self.encoded_word(plain + " " + self.r.choice(LATIN1_WORDS + CYRILLIC_WORDS), "utf-8")
        if kind < 0.9:
            return self.encoded_word(" ".join(self.r.choice(CYRILLIC_WORDS) for _ in range(3)), "koi8-r")
        return self.encoded_word(plain + " " + self.r.choice(CJK_WORDS), "utf-8")

    def address(self):
        name = self.r.choice(NAMES)
        local = name.split()[0].lower().encode("ascii", "ignore").decode()
        addr = "%s.%d@example.%s" % (local, self.r.randint(1, 99), self.r.choice(["com", "org", "net"]))
        if all(ord(c) < 128 for c in name):
            return '"%s" <%s>' % (name, addr)
        return "%s <%s>" % (self.encoded_word(name, "utf-8"), addr)

    def header(self, index):
        day = 1 + index % 28
        lines = [
            "Return-Path: <bounce-%d@example.net>" % index,
            "Received: from mx%d.example.net (mx%d.example.net [192.0.2.%d])\n\tby pop.example.org with ESMTPS id"
            " %08x\n\tfor <user@example.org>; %s, %d Mar 2024 %02d:%02d:%02d +0100"
            % (index % 7, index % 7, 1 + index % 250, self.r.getrandbits(32),
               ["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"][index % 7], day, index % 24, index % 60,
               (index * 7) % 60),
            "From: " + self.address(),
            "To: " + ",\n ".join(self.address() for _ in range(self.r.randint(1, 4))),
        ]
        if self.r.random() < 0.3:
            lines.append("Cc: " + self.address())
        lines += [
            "Subject: " + self.subject(),
            "Date: %s, %d Mar 2024 %02d:%02d:%02d +0100" % (["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"][index % 7],
                                                           day, index % 24, index % 60, (index * 7) % 60),
            "Message-ID: <%d.%08x@example.net>" % (index, self.r.getrandbits(32)),
            "MIME-Version: 1.0",
        ]
        return lines

    def text_leaf(self, size):
        """Header lines and body lines of one text/plain leaf, in one of several encodings."""
        kind = self.r.random()
        if kind < 0.35:
            return ["Content-Type: text/plain; charset=us-ascii", "Content-Transfer-Encoding: 7bit"], \
                self.text_lines(size)
        if kind < 0.65:
            charset = self.r.choice(["iso-8859-1", "utf-8", "windows-1252"])
            text = "\n".join(self.text_lines(size, LATIN1_WORDS)) + "\n"
            body = quopri.encodestring(text.encode(charset)).decode("ascii").split("\n")
            return ["Content-Type: text/plain; charset=" + charset, "Content-Transfer-Encoding: quoted-printable"], \
                body[:-1] if body and body[-1] == "" else body
        charset = self.r.choice(["utf-8", "koi8-r"])
        extra = CYRILLIC_WORDS if charset == "koi8-r" else LATIN1_WORDS + CYRILLIC_WORDS + CJK_WORDS
        text = "\n".join(self.text_lines(size, extra)) + "\n"
        return ["Content-Type: text/plain; charset=" + charset, "Content-Transfer-Encoding: base64"], \
            self.base64_lines(text.encode(charset))

    @staticmethod
    def base64_lines(data):
        encoded = base64.b64encode(data).decode()
        return [encoded[i:i + 76] for i in range(0, len(encoded), 76)]

    def attachment(self, size):
        name, ctype = self.r.choice([("report.pdf", "application/pdf"), ("photo.jpg", "image/jpeg"),
                                     ("data.zip", "application/zip"), ("sheet.xlsx", "application/octet-stream")])
        head = ["Content-Type: %s; name=\"%s\"" % (ctype, name), "Content-Transfer-Encoding: base64",
                "Content-Disposition: attachment; filename=\"%s\"" % name]
        return head, self.base64_lines(self.r.randbytes(size * 3 // 4))

    def boundary(self, index, depth):
        return "=_bench_%d_%d_%08x" % (index, depth, self.r.getrandbits(32))

    @staticmethod
    def multipart(subtype, boundary, parts):
        head = ["Content-Type: multipart/%s; boundary=\"%s\"" % (subtype, boundary)]
        body = ["This is a multi-part message in MIME format.", ""]
        for part_head, part_body in parts:
            body += ["--" + boundary] + part_head + [""] + part_body
        body += ["--" + boundary + "--", ""]
        return head, body

    def message(self, index, size):
        shape = self.r.random()
        if size < 6000 or shape < 0.3:
            head, body = self.text_leaf(size)
        elif shape < 0.5:
            text = self.text_leaf(size // 2)
            html = (["Content-Type: text/html; charset=utf-8", "Content-Transfer-Encoding: 7bit"],
                    self.html(size // 2))
            head, body = self.multipart("alternative", self.boundary(index, 1), [text, html])
        elif shape < 0.85:
            text_size = min(size // 4, 8000)
            parts = [self.text_leaf(text_size)]
            rest = size - text_size
            count = self.r.randint(1, 3)
            parts += [self.attachment(rest // count) for _ in range(count)]
            if self.r.random() < 0.2:  # the text part after an attachment
                parts.reverse()
            head, body = self.multipart("mixed", self.boundary(index, 1), parts)
        else:
            text_size = min(size // 4, 8000)
            alt = self.multipart("alternative", self.boundary(index, 2), [
                self.text_leaf(text_size),
                (["Content-Type: text/html; charset=utf-8", "Content-Transfer-Encoding: 7bit"],
                 self.html(text_size))])
            head, body = self.multipart("mixed", self.boundary(index, 1),
                                        [alt, self.attachment(size - 2 * text_size)])
        return self.header(index) + head + [""] + body

    def size(self):
        band = self.r.random()
        if band < 0.6:
            return self.r.randint(1000, 10000)
        if band < 0.85:
            return self.r.randint(10000, 50000)
        return self.r.randint(50000, 200000)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0], epilog=__doc__.split("\n\n", 1)[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("output", help="mbox file to write")
    parser.add_argument("--count", type=int, default=2000, help="number of messages (default 2000)")
    parser.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    parser.add_argument("--absent", default=DEFAULT_ABSENT, help="word no message may contain")
    args = parser.parse_args()
    absent = args.absent.lower().encode()
    gen = Gen(args.seed)
    total = 0
    with open(args.output, "wb") as out:
        for index in range(1, args.count + 1):
            lines = gen.message(index, gen.size())
            # mbox: a body line starting with "From " would start a new message.
            body = "\n".join(">" + l if l.startswith("From ") else l for l in lines) + "\n"
            data = body.encode("utf-8")
            if absent in data.lower() or absent in "\n".join(lines).lower().encode("utf-8"):
                sys.exit("gen_mailbox: message %d contains %r; choose another --absent word" % (index, args.absent))
            out.write(b"From bench@example.net Fri Mar  1 12:00:00 2024\n" + data + b"\n")
            total += len(data)
    print("%s: %d messages, %.1f MB" % (args.output, args.count, total / 1e6), file=sys.stderr)


if __name__ == "__main__":
    main()
