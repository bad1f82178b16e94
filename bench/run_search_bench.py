#!/usr/bin/env python3
"""Measure maildig's search against a private Dovecot, each figure beside its protocol floor, in one run.

  sudo bench/run_search_bench.py [--quick] [--baseline-commit 28f46ff | --baseline BINARY] [--maildig BINARY]

Builds maildig, bench_floor and bench_latency_proxy (Release, in build-bench), generates the mailboxes (seeded,
kept for later runs), starts private Dovecot instances on loopback (127.0.0.90 and 127.0.0.91, port 110, plain
text; the proxy listens on 127.0.0.92) and prints one table per figure, each program's median wall time, median
client CPU (user + system), peak resident memory and its ratio to the floor measured in the same table:

 A. The default search (--range first, no match), --near-count messages, on plain loopback.
 B. The same through bench_latency_proxy adding --delay-ms each way (10 ms round trip by default).
 C. --range all over --count messages (10,000) on plain loopback: wall and CPU against the pipelined floor,
    and the peak memory of the same search over --near-count messages (flat in mailbox size).
 D. A server without PIPELINING (the proxy hides it from CAPA, no delay), --seq-count messages (2,000),
    against the one-by-one floor through the same proxy.
 E. One message whose body is one line of --line-mb MB (50): peak memory against the reply's size.
 F. Round trips: five actions over --near-count messages through the proxy at --rtt-delay-ms each way (50:
    100 ms round trips) with its --handshake (the greeting arrives two round trips after the connect), each
    median wall time divided by the round trip; then --seq-count messages (2,000) at that delay, the default
    search and --range all, against the floor keeping 256 commands in flight. --rtt-only runs this table
    alone, --cpu-only table C alone (with --count 100000 for the large walk).
 G. --keep-heads (--cache-only runs this table alone): --range all, no match, over --seq-count messages
    (2,000) through the proxy at --rtt-delay-ms (100 ms round trips) with and without PIPELINING: cold (a new
    store), warm and without the cache (and the baseline), in round trips and in bytes received from the
    server; then on plain loopback over --count messages (and --cache-counts, e.g. 10000,100000), warm
    against the same search without the cache and the floor: wall, CPU, peak RSS; and the store's size on
    disk per 1,000 messages against the TOP bytes Dovecot sent for them (its logout line).

The floor is bench_floor: the same UIDL and TOP commands on the program's own socket code, replies read and
thrown away, one by one or with --window commands in flight (default 64, the floor the goals are set
against; table B also shows the floor at maildig's own cap of 256). With
--baseline-commit REV the runner also builds maildig from that commit (git archive into the build folder) and
measures it beside the new one in every table, so one command prints every figure before and after;
--baseline BINARY names a baseline binary instead. --python adds Python poplib + email to table C. The summary
at the end repeats each figure with its goal. Slow cases (the baseline through the proxy, Python) run
--slow-runs times, the others --runs times; --quick takes 3 and 1 runs. Every server and proxy started here is
stopped at the end, also on Ctrl-C. Single runs on a busy machine are noisy: compare medians, and rerun when
the minimum and the median disagree much. Run it under `flock /tmp/maildig-net.lock` beside other suites.
"""

import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROGRAM_CAP = 256  # the window of the lean client that table F compares with
ABSENT = "zyxwvutsrqponmlk"  # the word gen_mailbox.py keeps out of every message
USER, PASSWORD = "bench", "benchpw"
FAR_HOST, NEAR_HOST, PROXY_HOST = "127.0.0.90", "127.0.0.91", "127.0.0.92"
# GNU time (Debian package "time") measures peak memory; without it the memory column says n/a.
GNU_TIME = "/usr/bin/time" if os.access("/usr/bin/time", os.X_OK) else None


class Bench:
    def __init__(self, args):
        self.args = args
        self.build = os.path.join(ROOT, args.build_dir)
        self.work = os.path.join(self.build, "search-bench")
        self.servers = []
        self.proxies = []
        self.binaries = {}

    # --- setting up ---

    def build_targets(self):
        print("building (Release) in %s ..." % self.build, flush=True)
        subprocess.run(["cmake", "-S", ROOT, "-B", self.build, "-DCMAKE_BUILD_TYPE=Release", "-DMAILDIG_TESTS=OFF"],
                       check=True, stdout=subprocess.DEVNULL)
        paths = {"maildig": "src/maildig", "bench_floor": "bench/bench_floor",
                 "bench_latency_proxy": "bench/bench_latency_proxy"}
        for target, path in paths.items():
            if target == "maildig" and self.args.maildig:
                continue
            made = subprocess.run(["cmake", "--build", self.build, "-j2", "--target", target],
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            if made.returncode == 0:
                self.binaries[target] = os.path.join(self.build, path)
            else:
                print("  %s does not build; its figures are left out:\n%s" % (target, made.stdout[-2000:]),
                      file=sys.stderr)
        for needed in ("bench_floor", "bench_latency_proxy"):
            if needed not in self.binaries:
                sys.exit("run_search_bench: %s is needed" % needed)

    def mailbox(self, count):
        path = os.path.join(self.work, "bench-%d-seed%d.mbox" % (count, self.args.seed))
        if not os.path.exists(path):
            subprocess.run([sys.executable, os.path.join(ROOT, "bench", "gen_mailbox.py"), path + ".tmp",
                            "--count", str(count), "--seed", str(self.args.seed), "--absent", ABSENT], check=True)
            os.replace(path + ".tmp", path)
        return path

    def start_server(self, host, mbox):
        directory = os.path.join(self.work, "dovecot-" + host)
        self.servers.append(directory)
        subprocess.run([sys.executable, os.path.join(ROOT, "tools", "dovecot_instance.py"), "start", "--dir",
                        directory, "--address", host, "--user", USER, "--password", PASSWORD, "--mbox", mbox,
                        "--tls-port", "0", "--stls", "no"], check=True)

    def stop_all(self):
        for proxy in self.proxies:
            if proxy.poll() is None:
                proxy.terminate()
                try:
                    proxy.wait(5)
                except subprocess.TimeoutExpired:
                    proxy.kill()
                    proxy.wait()
        self.proxies = []
        for directory in self.servers:
            subprocess.run([sys.executable, os.path.join(ROOT, "tools", "dovecot_instance.py"), "stop", "--dir",
                            directory])
        self.servers = []

    def round_trips(self, progs):
        a = self.args
        rtt = 2 * a.rtt_delay_ms / 1000.0
        login = "%s,%s,%s" % (PROXY_HOST, USER, PASSWORD)
        # Without a search string the first message matches; its UID is the one to view.
        first_uid = subprocess.run([next(iter(progs.values())), "-l", "%s,%s,%s" % (NEAR_HOST, USER, PASSWORD)],
                                   stdout=subprocess.PIPE, text=True, check=True).stdout.strip()
        actions = [("find, the first message matches", ["-r", "first"], (0,)),
                   ("find, no match (--range first)", ["-r", "first", ABSENT], (1,)),
                   ("find --range all, no match", ["-r", "all", ABSENT], (1,)),
                   ("view one UID", ["-v", first_uid], (0,)),
                   ("view a UID that does not exist", ["-v", "no-such-uid"], (1,))]
        proxy = self.start_proxy(NEAR_HOST, a.rtt_delay_ms, False, handshake=True)
        print("\nF. Round trips, %d messages, proxy at %g ms round trip (median wall / RTT):"
              % (a.near_count, 1000 * rtt))
        for title, args, codes in actions:
            cases = {label: ([b, "-l", login] + args, codes) for label, b in progs.items()}
            res = self.measure(cases, a.slow_runs)
            cells = ["%s %.1f" % (label, statistics.median(res[label][0]) / rtt) for label in cases if res[label][0]]
            print("  %-34s %s" % (title, "   ".join(cells)), flush=True)
        self.stop_proxy(proxy)
        seq = self.mailbox(a.seq_count)
        self.restart_server(NEAR_HOST, seq)
        proxy = self.start_proxy(NEAR_HOST, a.rtt_delay_ms, False, handshake=True)
        floor = "floor, %d in flight" % PROGRAM_CAP
        for rng in ("first", "all"):
            cases = {label: self.search(b, PROXY_HOST, rng) for label, b in progs.items()}
            cases[floor] = self.floor(PROXY_HOST, PROGRAM_CAP)
            m = self.row("F. --range %s, no match, %d messages, proxy at %g ms round trip:"
                         % (rng, a.seq_count, 1000 * rtt), cases, floor, a.slow_runs)
            self.ratio_note("F. --range %s at %g ms RTT, %d messages, wall / floor with %d in flight"
                            % (rng, 1000 * rtt, a.seq_count, PROGRAM_CAP), "<= 0.9x", m, floor, 0.9)
        self.stop_proxy(proxy)

    def start_proxy(self, target, delay_ms, strip, handshake=False, report_bytes=False):
        cmd = [self.binaries["bench_latency_proxy"], "--listen", PROXY_HOST + ":110", "--target", target + ":110",
               "--delay-ms", str(delay_ms), "--idle-seconds", "600"]
        if strip:
            cmd.append("--strip-pipelining")
        if handshake:
            cmd.append("--handshake")
        if report_bytes:
            cmd.append("--report-bytes")
        proxy = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True)
        self.proxies.append(proxy)
        if proxy.stdout.readline().strip() != "ready":
            sys.exit("run_search_bench: the latency proxy did not start")
        return proxy

    def stop_proxy(self, proxy):
        proxy.terminate()
        proxy.wait(10)
        self.proxies.remove(proxy)

    # --- measuring ---

    def run_once(self, cmd, ok_codes):
        """Wall seconds, CPU seconds (user + system) and peak RSS (KB) of one run (None when unknown), or None
        when it failed."""
        # GNU time reports the peak RSS of the program alone (the resource usage of a child of this script
        # would include the memory of the forked Python interpreter), but its CPU times have two decimals:
        # the CPU comes from the rusage of the waited process instead (GNU time's own share is negligible).
        report = os.path.join(self.work, "time.out")
        wrapped = [GNU_TIME, "-f", "%M", "-o", report] + cmd if GNU_TIME else cmd
        with tempfile.TemporaryFile() as err:
            start = time.perf_counter()
            proc = subprocess.Popen(wrapped, stdout=subprocess.DEVNULL, stderr=err)
            _, status, usage = os.wait4(proc.pid, 0)
            seconds = time.perf_counter() - start
            proc.returncode = os.waitstatus_to_exitcode(status)
            if proc.returncode not in ok_codes:
                err.seek(0)
                print("  failed (exit %d): %s\n  %s" % (proc.returncode, " ".join(cmd),
                                                       err.read().decode(errors="replace").strip()[-500:]),
                      file=sys.stderr)
                return None
        cpu = usage.ru_utime + usage.ru_stime
        if not GNU_TIME:
            return seconds, cpu, None
        with open(report) as f:
            rss = f.read().split()[-1]
        return seconds, cpu, int(rss)

    def measure(self, cases, runs):
        """cases: label -> (command, accepted exit codes). Runs interleaved; label -> (seconds, cpu, rss lists)."""
        results = {label: ([], [], []) for label in cases}
        broken = set()
        for _ in range(runs):
            for label, (cmd, ok_codes) in cases.items():
                if label in broken:
                    continue
                got = self.run_once(cmd, ok_codes)
                if got is None:
                    broken.add(label)
                    continue
                for column, value in zip(results[label], got):
                    if value is not None:
                        column.append(value)
        return results

    def floor(self, host, window):
        return [self.binaries["bench_floor"], host, "110", USER, PASSWORD, str(window)], (0,)

    def python(self, host, policy):
        return [sys.executable, os.path.join(ROOT, "bench", "py_search.py"), host, "110", USER, PASSWORD, ABSENT,
                "--policy", policy], (1,)

    # --- the baseline ---

    def build_baseline(self, rev):
        """maildig built from commit rev in the build folder; its path."""
        src = os.path.join(self.build, "baseline-" + rev + "-src")
        out = os.path.join(self.build, "baseline-" + rev)
        binary = os.path.join(out, "src", "maildig")
        if not os.path.exists(binary):
            print("building the baseline maildig from %s in %s ..." % (rev, out), flush=True)
            os.makedirs(src, exist_ok=True)
            archive = subprocess.run(["git", "-C", ROOT, "archive", rev], stdout=subprocess.PIPE, check=True)
            subprocess.run(["tar", "-x", "-C", src], input=archive.stdout, check=True)
            subprocess.run(["cmake", "-S", src, "-B", out, "-DCMAKE_BUILD_TYPE=Release", "-DMAILDIG_TESTS=OFF",
                            "-DMAILDIG_BENCH=OFF"], check=True, stdout=subprocess.DEVNULL)
            subprocess.run(["cmake", "--build", out, "-j2", "--target", "maildig"], check=True,
                           stdout=subprocess.DEVNULL)
        return binary

    def big_line_mailbox(self, megabytes):
        """One message whose text body is a single line of about megabytes MB, then a short line."""
        path = os.path.join(self.work, "bigline-%dmb.mbox" % megabytes)
        if not os.path.exists(path):
            words = b"the quick brown fox jumps over the lazy dog and keeps running "
            with open(path + ".tmp", "wb") as f:
                f.write(b"From bench@example.net Fri Mar  1 12:00:00 2024\n"
                        b"From: Alice <alice@example.com>\nTo: bob@example.org\nSubject: one long line\n"
                        b"MIME-Version: 1.0\nContent-Type: text/plain; charset=us-ascii\n\n")
                f.write(words * (megabytes * 1000 * 1000 // len(words)))
                f.write(b"\nend\n\n")
            os.replace(path + ".tmp", path)
        return path

    # --- cases ---

    def programs(self):
        """label -> maildig binary: the new one and, when given, the baseline."""
        progs = {}
        if "maildig" in self.binaries:
            progs["maildig"] = self.binaries["maildig"]
        if self.baseline:
            progs[("baseline " + self.baseline_name).strip()] = self.baseline
        return progs

    def search(self, binary, host, rng):
        # Nothing matches: exit code 1 with "No matching message found."
        return [binary, "-l", "%s,%s,%s" % (host, USER, PASSWORD), "-r", rng, ABSENT], (1,)

    def restart_server(self, host, mbox):
        directory = os.path.join(self.work, "dovecot-" + host)
        subprocess.run([sys.executable, os.path.join(ROOT, "tools", "dovecot_instance.py"), "stop", "--dir",
                        directory])
        if directory in self.servers:
            self.servers.remove(directory)
        self.start_server(host, mbox)
        # The first session makes Dovecot index the mailbox; keep that out of the figures.
        subprocess.run(self.floor(host, 1)[0], check=True, stdout=subprocess.DEVNULL)

    def row(self, title, cases, floor_label, runs, slow=()):
        """Measures cases (slow labels with --slow-runs) and prints their table; label -> (wall, cpu, rss MB)."""
        quick = {k: v for k, v in cases.items() if k not in slow}
        res = self.measure(quick, runs)
        slow_cases = {k: v for k, v in cases.items() if k in slow}
        if slow_cases:
            res.update(self.measure(slow_cases, self.args.slow_runs))
        res = {k: res[k] for k in cases}
        print("\n" + title)
        print("  %-40s %9s %9s %9s %9s %11s %9s" % ("", "median s", "min s", "CPU s", "CPU ratio", "peak RSS MB",
                                                   "ratio"))
        base = res.get(floor_label)
        base_wall = statistics.median(base[0]) if base and base[0] else None
        base_cpu = statistics.median(base[1]) if base and base[1] else None
        figures = {}
        for label, (seconds, cpu, rss) in res.items():
            if not seconds:
                print("  %-40s %9s" % (label, "failed"))
                continue
            wall = statistics.median(seconds)
            c = statistics.median(cpu) if cpu else None
            peak = max(rss) / 1024.0 if rss else None
            figures[label] = (wall, c, peak)
            print("  %-40s %9.3f %9.3f %9s %9s %11s %9s" % (
                label, wall, min(seconds), "%.3f" % c if c is not None else "n/a",
                "%.2fx" % (c / base_cpu) if c is not None and base_cpu else "",
                "%.1f" % peak if peak is not None else "n/a",
                "%.2fx" % (wall / base_wall) if base_wall else ""))
        if floor_label:
            print("  (ratio: wall time against %s; CPU ratio: CPU time against the same)" % floor_label)
        return figures

    def note(self, figure, goal, values, check):
        """Records one figure of the summary: values is label -> number (None when unknown)."""
        self.summary.append((figure, goal, values, check))

    def run(self):
        a = self.args
        os.makedirs(self.work, exist_ok=True)
        if a.maildig:
            self.binaries["maildig"] = os.path.abspath(a.maildig)
        if not a.skip_build:
            self.build_targets()
        else:
            for target, path in (("maildig", "src/maildig"), ("bench_floor", "bench/bench_floor"),
                                 ("bench_latency_proxy", "bench/bench_latency_proxy")):
                if target not in self.binaries and os.path.exists(os.path.join(self.build, path)):
                    self.binaries[target] = os.path.join(self.build, path)
        self.baseline, self.baseline_name = None, ""
        if a.baseline:
            self.baseline = os.path.abspath(a.baseline)
        elif a.baseline_commit:
            self.baseline, self.baseline_name = self.build_baseline(a.baseline_commit), a.baseline_commit
        if self.baseline:
            print("baseline maildig: %s" % self.baseline)
        self.summary = []
        progs = self.programs()
        W = a.window
        pipe_floor, seq_floor = "floor, %d in flight" % W, "floor, one by one"

        if a.cache_only:
            self.keep_heads(progs)
            self.print_summary()
            return
        if a.rtt_only:
            near = self.mailbox(a.near_count)
            self.restart_server(NEAR_HOST, near)
            self.round_trips(progs)
            self.print_summary()
            return
        big, near = self.mailbox(a.count), self.mailbox(a.near_count)
        print("starting Dovecot on %s (%d messages) and %s (%d messages) ..." % (FAR_HOST, a.count, NEAR_HOST,
                                                                                 a.near_count), flush=True)
        self.restart_server(FAR_HOST, big)
        self.restart_server(NEAR_HOST, near)
        if a.cpu_only:
            self.walk_cpu_and_memory(progs, pipe_floor)
            self.print_summary()
            return

        # A. The default search on loopback.
        cases = {label: self.search(b, NEAR_HOST, "first") for label, b in progs.items()}
        cases[pipe_floor] = self.floor(NEAR_HOST, W)
        m = self.row("A. Default search (--range first, no match), %d messages, plain loopback:" % a.near_count,
                     cases, pipe_floor, a.runs)
        self.ratio_note("A. default search, loopback, wall / pipelined floor", "(no goal)", m, pipe_floor, None)

        # B. The same at a distance.
        proxy = self.start_proxy(NEAR_HOST, a.delay_ms, False)
        cases = {label: self.search(b, PROXY_HOST, "first") for label, b in progs.items()}
        cases[pipe_floor] = self.floor(PROXY_HOST, W)
        if W != PROGRAM_CAP:
            cases["floor, %d in flight (maildig's cap)" % PROGRAM_CAP] = self.floor(PROXY_HOST, PROGRAM_CAP)
        m = self.row("B. Default search (--range first, no match), %d messages, proxy at %g ms round trip:"
                     % (a.near_count, 2 * a.delay_ms), cases, pipe_floor, a.runs,
                     slow=[k for k in cases if k.startswith("baseline")])
        self.stop_proxy(proxy)
        self.ratio_note("B. default search at %g ms RTT, wall / pipelined floor" % (2 * a.delay_ms), "<= 1.25x", m,
                        pipe_floor, 1.25)

        self.walk_cpu_and_memory(progs, pipe_floor)

        # D. A server without PIPELINING.
        self.restart_server(NEAR_HOST, self.mailbox(a.seq_count))
        proxy = self.start_proxy(NEAR_HOST, 0, True)
        cases = {label: self.search(b, PROXY_HOST, "all") for label, b in progs.items()}
        cases[seq_floor] = self.floor(PROXY_HOST, 1)
        m = self.row("D. --range all, %d messages, PIPELINING hidden by the proxy (no delay):" % a.seq_count,
                     cases, seq_floor, a.runs)
        self.stop_proxy(proxy)
        self.ratio_note("D. no PIPELINING, wall / one-by-one floor", "<= 1.2x", m, seq_floor, 1.2)

        # E. One reply holding one very long line.
        mbox = self.big_line_mailbox(a.line_mb)
        reply_mb = os.path.getsize(mbox) / 1e6
        self.restart_server(FAR_HOST, mbox)
        cases = {label: self.search(b, FAR_HOST, "all") for label, b in progs.items()}
        cases[seq_floor] = self.floor(FAR_HOST, 1)
        m = self.row("E. One message with a %d MB line (reply %.1f MB), plain loopback:" % (a.line_mb, reply_mb),
                     cases, seq_floor, a.runs)
        limit = 3 * reply_mb * 1e6 / 1048576 + 16
        values = {l: "%.0f MB = %.2fx the reply" % (m[l][2], m[l][2] * 1048576 / 1e6 / reply_mb)
                  for l in progs if l in m and m[l][2] is not None}
        self.note("E. peak RSS with a %d MB line" % a.line_mb, "<= 3x reply + 16 MB (%.0f MB)" % limit, values,
                  m["maildig"][2] <= limit if "maildig" in m and m["maildig"][2] is not None else None)

        self.restart_server(NEAR_HOST, near)
        self.round_trips(progs)
        self.keep_heads(progs)
        self.print_summary()

    def walk_cpu_and_memory(self, progs, pipe_floor):
        """C. --range all over the large mailbox, and its memory against the small one."""
        a, W = self.args, self.args.window
        cases = {label: self.search(b, FAR_HOST, "all") for label, b in progs.items()}
        cases[pipe_floor] = self.floor(FAR_HOST, W)
        if a.python:
            cases["python poplib+email (compat32)"] = self.python(FAR_HOST, "compat32")
        m = self.row("C. --range all, %d messages, plain loopback:" % a.count, cases, pipe_floor, a.runs,
                     slow=["python poplib+email (compat32)"])
        self.ratio_note("C. --range all, wall / pipelined floor", "<= 1.15x", m, pipe_floor, 1.15)
        self.ratio_note("C. --range all, client CPU / pipelined floor's CPU", "<= 2x", m, pipe_floor, 2.0, column=1)
        cases = {label: self.search(b, NEAR_HOST, "all") for label, b in progs.items()}
        cases[pipe_floor] = self.floor(NEAR_HOST, W)
        small = self.row("C'. --range all, %d messages, plain loopback (memory beside C):" % a.near_count, cases,
                         pipe_floor, a.runs)
        # Flat: from the small mailbox to the large one the peak grows by no more than the floor's, which is
        # the UIDL listing that every client holds (plus half a megabyte of slack).
        def growth(label):
            if label not in m or label not in small or m[label][2] is None or small[label][2] is None:
                return None
            return m[label][2] - small[label][2]
        floor_growth = growth(pipe_floor)
        rss = {}
        for label in list(progs) + [pipe_floor]:
            if growth(label) is not None:
                rss[label] = "%.1f MB (%d msgs: %.1f MB, growth %+.1f MB)" % (m[label][2], a.near_count,
                                                                             small[label][2], growth(label))
        # 10,000 messages in under 8 MB; from 100,000 on the listing itself counts: under 16 MB.
        limit = 8 if a.count < 100000 else 16
        check = None
        if growth("maildig") is not None and floor_growth is not None:
            check = m["maildig"][2] < limit and growth("maildig") <= floor_growth + 0.5
        self.note("C. peak RSS, %d messages (flat against %d: growth within the floor's + 0.5 MB)"
                  % (a.count, a.near_count), "< %d MB and flat" % limit, rss, check)

    # --- the head cache ---

    def cached_runs(self, cases, runs, proxy=None):
        """cases: label -> (command, codes, state) with state "cold" (a new store before each run), "warm" (a
        store filled by one run first) or None. label -> (seconds, cpu, rss, bytes from the server) lists."""
        store = os.path.join(os.environ["XDG_CACHE_HOME"], "maildig")
        results = {label: ([], [], [], []) for label in cases}
        for label, (cmd, codes, state) in cases.items():
            if state == "warm":
                shutil.rmtree(store, ignore_errors=True)
                subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                if proxy:
                    proxy.stdout.readline()
        for _ in range(runs):
            for label, (cmd, codes, state) in cases.items():
                if state == "cold":
                    shutil.rmtree(store, ignore_errors=True)
                got = self.run_once(cmd, codes)
                received = int(proxy.stdout.readline().split()[1]) if proxy else None
                if got is None:
                    continue
                for column, value in zip(results[label], got + (received,)):
                    if value is not None:
                        column.append(value)
        return results

    def keep_heads(self, progs):
        """G. --keep-heads: round trips and bytes at a distance, CPU and memory on loopback, the store's size."""
        a = self.args
        os.environ["XDG_CACHE_HOME"] = os.path.join(self.work, "xdg-cache")
        store = os.path.join(os.environ["XDG_CACHE_HOME"], "maildig")
        maildig = self.binaries["maildig"]
        rtt = 2 * a.rtt_delay_ms / 1000.0

        def cases(host):
            login = "%s,%s,%s" % (host, USER, PASSWORD)
            c = {("%s, without the cache" % label): ([b, "-l", login, "-r", "all", ABSENT], (1,), None)
                 for label, b in progs.items()}
            for state in ("cold", "warm"):
                c["maildig --keep-heads, " + state] = ([maildig, "-l", login, "-r", "all", ABSENT, "--keep-heads"],
                                                       (1,), state)
            return c

        self.restart_server(NEAR_HOST, self.mailbox(a.seq_count))
        for strip in (False, True):
            proxy = self.start_proxy(NEAR_HOST, a.rtt_delay_ms, strip, handshake=True, report_bytes=True)
            res = self.cached_runs(cases(PROXY_HOST), a.slow_runs, proxy)
            self.stop_proxy(proxy)
            title = "G. --keep-heads, --range all, no match, %d messages, proxy at %g ms round trip%s:" % (
                a.seq_count, 1000 * rtt, ", PIPELINING hidden" if strip else "")
            print("\n" + title)
            base = "maildig, without the cache"
            base_wall = statistics.median(res[base][0]) if res[base][0] else None
            base_bytes = statistics.median(res[base][3]) if res[base][3] else None
            print("  %-40s %12s %9s %16s %9s" % ("", "round trips", "ratio", "bytes from server", "ratio"))
            values = {}
            for label, (seconds, _, _, received) in res.items():
                if not seconds:
                    print("  %-40s failed" % label)
                    continue
                wall, got = statistics.median(seconds), statistics.median(received)
                print("  %-40s %12.1f %8.3fx %16d %8.4fx" % (label, wall / rtt, wall / base_wall, got,
                                                            got / base_bytes))
                values[label] = "%.1f round trips, %d bytes" % (wall / rtt, got)
            warm = res["maildig --keep-heads, warm"][0]
            goal = "warm <= 10 round trips" if strip else "(no goal)"
            self.note("G. --keep-heads at %g ms RTT%s" % (1000 * rtt, ", no PIPELINING" if strip else ""), goal,
                      values, statistics.median(warm) / rtt <= 10 if strip and warm else None)

        for count in [a.count] + [int(c) for c in a.cache_counts.split(",") if c and int(c) != a.count]:
            self.restart_server(FAR_HOST, self.mailbox(count))
            shutil.rmtree(store, ignore_errors=True)
            login = "%s,%s,%s" % (FAR_HOST, USER, PASSWORD)
            subprocess.run([maildig, "-l", login, "-r", "all", ABSENT, "--keep-heads"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            log = open(os.path.join(self.work, "dovecot-" + FAR_HOST, "dovecot.log")).read()
            top_bytes = int(log[log.rfind("top="):].split("/")[1].split(",")[0])
            on_disk = sum(os.path.getsize(os.path.join(store, f)) for f in os.listdir(store))
            print("\nG. The store after a cold --range all over %d messages: %.0f KB per 1,000 messages, %.1f %% of"
                  " the %.0f KB of TOP replies Dovecot sent for them" % (count, on_disk / count, 100.0 * on_disk /
                                                                        top_bytes, top_bytes / count))
            self.note("G. the store on disk, %d messages" % count, "<= 35 % of the TOP bytes",
                      {"maildig": "%.0f KB per 1,000 messages, %.1f %%" % (on_disk / count, 100.0 * on_disk /
                                                                            top_bytes)},
                      on_disk <= 0.35 * top_bytes)
            c = {k: v for k, v in cases(FAR_HOST).items() if not k.endswith("cold")}
            floor = "floor, %d in flight" % a.window
            c[floor] = self.floor(FAR_HOST, a.window) + (None,)
            res = self.cached_runs(c, a.runs)
            print("\nG. --keep-heads warm, --range all, %d messages, plain loopback:" % count)
            print("  %-40s %9s %9s %9s %11s" % ("", "median s", "CPU s", "ratio", "peak RSS MB"))
            base = statistics.median(res["maildig, without the cache"][0])
            for label, (seconds, cpu, rss, _) in res.items():
                if seconds:
                    print("  %-40s %9.3f %9.3f %8.2fx %11s" % (label, statistics.median(seconds),
                                                               statistics.median(cpu), statistics.median(seconds) /
                                                               base, "%.1f" % (max(rss) / 1024.0) if rss else "n/a"))
            warm = res["maildig --keep-heads, warm"]
            if warm[0]:
                self.note("G. warm --range all, %d messages, loopback, wall / without the cache" % count,
                          "<= 1x, peak RSS < 16 MB",
                          {"maildig": "%.2fx (%.3f s against %.3f s), peak %s MB" % (
                              statistics.median(warm[0]) / base, statistics.median(warm[0]), base,
                              "%.1f" % (max(warm[2]) / 1024.0) if warm[2] else "n/a")},
                          statistics.median(warm[0]) <= base and (not warm[2] or max(warm[2]) < 16 * 1024))

    def print_summary(self):
        print("\nSummary (medians; the command: %s):" % " ".join(sys.argv))
        for figure, goal, values, check in self.summary:
            print("  %s\n      goal %s: %s" % (figure, goal, "n/a" if check is None else ("met" if check
                                                                                         else "MISSED")))
            for label, value in values.items():
                print("      %-30s %s" % (label, value))

    def ratio_note(self, figure, goal, m, floor, limit, column=0):
        base = m.get(floor)
        values, check = {}, None
        for label in self.programs():
            if label in m and base and m[label][column] is not None and base[column]:
                ratio = m[label][column] / base[column]
                values[label] = "%.2fx (%.3f s against %.3f s)" % (ratio, m[label][column], base[column])
                if label == "maildig" and limit is not None:
                    check = ratio <= limit
        self.note(figure, goal, values, check)

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0], epilog=__doc__.split("\n\n", 1)[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=7, help="runs of each quick case (default 7)")
    parser.add_argument("--slow-runs", type=int, default=3, help="runs of the slow cases (default 3)")
    parser.add_argument("--quick", action="store_true", help="3 runs of each case, 1 of the slow ones")
    parser.add_argument("--count", type=int, default=10000, help="messages of the large mailbox (default 10000)")
    parser.add_argument("--near-count", type=int, default=500, help="messages of the default search (default 500)")
    parser.add_argument("--seq-count", type=int, default=2000, help="messages without PIPELINING (default 2000)")
    parser.add_argument("--line-mb", type=int, default=50, help="MB of the one long line (default 50)")
    parser.add_argument("--delay-ms", type=float, default=5, help="one-way delay of the proxy (default 5)")
    parser.add_argument("--rtt-delay-ms", type=float, default=50, help="one-way delay of table F (default 50)")
    parser.add_argument("--rtt-only", action="store_true", help="run table F alone")
    parser.add_argument("--cpu-only", action="store_true", help="run table C alone")
    parser.add_argument("--cache-only", action="store_true", help="run table G (--keep-heads) alone")
    parser.add_argument("--cache-counts", default="", help="more mailbox sizes for table G, e.g. 100000")
    parser.add_argument("--window", type=int, default=64, help="commands in flight for the floor (default 64)")
    parser.add_argument("--seed", type=int, default=1, help="mailbox seed (default 1)")
    parser.add_argument("--build-dir", default="build-bench", help="build folder below the tree (build-bench)")
    parser.add_argument("--skip-build", action="store_true", help="use the binaries already in the build folder")
    parser.add_argument("--maildig", help="measure this maildig binary instead of building one")
    parser.add_argument("--baseline", help="measure this maildig binary beside the new one")
    parser.add_argument("--baseline-commit", help="build maildig from this commit and measure it beside")
    parser.add_argument("--python", action="store_true", help="add Python poplib + email to table C")
    args = parser.parse_args()
    if args.quick:
        args.runs, args.slow_runs = 3, 1
    if os.geteuid() != 0:
        sys.exit("run_search_bench: Dovecot on port 110 needs root")
    bench = Bench(args)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        bench.run()
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return 130
    finally:
        bench.stop_all()
    return 0


if __name__ == "__main__":
    sys.exit(main())
