#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""End-to-end figures of the real server: latency, throughput and memory.

    python3 bench/e2e.py BUILD_DIR [--quick]

Runs inside a private network namespace (tests/support/harness.py): its own Xvfb, the real
`vemdo-trackpad --headless` on a fresh configuration directory with no reachable system bus (so nothing is
announced), bin/latency_driver as the phone and as the X-side stopwatch, and bin/floor_forwarder as the
floor the server's datagram path is compared with. Every child is killed by PID when the run ends, also
on failure. Prints its figures and, when VEMDO_BENCH_SUMMARY names a file, appends the headline figures to
it as tab-separated rows for bench/run.sh's summary table. --quick shortens every phase (a smoke run).
"""

import argparse
import json
import math
import os
import random
import shutil
import signal
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
import harness  # noqa: E402

TIME_LIMIT_SECONDS = 480


class Bench:
    def __init__(self, build_dir, quick):
        self.bin = os.path.join(build_dir, "bin")
        self.quick = quick
        self.summary = []
        self.h = None

    def binary(self, name):
        path = os.path.join(self.bin, name)
        if not os.access(path, os.X_OK):
            raise RuntimeError(f"not built: {path}")
        return path

    def driver(self, *args, timeout):
        result = self.h.run([self.binary("latency_driver"), *map(str, args)], timeout=timeout)
        if result.returncode != 0 or not result.stdout.strip():
            raise RuntimeError(f"latency_driver {args[0]} failed ({result.returncode}):\n{result.stderr}"
                               + "\n".join(c.describe() for c in self.h.children))
        return json.loads(result.stdout.strip().splitlines()[-1])

    def start_server(self, name):
        server = self.h.server(name)
        status = server.ready()
        return server, status

    def run(self):
        with harness.Harness(argparse.Namespace(server=self.binary("vemdo-trackpad"))) as h:
            self.h = h
            h.xvfb()
            xvfb = h.children[-1].popen
            self.latency_and_throughput(xvfb)
            self.flood()
            self.memory()

    # -- latency and throughput ---------------------------------------------------------------------------

    def latency_and_throughput(self, xvfb):
        server, status = self.start_server("server")
        port = status.port
        token = self.driver("pair", "--port", port, "--code", status.code, timeout=30)["token"]
        rate, seconds, rounds = (500, 1, 1) if self.quick else (500, 3, 5)
        common = ("--rate", rate, "--seconds", seconds)

        floor = self.h.spawn([self.binary("floor_forwarder")])

        def announced_port():
            if floor.popen.poll() is not None:
                raise RuntimeError("the floor forwarder exited\n" + floor.describe())
            return next((int(l.split()[-1]) for l in floor.out if l.startswith("Listening on port")), None)

        floor_port = harness.wait_for(announced_port, "the floor forwarder's port", 10)
        paths = (("server, TCP move message", ("--port", port, "--path", "tcp", "--token", token)),
                 ("server, UDP move datagram", ("--port", port, "--path", "udp", "--token", token)),
                 ("floor (one XTest call), UDP", ("--port", floor_port, "--path", "udp")))
        # The paths take turns, so that a busy moment of the shared machine does not fall on one path only.
        pooled = {title: {"sent": 0, "lost": 0, "samples": []} for title, _ in paths}
        for _ in range(rounds):
            for title, args in paths:
                r = self.driver("latency", *args, *common, timeout=60)
                pooled[title]["sent"] += r["sent"]
                pooled[title]["lost"] += r["lost"]
                pooled[title]["samples"] += r["samples_us"]
        self.h.forget(floor)
        stats = {title: {**p, **percentiles(p["samples"])} for title, p in pooled.items()}

        print(f"   steady {rate} moves/s, {rounds} x {seconds} s per path taken in turns; "
              "from the send call to MotionNotify on the root window")
        print(f"   {'path':<30} {'sent':>6} {'lost':>5} {'p50':>9} {'p99':>9} {'max':>9}")
        for title, r in stats.items():
            print(f"   {title:<30} {r['sent']:>6.0f} {r['lost']:>5.0f} {us(r['p50'])} {us(r['p99'])} {us(r['max'])}")
        udp, floor_udp = stats[paths[1][0]], stats[paths[2][0]]
        ratio = {q: udp[q] / floor_udp[q] if floor_udp[q] > 0 else float("nan") for q in ("p50", "p99")}
        print(f"   ratio server/floor (UDP): p50 x{ratio['p50']:.2f}, p99 x{ratio['p99']:.2f}")
        for (title, _), name in zip(paths, ("latency TCP move, server", "latency UDP datagram, server",
                                           "latency UDP datagram, floor")):
            r = stats[title]
            self.add(name, f"p50 {us(r['p50']).strip()}, p99 {us(r['p99']).strip()}, max {us(r['max']).strip()}"
                     + (f" ({r['lost']:.0f} of {r['sent']:.0f} lost)" if r["lost"] else ""))
        self.add("latency ratio server/floor (UDP)", f"p50 x{ratio['p50']:.2f}, p99 x{ratio['p99']:.2f}")

        count = 20000 if self.quick else 100000
        steps = "2000,5000,10000" if self.quick else "2000,5000,10000,20000,30000,40000,60000"
        t = self.driver("throughput", "--port", port, "--token", token, "--server-pid", server.popen.pid,
                        "--xvfb-pid", xvfb.pid, "--count", count, "--steps", steps, timeout=240)
        b = t["blast"]
        print()
        print(f"   throughput, one authenticated TCP connection, moves injected into Xvfb")
        rates = ", ".join(f"{x['messages_per_second']:.0f}" for x in t["blasts"])
        print(f"   blast of {b['count']:.0f} moves, median of {len(t['blasts'])} ({rates}): "
              f"{b['messages_per_second']:.0f} moves/s from first send to last motion "
              f"({b['seconds']:.2f} s, {b['matched']:.0f} arrived)")
        print(f"   CPU per move: server {b['server_cpu_us_per_message']:.1f} us, "
              f"Xvfb {b['xvfb_cpu_us_per_message']:.1f} us; server resident size after it "
              f"{mib(b['server_rss_kb'])}, peak {mib(b['server_peak_kb'])}")
        print(f"   paced steps (keeps up = nothing lost, p99 <= {t['keep_up_ms']:.0f} ms, >= 90% of the rate sent):")
        print(f"   {'rate':>8} {'sent/s':>8} {'lost':>6} {'p50':>9} {'p99':>9} {'server CPU':>10}")
        for s in t["steps"]:
            print(f"   {s['rate_requested']:>8.0f} {s['rate_sent']:>8.0f} {s['lost']:>6.0f} {us(s['p50_us']):>9} "
                  f"{us(s['p99_us']):>9} {100 * s['server_cpu_share']:>9.0f}%")
        self.add("throughput, one TCP connection (blast)", f"{b['messages_per_second']:.0f} moves/s")
        self.add(f"paced rate kept up (p99 <= {t['keep_up_ms']:.0f} ms)", f"{t['kept_up_rate']:.0f} moves/s")
        self.add("server CPU per move (TCP, into Xvfb)", f"{b['server_cpu_us_per_message']:.1f} us")
        self.h.forget(server)

    # -- a phone beside a flood ----------------------------------------------------------------------------

    def flood(self):
        server, status = self.start_server("flood")
        token = self.driver("pair", "--port", status.port, "--code", status.code, timeout=30)["token"]
        before, opened, stop = harness.resident_kib(server.popen.pid), [0], threading.Event()

        def crowd():
            chance, peers, started = random.Random(7), [], time.monotonic()
            while not stop.is_set():
                # A thousand new connections a second, about what one busy host on a Wi-Fi can open.
                if opened[0] > (time.monotonic() - started) * 1000:
                    time.sleep(0.001)
                    continue
                try:
                    peers.append(harness.abusive_peer(status.port, f"127.0.1.{opened[0] % 50 + 1}", opened[0], chance))
                    opened[0] += 1
                except OSError:
                    pass
                # Closed in batches, so that several hundred are open at once.
                if len(peers) >= 500:
                    for peer in peers:
                        peer.close()
                    peers.clear()
            for peer in peers:
                peer.close()

        flooder = threading.Thread(target=crowd)
        flooder.start()
        try:
            r = self.driver("latency", "--port", status.port, "--path", "tcp", "--token", token, "--rate", 500,
                            "--seconds", 2 if self.quick else 10, timeout=60)
        finally:
            stop.set()
            flooder.join()
        after = harness.resident_kib(server.popen.pid)
        p = percentiles(r["samples_us"])
        print()
        print(f"   a phone's TCP moves at 500/s beside {opened[0]} abusive connections at 1000/s (junk, unfinished "
              "lines, half-open, reset, wrong codes)")
        print(f"   {r['lost']:.0f} of {r['sent']:.0f} moves lost; p50 {us(p['p50']).strip()}, p99 {us(p['p99']).strip()}; "
              f"server resident size {mib(before)} before, {mib(after)} after")
        self.add(f"phone beside a flood of {opened[0]} abusive connections",
                 f"{r['lost']:.0f} of {r['sent']:.0f} lost, p99 {us(p['p99']).strip()}, RSS {mib(before)} -> {mib(after)}")
        self.h.forget(server)

    # -- memory -------------------------------------------------------------------------------------------

    def memory(self):
        server, status = self.start_server("memory")
        # Let start-up work (first status print, store writes) finish before the idle reading.
        time.sleep(1.0)
        messages, checkpoint = (200000, 50000) if self.quick else (1000000, 200000)
        m = self.driver("memory", "--port", status.port, "--code", status.code, "--server-pid", server.popen.pid,
                        "--connections", 100, "--messages", messages, "--checkpoint", checkpoint, "--window", 1000,
                        timeout=420)
        print()
        print(f"   server resident size (VmRSS); the moves go over one connection that waits for the server "
              f"after every {m['window']:.0f}")
        rows = [("idle after start", m["idle_kb"]),
                (f"with {m['connections']:.0f} idle authenticated connections", m["with_connections_kb"]),
                ("after they closed", m["after_close_kb"])]
        rows += [(f"after {handled} moves", kb) for handled, kb in m["checkpoints"]]
        for title, kb in rows:
            print(f"   {title:<42} {mib(kb):>10}")
        first, last = m["checkpoints"][0], m["checkpoints"][-1]
        growth = last[1] - first[1]
        print(f"   {'peak (VmHWM)':<42} {mib(m['peak_kb']):>10}")
        print(f"   growth from {first[0]} to {last[0]} moves: {growth:+d} KiB "
              f"({m['messages_per_second']:.0f} moves/s, server CPU {m['server_cpu_us_per_message']:.1f} us per move)")
        self.add("RSS idle", mib(m["idle_kb"]))
        self.add(f"RSS with {m['connections']:.0f} idle connections", mib(m["with_connections_kb"]))
        self.add(f"RSS after {first[0] // 1000}k / {last[0] // 1000}k moves",
                 f"{mib(first[1])} / {mib(last[1])} ({growth:+d} KiB)")
        self.h.forget(server)

    def add(self, name, value):
        self.summary.append((name, value))


def us(value):
    if value is None or value < 0:
        return f"{'-':>9}"
    return f"{value / 1000:>6.2f} ms" if value >= 1000 else f"{value:>6.0f} us"


def percentiles(samples):
    """Nearest-rank p50 and p99 and the maximum of latencies in microseconds (-1 when there are none)."""
    ordered = sorted(samples)
    if not ordered:
        return {"p50": -1, "p99": -1, "max": -1}

    def rank(q):
        return ordered[max(0, min(len(ordered) - 1, math.ceil(q * len(ordered)) - 1))]

    return {"p50": rank(0.50), "p99": rank(0.99), "max": ordered[-1]}


def mib(kb):
    return f"{kb / 1024:.1f} MiB"


def main():
    if len(sys.argv) < 2:
        print("usage: e2e.py BUILD_DIR [--quick]", file=sys.stderr)
        return 2
    build_dir = os.path.abspath(sys.argv[1])
    quick = "--quick" in sys.argv[2:]
    if shutil.which("Xvfb") is None:
        harness.skip("Xvfb is missing (scripts/install-deps.sh installs it)")
    harness.enter_private_namespace()
    bench = Bench(build_dir, quick)

    def overrun(*_):
        raise TimeoutError(f"the end-to-end run took longer than {TIME_LIMIT_SECONDS} s")

    # Bounded whatever happens: the exception unwinds through the harness, which kills every child by PID.
    signal.signal(signal.SIGALRM, overrun)
    signal.alarm(TIME_LIMIT_SECONDS)
    try:
        bench.run()
    finally:
        target = os.environ.get("VEMDO_BENCH_SUMMARY")
        if target:
            with open(target, "a", encoding="utf-8") as f:
                for name, value in bench.summary:
                    f.write(f"{name}\t{value}\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
