#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The road from a phone to X events through the whole system: the real server on Xvfb with a real Avahi
daemon in a private network, driven only from outside through vemdo-client, as a phone would drive it.
The detailed rules (clamping, every key, every field) belong to the unit and X11 backend tests."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from harness import NAME, main, step, wait_for  # noqa: E402

X, Y = 400, 300
TEXT = "Hi é ğ e\u0301 😀!"


def scenario(h):
    h.bus("system")
    h.avahi()
    h.xvfb()
    h.run(["xdotool", "mousemove", str(X), str(Y)], check=True)
    recorder = h.recorder()
    status = h.server().ready()

    step("found by browsing on the printed port, paired with the printed code, authenticated")
    assert f"{NAME}\t127.0.0.1\t{status.port}" in h.client("phone", "discover")
    assert "pairResponse success: Paired successfully" in h.client("phone", "pair", status.code)
    assert "auth success: Kimlik doğrulandı" in h.client("phone", "auth")

    step("moves doubled, clicks, a drag, scrolls, Command-C and text, then a datagram move")
    at = ["--host", "127.0.0.1", "--port", str(status.port), "--name", NAME]
    script = ["auth", "move 10 5", "click", "click right", "down", "move 30 0", "move 0 20", "up", "scroll 0 150",
              "scroll 0 -150", "key 55 down", "key 8", "key 55 up", "key 8", f"type {TEXT}"]
    h.client("phone", *at, "script", stdin="\n".join(script) + "\n")
    h.client("phone", *at, "--udp", "move", "-25", "-15")
    end = ("motion", "-", X + 30, Y + 20, False)
    wait_for(lambda: end in recorder.records(), "the datagram move")
    wheel = [r[1] for r in recorder.records() if r[0] == "press" and r[1] > 3]
    assert wheel and wheel == sorted(wheel) and set(wheel) == {4, 5}, f"up is 4, down is 5: {wheel}"
    assert [r for r in recorder.records() if r[1] in ("-", 1, 2, 3)] == [
        ("motion", "-", X + 20, Y + 10, False),
        ("press", 1, X + 20, Y + 10, False), ("release", 1, X + 20, Y + 10, True),
        ("press", 3, X + 20, Y + 10, False), ("release", 3, X + 20, Y + 10, False),
        ("press", 1, X + 20, Y + 10, False),
        ("motion", "-", X + 80, Y + 10, True), ("motion", "-", X + 80, Y + 50, True),
        ("release", 1, X + 80, Y + 50, True),
        end], recorder.records()
    # Control-C gives the control character; the plain C after it shows Control was let go.
    wait_for(lambda: recorder.text() == "\x03c" + TEXT, "the typed text")


if __name__ == "__main__":
    main({"phone_road": scenario}, ["dbus-daemon", "avahi-daemon", "avahi-browse", "Xvfb", "xdotool"],
         "server", "client", "recorder")
