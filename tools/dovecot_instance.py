#!/usr/bin/env python3
"""Start and stop a private Dovecot POP3 instance on a loopback address, for tests and demos.

  dovecot_instance.py start --dir DIR --address 127.0.0.x --user U --password P --mbox FILE
                            [--plain-port 110] [--tls-port 995] [--stls yes|no] [--apop yes|no]
                            [--cert PEM --key PEM]
  dovecot_instance.py stop --dir DIR

start writes the instance's configuration, certificate, mail store, logs and pid file under DIR (created if
needed; an instance already running from DIR is stopped first), copies FILE (mbox format) in as the user's INBOX
so the listing order is the file order, starts `dovecot -c DIR/dovecot.conf`, and returns once the ports accept
connections. It prints nothing on success; on failure it prints the reason (and the instance log) on standard
error and exits 1. The system-wide configuration and service are never used or touched. The configuration is
written in the syntax of the installed Dovecot (`dovecot --version`): 2.3 or 2.4, which renamed many settings.

Ports: --plain-port (default 110) listens in plain text and offers STLS unless --stls no; --tls-port (default 995)
speaks TLS from the first byte with a self-signed certificate made at start (or the certificate chain and key of
--cert and --key, copied in). A port of 0 leaves that listener out.
TLS listeners need --stls yes (Dovecot offers STLS whenever TLS is configured). --apop yes puts an APOP time stamp
in the greeting and accepts APOP logins. Failed logins are answered at once (no delay). Login lines in the log
end with sni=<...>: the server name the client sent in its TLS handshake. Binding ports below 1024
needs root; Dovecot runs as root here and its mail processes as the user nobody.

Dovecot's unprivileged processes must reach the files: when some folder above DIR is not searchable by all
users (a private home folder), the instance lives in /tmp/maildig-dovecot-<hash of DIR> instead, and DIR holds
links to its dovecot.log and mail store.

stop stops exactly the instance whose pid file belongs to DIR (no-op when none runs) and removes what start made
there besides the configuration, the certificate and the log: the mail store, the state, the password file and
the key; an instance that lived under /tmp is removed entirely, with DIR's links to it.
"""

import argparse
import os
import hashlib
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

MAIL_USER = "nobody"
START_TIMEOUT = 20.0


def fail(message, log_dir=None):
    print("dovecot_instance: " + message, file=sys.stderr)
    if log_dir:
        log = os.path.join(log_dir, "dovecot.log")
        if os.path.exists(log):
            with open(log, errors="replace") as f:
                sys.stderr.write(f.read()[-4000:])
    sys.exit(1)


def read_pid(directory):
    try:
        with open(os.path.join(directory, "run", "master.pid")) as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return None


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    # A zombie is not running; its parent reaps it.
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(")")[-1].split()[0] != "Z"
    except OSError:
        return False


def find_dovecot():
    """The dovecot program: on PATH, or in the sbin folders that a normal user's PATH lacks."""
    extra = os.pathsep.join(["/usr/sbin", "/usr/local/sbin", "/sbin"])
    return shutil.which("dovecot", path=os.environ.get("PATH", "") + os.pathsep + extra)


def searchable(path):
    """Whether Dovecot's unprivileged processes can reach path (every folder on the way searchable by all)."""
    while path != "/":
        if not os.stat(path).st_mode & 0o001:
            return False
        path = os.path.dirname(path)
    return True


def instance_home(directory):
    """Where the instance really lives: DIR itself, or (when Dovecot's unprivileged processes cannot reach DIR,
    e.g. below a private home folder) a folder under /tmp named after DIR."""
    directory = os.path.abspath(directory)
    if searchable(directory):
        return directory
    digest = hashlib.sha1(directory.encode()).hexdigest()[:12]
    # /tmp itself, not $TMPDIR: the test command points TMPDIR at a private folder of its own.
    home = os.path.join("/tmp", "maildig-dovecot-" + digest)
    os.makedirs(home, mode=0o711, exist_ok=True)
    os.chmod(home, 0o711)
    if not searchable(home):
        fail("neither %s nor %s is reachable for Dovecot's unprivileged processes" % (directory, home))
    return home


def stop(directory):
    if not os.path.isdir(directory):
        return
    home = instance_home(directory)
    pid = read_pid(home)
    if pid is not None and alive(pid) and is_master(pid, home):
        os.kill(pid, signal.SIGTERM)
        deadline = time.time() + 10
        while time.time() < deadline and alive(pid):
            time.sleep(0.05)
        if alive(pid):
            os.kill(pid, signal.SIGKILL)
    remove_instance(directory, home)


def is_master(pid, home):
    """Whether pid really is the master of the instance living in home."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            cmdline = f.read().split(b"\0")
    except OSError:
        return False
    return os.path.join(home, "dovecot.conf").encode() in cmdline


def remove_instance(directory, home):
    """Removes the mail store, the state and the secrets of a stopped instance; all of it when it lived under
    /tmp for a DIR that Dovecot cannot reach."""
    directory = os.path.abspath(directory)
    if home != directory:
        shutil.rmtree(home, ignore_errors=True)
        for name in ("dovecot.log", "mail"):
            link = os.path.join(directory, name)
            if os.path.islink(link):
                os.remove(link)
        return
    for name in ("run", "state", "mail"):
        shutil.rmtree(os.path.join(home, name), ignore_errors=True)
    for name in ("passwd", "key.pem"):
        path = os.path.join(home, name)
        if os.path.exists(path):
            os.remove(path)


def port_open(address, port):
    try:
        with socket.create_connection((address, port), timeout=0.5):
            return True
    except OSError:
        return False


def dovecot_version(dovecot):
    """(major, minor) of the installed Dovecot, from `dovecot --version` ("2.3.19.1 (9b53...)", "2.4.1-4 ...")."""
    run = subprocess.run([dovecot, "--version"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, text=True)
    match = re.match(r"\s*(\d+)\.(\d+)", run.stdout)
    if run.returncode != 0 or not match:
        fail("cannot tell the Dovecot version from `dovecot --version`: " + run.stdout.strip())
    return int(match.group(1)), int(match.group(2))


# The settings that Dovecot 2.3 and 2.4 spell differently (2.4 renamed them, reshaped the password and user
# databases and replaced the one-letter %u variables); the rest of the configuration is the same for both.
# Placeholders: {d} the instance folder, {uid}/{gid} the mail user's.
SYNTAX = {
    (2, 3): {
        "version": "",
        "cleartext": "disable_plaintext_auth = no",
        "ssl_files": "ssl_cert = <{d}/cert.pem\nssl_key = <{d}/key.pem",
        "mail": "mail_location = mbox:{d}/mail/%u:INBOX={d}/mail/%u/inbox",
        "uidl": "pop3_uidl_format = %08Xu%08Xv",
        "login_log": "login_log_format_elements = user=<%u> method=%m rip=%r lip=%l mpid=%e %c "
                     "session=<%{{session}}> sni=<%{{local_name}}>",
        "passdb": "passdb {{\n  driver = passwd-file\n  args = scheme=PLAIN username_format=%u {d}/passwd\n}}",
        "userdb": "userdb {{\n  driver = static\n  args = uid={uid} gid={gid} home={d}/mail/%u\n}}",
    },
    (2, 4): {
        "version": "dovecot_config_version = 2.4.0\ndovecot_storage_version = 2.4.0",
        "cleartext": "auth_allow_cleartext = yes",
        "ssl_files": "ssl_server_cert_file = {d}/cert.pem\nssl_server_key_file = {d}/key.pem",
        "mail": "mail_driver = mbox\nmail_path = {d}/mail/%{{user}}\nmail_inbox_path = {d}/mail/%{{user}}/inbox",
        "uidl": "pop3_uidl_format = %{{uid | hex(8)}}%{{uidvalidity | hex(8)}}",
        "login_log": "login_log_format_elements = user=<%{{user}}> method=%{{mechanism}} rip=%{{remote_ip}} "
                     "lip=%{{local_ip}} mpid=%{{mail_pid}} %{{secured}} session=<%{{session}}> "
                     "sni=<%{{local_name}}>",
        "passdb": "passdb passwd-file {{\n  passwd_file_path = {d}/passwd\n  default_password_scheme = PLAIN\n}}",
        "userdb": "userdb static {{\n  fields {{\n    uid = {uid}\n    gid = {gid}\n"
                  "    home = {d}/mail/%{{user}}\n  }}\n}}",
    },
}


def syntax_for(version):
    """The spellings for a Dovecot version: 2.3's up to 2.3, 2.4's from 2.4 on."""
    if version < (2, 3):
        fail("Dovecot %d.%d is too old (2.3 or later is needed)" % version)
    return SYNTAX[(2, 3)] if version < (2, 4) else SYNTAX[(2, 4)]


def write_config(args, d, version):
    nobody = pwd.getpwnam(MAIL_USER)
    # The listeners take their address from `listen`; port 0 leaves one out.
    listeners = ["  inet_listener pop3 {\n    port = %d\n  }" % args.plain_port,
                 "  inet_listener pop3s {\n    port = %d%s\n  }"
                 % (args.tls_port, "\n    ssl = yes" if args.tls_port else "")]
    tls = args.stls == "yes"
    mechanisms = "plain apop" if args.apop == "yes" else "plain"
    syntax = {key: value.format(d=d, uid=nobody.pw_uid, gid=nobody.pw_gid)
              for key, value in syntax_for(version).items()}
    conf = """{version}
# Private POP3 instance written by tools/dovecot_instance.py for Dovecot {major}.{minor}; everything lives under
# this folder.
instance_name = maildig-{name}
base_dir = {d}/run
state_dir = {d}/state
listen = {address}
protocols = pop3
log_path = {d}/dovecot.log
info_log_path = {d}/dovecot.log
ssl = {ssl}
{sslfiles}
{cleartext}
auth_mechanisms = {mechanisms}
auth_failure_delay = 0
{login_log}
auth_cache_size = 0
login_trusted_networks =
default_login_user = dovenull
default_internal_user = dovecot
first_valid_uid = {uid}
last_valid_uid = 0
first_valid_gid = 0
{mail}
mbox_write_locks = fcntl
mail_fsync = never
{uidl}
# A message that carries an X-UIDL header keeps that UID (test and demo mailboxes name their messages so).
pop3_reuse_xuidl = yes
{passdb}
{userdb}
service pop3-login {{
{listeners}
}}
service imap-login {{
  inet_listener imap {{
    port = 0
  }}
  inet_listener imaps {{
    port = 0
  }}
}}
service stats {{
  unix_listener stats-reader {{
    mode = 0600
  }}
  unix_listener stats-writer {{
    mode = 0666
  }}
}}
# No growing delay after failed logins (the auth penalty goes through this socket).
service anvil {{
  chroot =
  unix_listener anvil-auth-penalty {{
    mode = 0
  }}
}}
""".format(version=syntax["version"], major=version[0], minor=version[1], name=os.path.basename(d), d=d,
           address=args.address, ssl="yes" if tls else "no", sslfiles=syntax["ssl_files"] if tls else "",
           cleartext=syntax["cleartext"], mechanisms=mechanisms, uid=nobody.pw_uid, mail=syntax["mail"],
           uidl=syntax["uidl"], login_log=syntax["login_log"], passdb=syntax["passdb"], userdb=syntax["userdb"],
           listeners="\n".join(listeners))
    with open(os.path.join(d, "dovecot.conf"), "w") as f:
        f.write(conf.lstrip("\n"))
    with open(os.path.join(d, "passwd"), "w") as f:
        f.write("%s:{PLAIN}%s::::::\n" % (args.user, args.password))
    # The auth process reads it as Dovecot's internal user.
    internal = pwd.getpwnam("dovecot")
    os.chown(os.path.join(d, "passwd"), internal.pw_uid, internal.pw_gid)
    os.chmod(os.path.join(d, "passwd"), 0o600)


def start(args):
    d = os.path.abspath(args.dir)
    if args.tls_port and args.stls != "yes":
        fail("--tls-port needs --stls yes (Dovecot offers STLS whenever TLS is configured); use --tls-port 0")
    if not args.plain_port and not args.tls_port:
        fail("no port to listen on")
    if bool(args.cert) != bool(args.key):
        fail("--cert and --key go together")
    dovecot = find_dovecot()
    if dovecot is None:
        fail("the dovecot program is not installed (tools/setup.sh installs it)")
    if os.geteuid() != 0:
        fail("a Dovecot instance needs root (it binds its ports and runs its mail processes as %s); "
             "run this with sudo" % MAIL_USER)
    os.makedirs(d, exist_ok=True)
    stop(d)
    d = instance_home(d)
    for sub in ("run", "state", "mail"):
        path = os.path.join(d, sub)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
    log = os.path.join(d, "dovecot.log")
    if os.path.exists(log):
        os.remove(log)
    if d != os.path.abspath(args.dir):
        # Log and mail store stay reachable from DIR.
        for name in ("dovecot.log", "mail"):
            link = os.path.join(os.path.abspath(args.dir), name)
            if os.path.islink(link) or os.path.isfile(link):
                os.remove(link)
            elif os.path.isdir(link):
                shutil.rmtree(link)
            os.symlink(os.path.join(d, name), link)
    nobody = pwd.getpwnam(MAIL_USER)
    home = os.path.join(d, "mail", args.user)
    os.makedirs(home)
    try:
        shutil.copyfile(args.mbox, os.path.join(home, "inbox"))
    except OSError as e:
        fail("cannot copy the mbox file: %s" % e)
    for root, dirs, files in os.walk(os.path.join(d, "mail")):
        os.chown(root, nobody.pw_uid, nobody.pw_gid)
        for name in files:
            os.chown(os.path.join(root, name), nobody.pw_uid, nobody.pw_gid)
    if args.stls == "yes" and args.cert:
        shutil.copyfile(args.cert, os.path.join(d, "cert.pem"))
        shutil.copyfile(args.key, os.path.join(d, "key.pem"))
        os.chmod(os.path.join(d, "key.pem"), 0o600)
    elif args.stls == "yes":
        made = subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
                               "-subj", "/CN=localhost", "-keyout", os.path.join(d, "key.pem"),
                               "-out", os.path.join(d, "cert.pem")],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if made.returncode != 0:
            fail("openssl could not make the certificate: " + made.stderr)
    write_config(args, d, dovecot_version(dovecot))
    # The daemon keeps the start-up streams open, so they go to a file rather than a pipe.
    with open(os.path.join(d, "start.out"), "w+") as out:
        run = subprocess.run([dovecot, "-c", os.path.join(d, "dovecot.conf")],
                             stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        if run.returncode != 0:
            out.seek(0)
            fail("dovecot did not start: " + out.read(), d)
    ports = [p for p in (args.plain_port, args.tls_port) if p]
    deadline = time.time() + START_TIMEOUT
    while time.time() < deadline:
        if all(port_open(args.address, p) for p in ports):
            return
        pid = read_pid(d)
        if pid is not None and not alive(pid):
            break
        time.sleep(0.05)
    stop(d)
    fail("dovecot does not accept connections on %s port(s) %s" % (args.address, ports), d)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     epilog=__doc__.split("\n\n", 1)[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    s = sub.add_parser("start", help="start an instance")
    s.add_argument("--dir", required=True, help="folder for configuration, state, mail store and logs")
    s.add_argument("--address", required=True, help="loopback address to listen on, e.g. 127.0.0.2")
    s.add_argument("--plain-port", type=int, default=110, help="plain-text port (0: none), default 110")
    s.add_argument("--tls-port", type=int, default=995, help="implicit-TLS port (0: none), default 995")
    s.add_argument("--stls", choices=("yes", "no"), default="yes", help="offer STLS (and TLS at all), default yes")
    s.add_argument("--apop", choices=("yes", "no"), default="no", help="offer APOP, default no")
    s.add_argument("--user", required=True, help="the one mailbox user")
    s.add_argument("--password", required=True, help="its password")
    s.add_argument("--mbox", required=True, help="mbox file copied in as the user's INBOX")
    s.add_argument("--cert", help="PEM certificate chain to serve instead of a self-signed one (needs --key)")
    s.add_argument("--key", help="PEM private key of --cert")
    t = sub.add_parser("stop", help="stop the instance started from DIR")
    t.add_argument("--dir", required=True)
    args = parser.parse_args()
    if args.command == "start":
        if not args.address.startswith("127."):
            fail("only loopback addresses (127.0.0.0/8) are allowed")
        start(args)
    else:
        stop(os.path.abspath(args.dir))


if __name__ == "__main__":
    main()
