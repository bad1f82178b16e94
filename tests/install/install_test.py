#!/usr/bin/env python3
"""Checks of what is installed beside the program: the manual page, the bash completion, `cmake --install`.

  install_test.py {manpage|completion|install} --exe MAILDIG --source SRC --build BUILD

Exits 0 when the check passes, 1 with the reasons when it fails, 77 (skipped) when a tool it needs is missing.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def need(program):
    if shutil.which(program) is None:
        print("skipped: %s is not installed (tools/setup.sh installs it)" % program)
        sys.exit(SKIP)


def help_options(exe):
    """The option words of the help text's usage block, e.g. -a and --action."""
    usage = subprocess.run([exe, "--help"], capture_output=True, text=True, check=True).stdout
    block = usage.split("\n\n")[0]
    return sorted(set(re.findall(r"(?<![\w-])(--?[a-z][a-z-]*)", block.split("\n", 2)[2])))


def exit_messages(source):
    """The message of each exit code, from the program's table: a list of strings, index = code."""
    text = open(os.path.join(source, "src/cli/quit.cpp")).read()
    table = re.search(r"exitMessages\[[^]]*\] = \{(.*?)\n\};", text, re.S).group(1)
    messages, current = [], ""
    # Adjacent literals form one message; a comma ends it.
    for literal, comma in re.findall(r'"((?:[^"\\]|\\.)*)"|(,)', table):
        if comma:
            messages.append(current.encode().decode("unicode_escape"))
            current = ""
        else:
            current += literal
    return messages


def section(rendered, name):
    match = re.search(r"^%s\n(.*?)(?=^[A-Z][A-Z ]+\n|\Z)" % re.escape(name), rendered, re.S | re.M)
    return " ".join(match.group(1).split()) if match else ""


def has_word(text, word):
    return re.search(r"(?<![\w-])%s(?![\w-])" % re.escape(word), text) is not None


def manpage(args):
    need("mandoc")
    page = os.path.join(args.source, "doc/maildig.1")
    lint = subprocess.run(["mandoc", "-Tlint", page], capture_output=True, text=True)
    check(lint.returncode == 0 and not (lint.stdout + lint.stderr).strip(), "mandoc -Tlint: " + lint.stdout + lint.stderr)
    rendered = subprocess.run(["mandoc", "-Tascii", "-Owidth=300", page], capture_output=True, text=True,
                              check=True).stdout
    rendered = re.sub(".\b", "", rendered)
    for name in ("NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "FILES", "TLS", "EXAMPLES", "SEE ALSO"):
        check(section(rendered, name), "no section " + name)
    options = section(rendered, "OPTIONS")
    for option in help_options(args.exe):
        check(has_word(options, option), "option %s of the help text is missing in OPTIONS" % option)
    status = section(rendered, "EXIT STATUS")
    messages = exit_messages(args.source)
    check(len(messages) == 25, "the exit-code table was not read: %d messages" % len(messages))
    # Code 0 is never printed: a run that succeeds ends without a message.
    for code, message in enumerate(messages[1:], start=1):
        pieces = [p.strip() for p in re.split(r"%s|\n", message) if p.strip()]
        check(re.search(r"(?<!\d)%d %s" % (code, re.escape(pieces[0])), status),
              "EXIT STATUS lacks %d with %r" % (code, pieces[0]))
        for piece in pieces[1:]:
            check(piece in status, "EXIT STATUS lacks %r of code %d" % (piece, code))


def completion(args):
    need("bash")
    need("zsh")
    zsh = subprocess.run(["zsh", "-n", os.path.join(args.source, "completion/_maildig")], capture_output=True,
                         text=True)
    check(zsh.returncode == 0, "zsh -n _maildig: " + zsh.stderr)
    script = os.path.join(args.source, "completion/maildig.bash")
    scratch = tempfile.mkdtemp(prefix="maildig-completion-")
    try:
        for name in ("abc.cfg", "abd.cfg", "other"):
            open(os.path.join(scratch, name), "w").close()
        every = " ".join(help_options(args.exe))
        # Words as bash splits the line (COMP_WORDBREAKS makes "=" a word of its own) -> completions offered.
        cases = [
            (["--ra"], "--range"),
            (["--verb"], "--verbose"),
            (["-a", ""], "delete find view"),
            (["--action", "v"], "view"),
            (["-r", ""], "all first"),
            (["--range", "=", "a"], "all"),
            (["-c", scratch + "/ab"], scratch + "/abc.cfg " + scratch + "/abd.cfg"),
            (["--write", scratch + "/o"], scratch + "/other"),
            (["-f", ""], ""),
            (["-"], every),
        ]
        library = "/usr/share/bash-completion/bash_completion"
        for with_library in (False, True):
            if with_library and not os.path.exists(library):
                print("skipped: the bash-completion package is not installed (tools/setup.sh installs it)")
                sys.exit(SKIP)
            for words, expected in cases:
                line = "maildig " + " ".join(words).replace(" = ", "=")
                program = (("source %s\n" % library) if with_library else "") + """
source "$1"; shift
COMP_WORDS=(maildig "$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMP_LINE=$LINE; COMP_POINT=${#COMP_LINE}
COMPREPLY=()
_maildig maildig "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
printf '%s\\n' "${COMPREPLY[@]}"
"""
                run = subprocess.run(["bash", "-c", program, "bash", script] + words, capture_output=True, text=True,
                                     env=dict(os.environ, LINE=line))
                got = " ".join(sorted(w for w in run.stdout.split("\n") if w))
                check(run.returncode == 0 and got == expected,
                      "%s%r: got %r, expected %r %s" % ("bash-completion, " if with_library else "", line, got,
                                                         expected, run.stderr))
    finally:
        shutil.rmtree(scratch)


def install(args):
    stage = tempfile.mkdtemp(prefix="maildig-install-")
    try:
        common = ["bin/maildig", "share/man/man1/maildig.1.gz", "share/bash-completion/completions/maildig",
                  "share/doc/maildig/README.md", "share/doc/maildig/copyright", "share/doc/maildig/changelog.gz"]
        # zsh reads the system's completions from vendor-completions, everything else from site-functions.
        for prefix, zsh in (("/usr", "vendor-completions"), ("/opt/maildig", "site-functions")):
            run = subprocess.run(["cmake", "--install", args.build, "--prefix", prefix], capture_output=True,
                                 text=True, env=dict(os.environ, DESTDIR=stage))
            check(run.returncode == 0, "cmake --install --prefix %s: %s" % (prefix, run.stdout + run.stderr))
            root = stage + prefix
            found = sorted(os.path.relpath(os.path.join(d, f), root) for d, _, files in os.walk(root) for f in files)
            check(found == sorted(common + ["share/zsh/%s/_maildig" % zsh]), "installed under %s: %s" % (prefix, found))
            version = subprocess.run([root + "/bin/maildig", "--version"], capture_output=True, text=True)
            check(version.returncode == 0 and "maildig Version" in version.stdout, "installed maildig --version")
            if shutil.which("man"):
                where = subprocess.run(["man", "-w", "maildig"], capture_output=True, text=True,
                                       env=dict(os.environ, MANPATH=root + "/share/man"))
                check(where.stdout.strip() == root + "/share/man/man1/maildig.1.gz", "man -w: " + where.stdout)
    finally:
        shutil.rmtree(stage)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("check", choices=("manpage", "completion", "install"))
    parser.add_argument("--exe", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--build", required=True)
    args = parser.parse_args()
    globals()[args.check](args)
    for failure in failures:
        print("FAILED: " + failure)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
