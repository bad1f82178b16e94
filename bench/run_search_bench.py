#!/usr/bin/env python3
"""Time maildig's search against a private Dovecot and print the figures side by side.

  bench/run_search_bench.py [--runs 7] [--slow-runs 3] [--count 2000] [--near-count 500] [--delay-ms 5]

Builds maildig, bench_floor and bench_latency_proxy (Release, in build-bench), generates two mailboxes
(--count and --near-count messages, seeded), starts a private Dovecot for each on loopback (127.0.0.90 and
127.0.0.91, port 110, plain text), and measures medians over several runs:

 1. The search walk over --count messages: `maildig --range all` for a word found nowhere, beside the
    protocol floor (bench_floor: the same UIDL and TOP commands on the same socket code, replies thrown away),
    one by one and pipelined, and beside the same search in Python (poplib + email, default and compat32
    policies), with the peak resident memory of each; maildig's peak memory on the smaller mailbox too.
 2. Pipelining: over --near-count messages behind bench_latency_proxy adding --delay-ms each way (10 ms
    round trip by default), maildig walking sequentially (the proxy hides PIPELINING from CAPA), maildig
    pipelined, and the pipelined floor; then over --count messages through the proxy without delay.

The pipelined floor keeps --window commands in flight (default 32, the program's own window at the default
--maxsize); pass the program's window when it changes, so that both walks are compared alike.
Slow cases (Python, the sequential walk at a distance) run --slow-runs times, the others --runs times. Every
server and proxy started here is stopped at the end, also on Ctrl-C. The machine's other work makes single
runs noisy: compare medians, and rerun when the minimum and the median disagree much.
"""

import argparse
import os
import signal
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ABSENT = "zyxwvutsrqponmlk"  # the word gen_mailbox.py keeps out of every message
USER, PASSWORD = "bench", "benchpw"
FAR_HOST, NEAR_HOST, PROXY_HOST = "127.0.0.90", "127.0.0.91", "127.0.0.92"
# GNU time (Debian package "time") measures peak memory; without it the memory column says n/a.
SEQUENTIAL, PIPELINED = "maildig sequential (PIPELINING hidden)", "maildig pipelined"
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

    def start_proxy(self, target, delay_ms, strip):
        cmd = [self.binaries["bench_latency_proxy"], "--listen", PROXY_HOST + ":110", "--target", target + ":110",
               "--delay-ms", str(delay_ms), "--idle-seconds", "600"]
        if strip:
            cmd.append("--strip-pipelining")
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
        # GNU time reports the peak RSS of the program alone; the resource usage of a child of this script
        # would include the memory of the forked Python interpreter.
        report = os.path.join(self.work, "time.out")
        wrapped = [GNU_TIME, "-f", "%U %S %M", "-o", report] + cmd if GNU_TIME else cmd
        start = time.perf_counter()
        run = subprocess.run(wrapped, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        seconds = time.perf_counter() - start
        if run.returncode not in ok_codes:
            print("  failed (exit %d): %s\n  %s" % (run.returncode, " ".join(cmd),
                                                   run.stderr.decode(errors="replace").strip()[-500:]),
                  file=sys.stderr)
            return None
        if not GNU_TIME:
            return seconds, None, None
        with open(report) as f:
            user, system, rss = f.read().split()[-3:]
        return seconds, float(user) + float(system), int(rss)

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

    def maildig(self, host):
        if "maildig" not in self.binaries:
            return None
        # Nothing matches: exit code 1 with "No matching message found."
        return [self.binaries["maildig"], "-l", "%s,%s,%s" % (host, USER, PASSWORD), "-r", "all", ABSENT], (1,)

    def floor(self, host, window):
        return [self.binaries["bench_floor"], host, "110", USER, PASSWORD, str(window)], (0,)

    def python(self, host, policy):
        return [sys.executable, os.path.join(ROOT, "bench", "py_search.py"), host, "110", USER, PASSWORD, ABSENT,
                "--policy", policy], (1,)

    # --- reporting ---

    @staticmethod
    def table(title, results, reference):
        print("\n" + title)
        print("  %-44s %9s %9s %9s %11s %9s" % ("", "median s", "min s", "CPU s", "peak RSS MB",
                                                "vs " + reference[:12]))
        base = results.get(reference)
        base_median = statistics.median(base[0]) if base and base[0] else None
        medians = {}
        for label, (seconds, cpu, rss) in results.items():
            if not seconds:
                print("  %-44s %9s" % (label, "failed"))
                continue
            median = statistics.median(seconds)
            medians[label] = median
            ratio = "%8.2fx" % (median / base_median) if base_median else ""
            cpu_text = "%9.3f" % statistics.median(cpu) if cpu else "%9s" % "n/a"
            peak = "%11.1f" % (max(rss) / 1024.0) if rss else "%11s" % "n/a"
            print("  %-44s %9.3f %9.3f %s %s %9s" % (label, median, min(seconds), cpu_text, peak, ratio))
        return medians

    @staticmethod
    def goal(text, met):
        print("  goal: %-70s %s" % (text, "n/a" if met is None else ("met" if met else "MISSED")))

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
        far, near = self.mailbox(a.count), self.mailbox(a.near_count)
        print("starting Dovecot on %s (%d messages) and %s (%d messages) ..." % (FAR_HOST, a.count, NEAR_HOST,
                                                                                 a.near_count), flush=True)
        self.start_server(FAR_HOST, far)
        self.start_server(NEAR_HOST, near)
        # The first session makes Dovecot index the mailbox; keep that out of the figures.
        for host in (FAR_HOST, NEAR_HOST):
            subprocess.run(self.floor(host, 1)[0], check=True, stdout=subprocess.DEVNULL)

        # 1. The search walk on loopback.
        cases = {}
        if self.maildig(FAR_HOST):
            cases["maildig -r all (%d msgs)" % a.count] = self.maildig(FAR_HOST)
        cases["floor, one by one"] = self.floor(FAR_HOST, 1)
        cases["floor, %d in flight" % a.window] = self.floor(FAR_HOST, a.window)
        res = self.measure(cases, a.runs)
        if self.maildig(NEAR_HOST):
            res.update(self.measure({"maildig -r all (%d msgs)" % a.near_count: self.maildig(NEAR_HOST)}, a.runs))
        res.update(self.measure({"python poplib+email, policy default": self.python(FAR_HOST, "default"),
                                 "python poplib+email, policy compat32": self.python(FAR_HOST, "compat32")},
                                a.slow_runs))
        m = self.table("Search of %d messages for a word found nowhere, plain loopback, %d runs (python %d):"
                       % (a.count, a.runs, a.slow_runs), res, "floor, one by one")
        big, small = "maildig -r all (%d msgs)" % a.count, "maildig -r all (%d msgs)" % a.near_count
        floor1 = m.get("floor, one by one")
        have = big in m and floor1
        self.goal("maildig within 1.15x of the floor (one by one)", m[big] / floor1 <= 1.15 if have else None)
        compat = m.get("python poplib+email, policy compat32")
        self.goal("maildig at least 4x faster than python (compat32)",
                  compat / m[big] >= 4 if big in m and compat else None)
        rss = {k: max(v[2]) / 1024.0 for k, v in res.items() if v[2]}
        flat = None
        if big in rss and small in rss:
            flat = rss[big] < 8 and rss[big] <= rss[small] * 1.1 + 0.5
        self.goal("maildig peak RSS below 8 MB and flat (%d vs %d msgs)" % (a.near_count, a.count), flat)

        # 2a. Pipelining at a distance, 2b. on plain loopback (through the proxy without delay, so that both
        # walks pay the same extra hop).
        window = "floor, %d in flight" % a.window
        res = self.pipelining(NEAR_HOST, a.delay_ms, a.slow_runs)
        m = self.table("Pipelining, %d messages through the proxy at %g ms round trip:" % (a.near_count,
                                                                                         2 * a.delay_ms),
                       res, window)
        seq, pip, fl = m.get(SEQUENTIAL), m.get(PIPELINED), m.get(window)
        self.goal("pipelined at least 15x faster than sequential", seq / pip >= 15 if seq and pip else None)
        self.goal("pipelined within 1.2x of the pipelined floor", pip / fl <= 1.2 if pip and fl else None)

        res = self.pipelining(FAR_HOST, 0, a.runs)
        m = self.table("Pipelining, %d messages through the proxy without delay:" % a.count, res, window)
        seq, pip, fl1 = m.get(SEQUENTIAL), m.get(PIPELINED), m.get("floor, one by one")
        self.goal("pipelined at least 2.5x faster than sequential", seq / pip >= 2.5 if seq and pip else None)
        # Not a goal of its own: the sequential walk beside the sequential floor shows what the MIME work costs.
        self.goal("(sequential walk) maildig within 1.15x of the floor one by one",
                  seq / fl1 <= 1.15 if seq and fl1 else None)

    def pipelining(self, target, delay_ms, sequential_runs):
        """The sequential walks (PIPELINING hidden by the proxy), then the pipelined ones, through the proxy."""
        res = {}
        for strip, runs in ((True, sequential_runs), (False, self.args.runs)):
            proxy = self.start_proxy(target, delay_ms, strip)
            cases = {}
            if self.maildig(PROXY_HOST):
                cases[SEQUENTIAL if strip else PIPELINED] = self.maildig(PROXY_HOST)
            window = 1 if strip else self.args.window
            cases["floor, one by one" if strip else "floor, %d in flight" % window] = self.floor(PROXY_HOST, window)
            res.update(self.measure(cases, runs))
            self.stop_proxy(proxy)
        return res

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0], epilog=__doc__.split("\n\n", 1)[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=7, help="runs of each quick case (default 7)")
    parser.add_argument("--slow-runs", type=int, default=3, help="runs of python and the distant sequential walk")
    parser.add_argument("--count", type=int, default=2000, help="messages of the large mailbox (default 2000)")
    parser.add_argument("--near-count", type=int, default=500, help="messages behind the delay (default 500)")
    parser.add_argument("--delay-ms", type=float, default=5, help="one-way delay of the proxy (default 5)")
    parser.add_argument("--window", type=int, default=32, help="commands in flight for the floor (default 32)")
    parser.add_argument("--seed", type=int, default=1, help="mailbox seed (default 1)")
    parser.add_argument("--build-dir", default="build-bench", help="build folder below the tree (build-bench)")
    parser.add_argument("--skip-build", action="store_true", help="use the binaries already in the build folder")
    parser.add_argument("--maildig", help="measure this maildig binary instead of building one")
    args = parser.parse_args()
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
