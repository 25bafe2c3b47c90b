#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""DNS-SD of the real server against a real Avahi daemon in a private network: a server that starts before
the daemon (as at login) is found once the daemon runs, on the port it prints with UDP on the same number;
a second computer's server on the network gets the alternative name; a restarted daemon gets both back."""

import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from harness import NAME, listening_ports, main, step, wait_for  # noqa: E402

WARNING = "Warning: DNS-SD advertisement unavailable (the Avahi daemon is not running); phones cannot find this " \
          "computer until the Avahi daemon runs. The server keeps running and advertises as soon as it can."


def scenario(h):
    h.bus("system")
    first = h.server("first")
    port = first.ready().port
    first.wait_line(re.escape(WARNING), "err")

    step("found once the daemon runs, on the printed port, with UDP on the same port")
    avahi = h.avahi()
    wait_for(lambda: (NAME, port) in h.browse(), f"{NAME} on port {port}")
    assert port in listening_ports("udp"), f"no UDP socket on {port}: {listening_ports('udp')}"

    step("a second server is renamed, and a restarted daemon gets both registrations back")
    second = h.server("second").ready().port
    both = {(NAME, port), (f"{NAME} #2", second)}
    wait_for(lambda: h.browse() == both, f"both servers, {both}")
    h.forget(avahi)
    h.avahi()
    wait_for(lambda: {p for _, p in h.browse()} == {port, second}, "both servers after the daemon restarted", 30)
    assert [line for line in first.err if "DNS-SD" in line] == [WARNING], first.err


if __name__ == "__main__":
    main({"discovery": scenario}, ["dbus-daemon", "avahi-daemon", "avahi-browse"], "server")
