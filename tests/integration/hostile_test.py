#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""What a hostile host on the network can do to the real server's memory, descriptors and page, beside a phone
paired over the app's protocol (127.0.0.1) and a browser paired over the page's WebSocket (127.0.0.2): ping a
WebSocket it never reads, open connections as fast as one process can under a limit of 1,024 descriptors,
flood the page's port while a phone's browser loads the page. Floods run from 127.0.0.20 as separate
processes that stop by themselves."""

import contextlib
import os
import resource
import signal
import socket
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from harness import (WEB_PORT, Browser, Phone, listening_ports, main, resident_kib, step,  # noqa: E402
                     wait_for, websocket_frame)

FLOOD_SECONDS = 10


def sanitized(h):
    """Whether the server runs under AddressSanitizer, where resident size and speed say little."""
    with open(h.args.server, "rb") as program:
        return b"__asan_init" in program.read()


def start(h, **options):
    """The server with a phone and a browser paired and authenticated; returns the server, its port, the code,
    the phone's token and a check that both still get answers on the connections they hold and on new ones."""
    server = h.server(**options)
    status = server.ready()
    port, code = status.port, status.code
    wait_for(lambda: WEB_PORT in listening_ports(), "the page's port")
    phone, browser = Phone(port, "127.0.0.1"), Browser(WEB_PORT, "127.0.0.2")
    tokens = {"phone": phone.pair("phone", code)["token"], "browser": browser.pair("browser", code)["token"]}

    def both_work():
        for name, connection in (("phone", phone), ("browser", browser)):
            assert connection.auth(name, tokens[name])["success"] is True, name
        assert Browser(WEB_PORT, "127.0.0.2").auth("browser", tokens["browser"])["success"] is True

    both_work()
    return server, port, code, tokens["phone"], both_work


def page_load(source, delay=0.0):
    """Seconds a fresh connection from source takes to get the page (waiting delay seconds before it sends
    the request, as a phone on Wi-Fi may), or the error that stopped it."""
    start = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", WEB_PORT), 5, (source, 0)) as tcp:
            time.sleep(delay)
            tcp.sendall(f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{WEB_PORT}\r\n\r\n".encode())
            response = b"".join(iter(lambda: tcp.recv(65536), b""))
    except OSError as error:
        return error
    if not response.startswith(b"HTTP/1.1 200 ") or not response.endswith(b"</html>\n"):
        return response[:100]
    return time.monotonic() - start


def summary(name, results):
    times = [r for r in results if isinstance(r, float)]
    print(f"{name}: {len(times)} of {len(results)}, median {statistics.median(times or [0]) * 1e3:.0f} ms, "
          f"longest {max(times or [0]) * 1e3:.0f} ms; failed: {[r for r in results if r not in times][:3]}",
          flush=True)
    return times


def pings(h):
    server, port, code, token, both_work = start(h)
    before = resident_kib(server.popen.pid)
    step("a WebSocket that pings without reading is closed; the server grows by a few MiB at most")
    flooder = h.spawn([sys.executable, __file__, "pings", str(WEB_PORT), "0"])
    ended = flooder.wait_line(r"(closed|open) after .*", timeout=FLOOD_SECONDS + 10)
    grown = resident_kib(server.popen.pid) - before
    print(f"{ended}; resident size grew by {grown} KiB", flush=True)
    assert ended.startswith("closed"), ended
    assert grown < 4096 or sanitized(h), f"the server grew by {grown} KiB"
    both_work()


def descriptors(h):
    server, port, code, token, both_work = start(h, prefix=["prlimit", "--nofile=1024:1024", "--"])
    # AddressSanitizer makes the server several times slower: there the flood is slower, and so is the answer.
    pid, pace, slack = server.popen.pid, *((1000, 3) if sanitized(h) else (0, 1))
    step("connections as fast as one process opens them: phones and pages get in within a second")
    phones, pages, in_use = [], [], []

    def phone_auth():
        start = time.monotonic()
        try:
            assert Phone(port, "127.0.0.1").auth("phone", token)["success"] is True
        except OSError as error:
            return error
        return time.monotonic() - start

    with h.flood("connections", port, pace):
        deadline = time.monotonic() + FLOOD_SECONDS - 3
        while time.monotonic() < deadline:
            in_use.append(len(os.listdir(f"/proc/{pid}/fd")))
            phones.append(phone_auth())
            pages.append(page_load("127.0.0.3"))
            time.sleep(0.1)
    print(f"descriptors in use: at most {max(in_use)} of 1024, median {statistics.median(in_use)}", flush=True)
    loaded = summary("page loads", pages)
    summary("phone authentications", phones)
    assert len(loaded) == len(pages) and max(pages + phones) < slack

    step("afterwards: a phone and a page get in, the right code pairs a new device, the phone and browser work")
    assert phone_auth() < slack and page_load("127.0.0.3") < slack
    assert Phone(port, "127.0.0.4").pair("newcomer", code)["success"] is True
    both_work()


def page(h):
    server, port, code, token, both_work = start(h)
    pace = 1000 if sanitized(h) else 5000
    step(f"page loads that send their request 100 ms after connecting, during {pace} connections a second")
    with h.flood("page", WEB_PORT, pace):
        loads = [page_load("127.0.0.3", 0.1) for _ in range(30)]
    assert len(summary("page loads", loads)) == len(loads)
    both_work()


def run_flood(kind, port, pace):
    """Until SIGTERM or FLOOD_SECONDS, from 127.0.0.20, never reading. pings: one WebSocket sending pings
    until it is closed. connections: connections alternately to the app's port (each sending 4 KB lines)
    and the page's (each sending 4 KB of a request head that does not end). page: connections to the page's
    port, sending nothing."""
    port, pace, stopped, opened, held = int(port), int(pace), [], 0, []
    signal.signal(signal.SIGTERM, lambda *_: stopped.append(True))
    resource.setrlimit(resource.RLIMIT_NOFILE, (resource.getrlimit(resource.RLIMIT_NOFILE)[1],) * 2)
    if not pace:
        # A hostile host is another computer: a flood as fast as it goes must not take the processor the server
        # runs on here, or the server's own slowness is what phones wait for.
        os.nice(5)
    print("flooding", flush=True)
    start = time.monotonic()
    running = lambda: not stopped and time.monotonic() - start < FLOOD_SECONDS
    if kind == "pings":
        browser, pinged, batch = Browser(port, "127.0.0.20", receive_buffer=4096), 0, websocket_frame(9, b"p" * 125)
        browser.tcp.settimeout(0.5)
        try:
            while running():
                with contextlib.suppress(TimeoutError):
                    browser.tcp.sendall(batch * 100)
                    pinged += 100
        except OSError:
            print(f"closed after {pinged} pings in {time.monotonic() - start:.1f} s", flush=True)
            return
        print(f"open after {pinged} pings in {time.monotonic() - start:.1f} s", flush=True)
        return
    lines = {port: (b"x" * 4095 + b"\n") * 4, WEB_PORT: b"GET / HTTP/1.1\r\nX: " + b"x" * 4077}
    while running():
        tick = time.monotonic()
        for _ in range(50):
            peer = socket.socket()
            peer.setblocking(False)
            peer.bind(("127.0.0.20", 0))
            target = WEB_PORT if kind == "page" or opened % 2 else port
            if peer.connect_ex(("127.0.0.1", target)) not in (0, 115):  # 115: EINPROGRESS
                # Out of local ports: make room.
                peer.close()
                for old, _ in held[:1000]:
                    old.close()
                del held[:1000]
                break
            held.append((peer, target))
            opened += 1
        if kind == "connections":
            # The batch before this one has had time to connect: it sends its 4 KB and more, so that the server
            # still finds bytes unread when it closes one and grants it its grace.
            for peer, target in held[-100:-50]:
                with contextlib.suppress(OSError):
                    peer.send(lines[target])
        while len(held) > 8000:
            held.pop(0)[0].close()
        if pace:
            time.sleep(max(0.0, 50 / pace - (time.monotonic() - tick)))
    print(f"opened {opened} in {time.monotonic() - start:.1f} s", flush=True)


if __name__ == "__main__":
    if sys.argv[1] in ("pings", "connections", "page"):
        run_flood(*sys.argv[1:])
    else:
        main({"pings": pings, "descriptors": descriptors, "page": page}, ["prlimit"], "server")
