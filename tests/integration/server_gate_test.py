#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The real server's gate, spoken to with raw sockets from several loopback addresses in a private network,
on a real X server whose motion events show what was injected.

What proves that something was dropped is always a later input that must be handled after it: on TCP the
next message of the same connection, for a datagram the next datagram to the same server socket."""

import json
import os
import random
import re
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from harness import (WEB_PORT, Browser, Phone, connect, datagram_move, listening_ports, main, step,  # noqa: E402
                     wait_for)

X, Y = 100, 400


def scenario(h):
    h.xvfb()
    h.run(["xdotool", "mousemove", str(X), str(Y)], check=True)
    recorder = h.recorder()
    server = h.server()
    status = server.ready()
    code, expected = status.code, []

    def arrives(*positions):
        expected.extend(positions)
        motions = lambda: [r[2:4] for r in recorder.records() if r[0] == "motion"]
        wait_for(lambda: len(motions()) >= len(expected), f"motion to {expected[-1]}")
        assert motions() == expected, f"expected {expected}, the X server saw {motions()}"

    step("input before auth is dropped, the same connection's input after auth arrives")
    phone = Phone(status.port, "127.0.0.1")
    phone.move(10, 10)
    paired = phone.pair("phone-a", code)
    token = paired.get("token", "")
    assert paired["success"] is True and re.fullmatch(r"[0-9a-f]{64}", token), paired
    phone.move(10, 10)
    assert phone.auth("phone-a", token)["success"] is True
    phone.move(5, 0)
    arrives((X + 10, Y))

    step("a web page's POST to the phone port is closed unanswered and spends no guess of its sender")
    wrong = "100000" if code != "100000" else "100001"
    lines = "".join(json.dumps({"kind": "pairRequest", "timestamp": 1, "deviceID": f"page-{n}", "pairingCode": wrong})
                    + "\n" for n in range(10))
    for _ in range(3):
        page = connect(status.port, "127.0.0.5")
        # What fetch(..., {method: "POST", mode: "no-cors", body}) makes a browser send.
        page.sendall(f"POST / HTTP/1.1\r\nHost: 127.0.0.1:{status.port}\r\nContent-Type: text/plain;charset=UTF-8\r\n"
                     f"Origin: http://evil.test\r\nContent-Length: {len(lines)}\r\n\r\n{lines}".encode())
        assert page.recv(4096) == b"", "the phone port answered an HTTP request"
        page.close()
    assert Phone(status.port, "127.0.0.5").pair("after-the-page", code)["success"] is True

    step("datagrams only from a host with an authenticated connection, and not after it has closed")
    datagram_move(status.port, "127.0.0.2", 50, 50)
    phone.datagram_move(5, 0)
    arrives((X + 20, Y))
    other = Phone(status.port, "127.0.0.3")
    assert other.auth("phone-a", token)["success"] is True
    other.datagram_move(5, 0)
    arrives((X + 30, Y))
    server.wait_status(lambda s: s.clients == 2, "two connections")
    other.close()
    server.wait_status(lambda s: s.clients == 1, "the closed connection to be gone")
    other.datagram_move(50, 50)
    phone.datagram_move(5, 0)
    arrives((X + 40, Y))

    step("a browser (the page's session in Node) pairs; that unlocks no datagrams: one forged with its address "
         "moves nothing; its moves arrive, and its text after it returns with its secret")
    browser = wait_for(lambda: WEB_PORT in listening_ports() and Browser(WEB_PORT, "127.0.0.6"), "the page's port")
    secret = browser.exchange("browser-a", code=code)["token"]
    for _ in range(10):
        datagram_move(status.port, "127.0.0.6", 50, 50)
    phone.datagram_move(1, 0)
    arrives((X + 42, Y))
    browser.move(1, 0)
    arrives((X + 44, Y))
    assert (returned := Browser(WEB_PORT, "127.0.0.6")).exchange("browser-a", secret=secret)["success"] is True
    returned.send(kind="text", text="Héllo wörld € 😀")
    wait_for(lambda: recorder.text() == "Héllo wörld € 😀", f"the browser's text (so far {recorder.text()!r})")

    phone.close()

    step("pairing and the code survive restarts, also SIGKILL in the middle of pairing floods")
    store, chance, port = os.path.join(h.config_home("server"), "vemdo-trackpad"), random.Random(11), status.port
    store_file = os.path.join(store, "defaults.json")
    for round_ in range(10):
        # The same 90 devices every round: with phone-a and phone-b they stay within the 100 kept paired.
        victims = [Phone(port, f"127.0.{round_ + 2}.{n + 1}") for n in range(9)]
        for n, victim in enumerate(victims):
            for attempt in range(10):
                victim.send(kind="pairRequest", deviceID=f"kill-{n}-{attempt}", pairingCode=code)
        # Killed the moment the store is seen truncated, which only a writer that writes in place would show,
        # or else at a random point of the flood.
        deadline = time.monotonic() + chance.uniform(0, 0.1)
        while time.monotonic() < deadline and os.stat(store_file).st_size > 0:
            pass
        h.forget(server, signal.SIGKILL)
        server = h.server()
        port = wait_for(lambda: listening_ports() - {WEB_PORT}, "the restarted server to listen").pop()
        assert not [f for f in os.listdir(store) if ".corrupt" in f], f"round {round_}: the store was unreadable"
        assert Phone(port, "127.0.0.1").auth("phone-a", token)["success"] is True, f"round {round_}"
    assert server.ready().code == code, f"the code went from {code} to {server.blocks[-1].code}"
    last = Phone(port, "127.0.0.1")
    assert last.auth("phone-a", token)["success"] is True
    last.move(0, -10)
    arrives((X + 44, Y - 20))


if __name__ == "__main__":
    main({"gate": scenario}, ["Xvfb", "xdotool", "node"], "server", "recorder")
