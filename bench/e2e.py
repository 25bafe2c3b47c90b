#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""End-to-end figures of the real server: latency, throughput, memory, and typing beside moves.

    python3 bench/e2e.py BUILD_DIR [--quick] [--only latency|flood|hostile|memory|typing]

Runs inside a private network namespace (tests/support/harness.py): its own Xvfb, the real
`vemdo-trackpad --headless` on a fresh configuration directory with no reachable system bus (so nothing is
announced), bin/latency_driver as the phone and as the X-side stopwatch, and bin/floor_forwarder as the
floor the server's datagram path is compared with; for typing, bin/x_event_recorder and, on a headless sway,
bin/wayland_event_recorder as the window typed into. Every child is killed by PID when the run ends, also
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
import statistics
import sys
import threading
import time

for folder in ("support", "integration"):
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", folder))
import harness  # noqa: E402
import hostile_test  # noqa: E402

TIME_LIMIT_SECONDS = 600


class Bench:
    def __init__(self, build_dir, quick, only):
        self.bin = os.path.join(build_dir, "bin")
        self.quick = quick
        self.only = only
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
        with harness.Harness(argparse.Namespace(server=self.binary("vemdo-trackpad"),
                                                recorder=self.binary("x_event_recorder"),
                                                wayland_recorder=self.binary("wayland_event_recorder"))) as h:
            self.h = h
            # Wide enough for the latency driver's row of positions, which must never reach an edge.
            h.xvfb("-screen", "0", "1920x1080x24")
            xvfb = h.children[-1].popen
            for name, section in (("latency", lambda: self.latency_and_throughput(xvfb)), ("flood", self.flood),
                                  ("hostile", self.hostile), ("memory", self.memory), ("typing", self.typing)):
                if self.only in (None, name):
                    section()

    # -- latency and throughput ---------------------------------------------------------------------------

    def latency_and_throughput(self, xvfb):
        server, status = self.start_server("server")
        port = status.port
        token = self.driver("pair", "--port", port, "--code", status.code, timeout=30)["token"]
        secret = self.driver("pair", "--port", harness.WEB_PORT, "--path", "ws", "--code", status.code,
                             timeout=30)["token"]
        rate, seconds, rounds = (500, 1, 2) if self.quick else (500, 2, 7)
        common = ("--rate", rate, "--seconds", seconds)
        floors = {kind: self.floor(kind) for kind in ("udp", "tcp")}
        paths = {"server, UDP datagram": ("--port", port, "--path", "udp", "--token", token),
                 "floor, UDP datagram": ("--port", floors["udp"], "--path", "udp"),
                 "server, TCP move line": ("--port", port, "--path", "tcp", "--token", token),
                 "floor, TCP move line": ("--port", floors["tcp"], "--path", "tcp"),
                 "server, WebSocket message": ("--port", harness.WEB_PORT, "--path", "ws", "--token", secret)}
        # The paths take turns within every round, so that a busy moment of the shared machine falls on all
        # of them alike; each round's p50 and p99 is one sample, and the median over the rounds is reported.
        runs = {title: [] for title in paths}
        for _ in range(rounds):
            for title, args in paths.items():
                runs[title].append(self.driver("latency", *args, *common, timeout=60))
        for child in [c for c in self.h.children if "floor_forwarder" in c.argv[0]]:
            self.h.forget(child)

        print(f"   steady {rate} moves/s, {rounds} rounds of {seconds} s per path taken in turns; from the send call "
              "to MotionNotify on the root window; median over the rounds [lowest-highest round]")
        print(f"   {'path':<24} {'sent':>6} {'lost':>5} {'p50':>22} {'p99':>22}")
        medians = {}
        for title, results in runs.items():
            p50s, p99s = [r["p50_us"] for r in results], [r["p99_us"] for r in results]
            medians[title] = (statistics.median(p50s), statistics.median(p99s))
            sent, lost = sum(r["sent"] for r in results), sum(r["lost"] for r in results)
            spread = lambda values, m: f"{us(m).strip()} [{us(min(values)).strip()}-{us(max(values)).strip()}]"
            print(f"   {title:<24} {sent:>6.0f} {lost:>5.0f} {spread(p50s, medians[title][0]):>22} "
                  f"{spread(p99s, medians[title][1]):>22}")
            self.add(f"latency {title}", f"p50 {spread(p50s, medians[title][0])}, p99 {spread(p99s, medians[title][1])}"
                     + (f" ({lost:.0f} of {sent:.0f} lost)" if lost else ""))
        for kind, server_path, floor_path in (("UDP", "server, UDP datagram", "floor, UDP datagram"),
                                              ("TCP", "server, TCP move line", "floor, TCP move line")):
            ratio = [medians[server_path][q] / medians[floor_path][q] for q in (0, 1)]
            print(f"   ratio server/floor ({kind}): p50 x{ratio[0]:.2f}, p99 x{ratio[1]:.2f}")
            self.add(f"latency ratio server/floor ({kind})", f"p50 x{ratio[0]:.2f}, p99 x{ratio[1]:.2f}")
        web = medians["server, WebSocket message"][0] / medians["server, TCP move line"][0]
        print(f"   the browser page's road, sealed, against the app's: WebSocket p50 / TCP p50 x{web:.2f}")
        self.add("latency ratio WebSocket (sealed)/TCP (p50)", f"x{web:.2f}")
        exchanges = [r["exchange_us"] for r in runs["server, WebSocket message"]]
        print(f"   the page's exchange with its secret, from the hello to the computer's confirmation: "
              f"median {us(statistics.median(exchanges)).strip()} [{us(min(exchanges)).strip()}-{us(max(exchanges)).strip()}]")
        self.add("browser page's exchange (secret), median of the rounds", us(statistics.median(exchanges)).strip())

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

    def floor(self, kind):
        """Starts the floor forwarder for a path and returns its port."""
        floor = self.h.spawn([self.binary("floor_forwarder"), *(["--tcp"] if kind == "tcp" else [])])

        def announced_port():
            if floor.popen.poll() is not None:
                raise RuntimeError("the floor forwarder exited\n" + floor.describe())
            return next((int(l.split()[-1]) for l in floor.out if l.startswith("Listening on port")), None)

        return harness.wait_for(announced_port, "the floor forwarder's port", 10)

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

    # -- what a hostile host does to descriptors, memory, phones and pages ----------------------------------

    def hostile(self):
        """Each flood of the hostile tests, at full speed against the Release build, with the server's
        descriptors and resident size sampled, and a phone authenticating and a page loading every 0.1 s."""
        floods = (("pings", "a WebSocket pinging without reading", harness.WEB_PORT, 0),
                  ("connections", "connections as fast as one process opens them", None, 0),
                  ("page", "5000 connections a second to the page's port", harness.WEB_PORT, 5000))
        print()
        print("   floods from one address for up to 10 s, the server under a limit of 1024 descriptors; meanwhile "
              "every 0.1 s a phone authenticates on a new connection and a page loads")
        print(f"   {'flood':<48} {'descriptors':>11} {'resident size':>22} {'phone auth p50/max':>19} "
              f"{'page loads':>22}")
        for kind, title, target, pace in floods:
            server = self.h.server(f"hostile-{kind}", prefix=["prlimit", "--nofile=1024:1024", "--"])
            status = server.ready()
            harness.wait_for(lambda: harness.WEB_PORT in harness.listening_ports(), "the page's port")
            phone = harness.Phone(status.port, "127.0.0.1")
            token = phone.pair("phone", status.code)["token"]
            pid, before = server.popen.pid, harness.resident_kib(server.popen.pid)
            fds, rss, auths, pages = [], [], [], []
            flooder = self.h.spawn([sys.executable, hostile_test.__file__, kind, str(target or status.port), str(pace)])
            flooder.wait_line("flooding")
            deadline = time.monotonic() + (3 if self.quick else 8)
            # Sampled for the whole time even when the flood ends sooner (a pinging WebSocket is closed at once).
            while time.monotonic() < deadline:
                fds.append(len(os.listdir(f"/proc/{pid}/fd")))
                rss.append(harness.resident_kib(pid))
                start = time.monotonic()
                try:
                    ok = harness.Phone(status.port, "127.0.0.1").auth("phone", token)["success"] is True
                except OSError:
                    ok = False
                auths.append(time.monotonic() - start if ok else None)
                pages.append(hostile_test.page_load("127.0.0.3", 0.1 if kind == "page" else 0.0))
                time.sleep(0.1)
            self.h.forget(flooder)
            self.h.forget(server)
            times = [a for a in auths if a is not None]
            loads = [p for p in pages if isinstance(p, float)]
            auth = (f"{statistics.median(times) * 1e3:.0f}/{max(times) * 1e3:.0f} ms" if times else "none") + \
                (f" ({len(auths) - len(times)} failed)" if len(times) < len(auths) else "")
            load = f"{len(loads)}/{len(pages)}" + (f", max {max(loads) * 1e3:.0f} ms" if loads else "")
            memory = f"{mib(before)} -> max {mib(max(rss))}"
            print(f"   {title:<48} {max(fds):>11} {memory:>22} {auth:>19} {load:>22}")
            self.add(f"flood: {title}", f"{max(fds)} descriptors, RSS {memory}, phone auth {auth}, pages {load}")

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

    # -- typing beside moves ---------------------------------------------------------------------------------

    def typing(self):
        """On X11 and on sway: how much later than a move alone a move arrives that is sent right after a text,
        and how long 1000 distinct characters take to arrive, compared character for character."""
        reps = 2 if self.quick else 5
        print()
        print(f"   a move sent right after a text, against a move alone: the extra wait from the send to the window's "
              f"motion event (median of {reps}); 1000 distinct CJK characters, from the send to the last key's "
              "arrival, compared with what was sent")
        print(f"   {'desktop':<8} {'after 200 CJK':>14} {'after 200 ASCII':>16} {'1000 distinct':>24}")
        for desktop in ("X11", "sway"):
            if desktop == "sway":
                if shutil.which("sway") is None:
                    print("   sway: (not installed)")
                    continue
                self.h.sway((1280, 800))
                window = self.h.recorder("typing", cls=TimedWaylandRecorder)
                server = self.h.server("typing-sway", "--input", "wlroots")
            else:
                window = self.h.recorder(cls=TimedRecorder)
                server = self.h.server("typing-x11")
            status = server.ready()
            token = harness.Phone(status.port, "127.0.0.1").pair("typing", status.code)["token"]
            phone = harness.Phone(status.port, "127.0.0.1")
            assert phone.auth("typing", token)["success"] is True
            phone.move(1, 0)
            harness.wait_for(lambda: any(l.split()[0] in ("motion", "enter") for l in window.out[1:]), "the pointer")

            def send(text, step=[1]):
                """The time from sending (text, then) a move to the window's motion; waits for the text too."""
                since, step[0] = len(window.out), -step[0]
                start = time.monotonic()
                if text:
                    phone.send(kind="text", text=text)
                phone.move(5 * step[0], 0)
                moved = harness.wait_for(lambda: window.arrival("motion", since, 1), "the move", 30)
                if text:
                    harness.wait_for(lambda: window.arrival("key", since, len(text)), "the text", 120)
                return moved - start, window.typed(since)

            figures = ["-", "-", "-"]
            try:
                # ASCII first: CJK is what may break the connection.
                for column, letters in ((1, lambda r: "".join(chr(ord("a") + i % 26) for i in range(200))),
                                        (0, lambda r: "".join(chr(0x4E00 + 200 * r + i) for i in range(200)))):
                    plain = [send("")[0] for _ in range(reps)]
                    after = [send(letters(r))[0] for r in range(reps)]
                    figures[column] = f"{(statistics.median(after) - statistics.median(plain)) * 1e3:+.0f} ms"
                sample = "".join(chr(0x5000 + i) for i in range(1000))
                since, start = len(window.out), time.monotonic()
                phone.send(kind="text", text=sample)
                # Done when the last key has arrived, or when nothing more has for 5 s.
                harness.wait_for(lambda: window.arrival("key", since, 1000) or time.monotonic() - window.times[-1] > 5,
                                 "1000 characters", 300)
                end, typed = window.arrival("key", since, 1000), window.typed(since)
                wrong = sum(a != b for a, b in zip(typed, sample)) + abs(len(typed) - len(sample))
                figures[2] = (f"{end - start:.2f} s, " if end else "") + (f"{wrong} wrong" if wrong else "exact")
            except AssertionError as error:
                # libwayland gives up a connection whose requests the compositor does not read in time.
                cut = any("Error sending request" in line for line in server.err)
                broke = "the connection to the compositor broke (its queue was full)"
                print(f"   {desktop}: {broke if cut else error}")
            print(f"   {desktop:<8} {figures[0]:>14} {figures[1]:>16} {figures[2]:>24}")
            self.add(f"typing, {desktop}: a move sent after 200 CJK / 200 ASCII characters waits",
                     f"{figures[0]} / {figures[1]}")
            self.add(f"typing, {desktop}: 1000 distinct characters", figures[2])
            phone.close()
            self.h.forget(server)
            self.h.forget(window)

    def add(self, name, value):
        self.summary.append((name, value))


class Timed:
    """A recorder whose lines carry the time they arrived."""

    def line_added(self, is_stdout, line):
        if is_stdout:
            self.times = getattr(self, "times", [])
            self.times.append(time.monotonic())

    def arrival(self, kind, since, count):
        """When the count-th line of a kind (motion, or key release) arrived after line `since`; None before."""
        seen = [i for i in range(since, len(self.times)) if self.is_kind(self.out[i], kind)]
        return self.times[seen[count - 1]] if len(seen) >= count else None


class TimedRecorder(Timed, harness.Recorder):
    def is_kind(self, line, kind):
        return line.startswith("motion" if kind == "motion" else "key release")

    def typed(self, since):
        return self.text(since)


class TimedWaylandRecorder(Timed, harness.WaylandRecorder):
    def is_kind(self, line, kind):
        return line.startswith("motion") if kind == "motion" else line.startswith("key ") and line.split()[2] == "0"

    def typed(self, since):
        return "".join(line[5:] for line in self.out[since:] if line.startswith("text "))


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
        print("usage: e2e.py BUILD_DIR [--quick] [--only latency|flood|hostile|memory|typing]", file=sys.stderr)
        return 2
    build_dir = os.path.abspath(sys.argv[1])
    quick = "--quick" in sys.argv[2:]
    only = sys.argv[sys.argv.index("--only") + 1] if "--only" in sys.argv[2:-1] else None
    if shutil.which("Xvfb") is None:
        harness.skip("Xvfb is missing (scripts/install-deps.sh installs it)")
    harness.enter_private_namespace()
    bench = Bench(build_dir, quick, only)

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
