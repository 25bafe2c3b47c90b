#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Whole-system tests: the real server on a real X server in a private network, driven only from outside
through vemdo-client, as a phone would drive it.

Cases (one CTest test each):
  input    discovery, pairing with the printed code, auth, move, click, drag, scroll, Command shortcuts and
           Unicode text, each checked on the X server; a datagram move.
  hosts    a second host on the other end of a veth pair: datagrams refused until it authenticates over TCP,
           a wrong code and the attempt limit as the phone sees them.
  restart  a paired phone authenticates after a restart with the same code shown; a new code made from
           the menu (window mode, Ctrl+R) unpairs nobody and refuses the old code.
  count    the connection count in the headless status follows phones connecting and leaving.
"""

import argparse
import json
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import sandbox  # noqa: E402

NAME = "Vemdo Trackpad"
INVALID_CODE = "Invalid pairing code"
PAIRED = "Paired successfully"
TOO_MANY = "Çok fazla deneme. Lütfen bekleyin."
AUTH_OK = "Kimlik doğrulandı"
CONTROL_MASK = 0x4
BUTTON1_MASK = 0x100


class Phone:
    """vemdo-client with its own per-user state, on host 1 or host 2."""

    def __init__(self, sb, binary, name, host=1, server_address=None):
        self.sb = sb
        self.binary = binary
        self.name = name
        self.host = host
        self.env = sb.base_env()
        self.env["XDG_CONFIG_HOME"] = sb.path("phones", name)
        self.target = []
        if server_address is not None:
            self.point_at(*server_address)

    def point_at(self, address, port):
        # --name keeps the token under the server's DNS-SD name, so browsing and --host share a pairing.
        self.target = ["--host", address, "--port", str(port), "--name", NAME]

    def run(self, *args, stdin=None, options=(), browse=False):
        argv = [self.binary, *options, *([] if browse else self.target), *args]
        result = self.sb.run(argv, host=self.host, env=self.env, input=stdin, timeout=60)
        print(f"$ {' '.join(argv)}\n{result.stdout}{result.stderr}", end="", flush=True)
        return result

    def script(self, lines, options=()):
        return self.run("script", stdin="".join(l + "\n" for l in lines), options=options)

    def holding(self):
        """A connection kept open (script mode waiting on its input) until the returned process is stopped."""
        argv = [self.binary, *self.target, "script"]
        return self.sb.spawn(f"phone {self.name} connection", argv, env=self.env, host=self.host,
                             stdin=subprocess.PIPE)


class Recorder:
    """The test X client: a window over the whole screen that prints the events it receives."""

    def __init__(self, sb, binary):
        self.p = sb.spawn("x_event_recorder", [binary])
        self.p.wait_until(lambda: "ready" in self.p.stdout_lines, 15, "the recorder window")

    def mark(self):
        with self.p.cond:
            return len(self.p.stdout_lines)

    def events(self, since):
        with self.p.cond:
            lines = list(self.p.stdout_lines[since:])
        return [l.split() for l in lines]

    def wait(self, since, predicate, what, timeout=10):
        deadline = time.monotonic() + timeout
        while True:
            events = self.events(since)
            if predicate(events):
                return events
            if time.monotonic() > deadline:
                raise AssertionError(f"no {what} on the X server; events: {events}")
            time.sleep(0.05)


def pointer(sb):
    out = sb.run(["xdotool", "getmouselocation", "--shell"]).stdout
    values = dict(line.split("=", 1) for line in out.split())
    return int(values["X"]), int(values["Y"])


def wait_pointer(sb, expected, timeout=10):
    deadline = time.monotonic() + timeout
    while True:
        now = pointer(sb)
        if now == expected:
            return
        if time.monotonic() > deadline:
            raise AssertionError(f"pointer at {now}, expected {expected}")
        time.sleep(0.05)


def expect(result, code, stdout_has=None, stderr_has=None):
    assert result.returncode == code, f"exit {result.returncode}, expected {code}: {result}"
    if stdout_has is not None:
        assert stdout_has in result.stdout, f"{stdout_has!r} not in stdout: {result.stdout!r}"
    if stderr_has is not None:
        assert stderr_has in result.stderr, f"{stderr_has!r} not in stderr: {result.stderr!r}"


def replies(result):
    return [line for line in result.stdout.splitlines() if line.startswith(("pairResponse", "auth"))]


def wrong_code(code):
    return str((int(code) - 100000 + 1) % 900000 + 100000)


def start(sb):
    sb.start_desktop()
    server = sb.server("server")
    status = server.wait_listening()
    return server, status


# -- input ------------------------------------------------------------------------------------------------

def case_input(args):
    with sandbox.Sandbox(args.server) as sb:
        server, status = start(sb)
        recorder = Recorder(sb, args.recorder)
        phone = Phone(sb, args.client, "phone")

        # Found by browsing, on the port the server printed.
        found = phone.run("discover", browse=True)
        expect(found, 0)
        assert re.search(rf"^{NAME}\t\S+\t{status.port}$", found.stdout, re.M), found.stdout

        # Paired with the code the server printed, found by browsing.
        expect(phone.run("pair", status.code, browse=True), 0, stdout_has=f"pairResponse success: {PAIRED}")
        expect(phone.run("auth", browse=True), 0, stdout_has=f"auth success: {AUTH_OK}")
        phone.point_at("127.0.0.1", status.port)

        # Moves: the server doubles the deltas.
        x, y = pointer(sb)
        mark = recorder.mark()
        expect(phone.run("move", "10", "5"), 0)
        wait_pointer(sb, (x + 20, y + 10))
        recorder.wait(mark, lambda ev: ["motion", str(x + 20), str(y + 10)] in [e[:3] for e in ev], "motion event")
        x, y = x + 20, y + 10

        # A click: press then release at one position.
        mark = recorder.mark()
        expect(phone.run("click"), 0)
        events = recorder.wait(mark, lambda ev: any(e[:3] == ["button", "release", "1"] for e in ev), "click")
        buttons = [e for e in events if e[0] == "button"]
        assert [e[1:5] for e in buttons] == [["press", "1", str(x), str(y)], ["release", "1", str(x), str(y)]], \
            buttons

        # A right click.
        mark = recorder.mark()
        expect(phone.run("click", "right"), 0)
        recorder.wait(mark, lambda ev: [e[1:3] for e in ev if e[0] == "button"] == [["press", "3"], ["release", "3"]],
                      "right click")

        # A drag: motion with the left button held, released where the drag ended.
        mark = recorder.mark()
        expect(phone.script(["auth", "down", "move 30 0", "move 0 20", "up"]), 0)
        events = recorder.wait(mark, lambda ev: any(e[:3] == ["button", "release", "1"] for e in ev), "drag")
        buttons = [e for e in events if e[0] == "button"]
        assert [e[1:3] for e in buttons] == [["press", "1"], ["release", "1"]], events
        assert buttons[0][3:5] == [str(x), str(y)], events
        held = [e for e in events if e[0] == "motion" and int(e[3], 16) & BUTTON1_MASK]
        assert held and held[-1][1:3] == [str(x + 60), str(y + 40)], f"no drag motion: {events}"
        release = [e for e in events if e[:3] == ["button", "release", "1"]][0]
        assert release[3:5] == [str(x + 60), str(y + 40)], release
        wait_pointer(sb, (x + 60, y + 40))
        x, y = x + 60, y + 40

        # Scrolling: a positive vertical delta scrolls up (wheel button 4), a negative one down (5).
        mark = recorder.mark()
        expect(phone.run("scroll", "0", "150"), 0)
        events = recorder.wait(mark, lambda ev: any(e[:3] == ["button", "release", "4"] for e in ev), "scroll up")
        assert not any(e[0] == "button" and e[2] != "4" for e in events), events
        mark = recorder.mark()
        expect(phone.run("scroll", "0", "-150"), 0)
        events = recorder.wait(mark, lambda ev: any(e[:3] == ["button", "release", "5"] for e in ev), "scroll down")
        assert not any(e[0] == "button" and e[2] != "5" for e in events), events

        # Command held: the phone's Command-C arrives as Control-C.
        mark = recorder.mark()
        expect(phone.script(["auth", "key 55 down", "key 8", "key 55 up"]), 0)
        events = recorder.wait(mark, lambda ev: any(e[:2] == ["key", "press"] and e[3] == "63" for e in ev),
                               "Command-C")
        c_press = [e for e in events if e[:2] == ["key", "press"] and e[3] == "63"][0]
        assert int(c_press[4], 16) & CONTROL_MASK, f"C arrived without Control: {events}"
        # ...and Control is released afterwards: a plain key is plain again.
        mark = recorder.mark()
        expect(phone.run("key", "8"), 0)
        events = recorder.wait(mark, lambda ev: any(e[:2] == ["key", "press"] and e[3] == "63" for e in ev), "C")
        c_press = [e for e in events if e[:2] == ["key", "press"] and e[3] == "63"][0]
        assert not int(c_press[4], 16) & CONTROL_MASK, f"Control stuck: {events}"

        # Unicode text, beyond Latin-1 and beyond the BMP, with a combining accent.
        text = "Hi é ğ e\u0301 😀!"
        mark = recorder.mark()
        expect(phone.run("type", text), 0)

        def typed(ev):
            chunks = [e[5] for e in ev if e[:2] == ["key", "press"] and len(e) > 5 and e[5] != "-"]
            return bytes.fromhex("".join(chunks)).decode("utf-8", "replace")

        recorder.wait(mark, lambda ev: typed(ev) == text, f"the text {text!r}", timeout=15)

        # A datagram move from this (authenticated) computer.
        expect(phone.run("move", "-25", "-15", options=["--udp"]), 0)
        wait_pointer(sb, (x - 50, y - 30))


# -- two hosts --------------------------------------------------------------------------------------------

def case_hosts(args):
    with sandbox.Sandbox(args.server, second_host=True) as sb:
        server, status = start(sb)
        Recorder(sb, args.recorder)
        remote = Phone(sb, args.client, "remote", host=2, server_address=(sandbox.HOST1_ADDRESS, status.port))
        x, y = pointer(sb)

        # The other host finds the server over multicast DNS on the link, as a phone on the Wi-Fi would.
        sb.start_discovery(host=2)
        sb.wait_for_service(lambda f: (NAME, sandbox.HOST1_ADDRESS, status.port) in f, host=2, timeout=30)
        found = remote.run("discover", browse=True)
        expect(found, 0)
        assert f"{NAME}\t{sandbox.HOST1_ADDRESS}\t{status.port}" in found.stdout.splitlines(), found.stdout

        # Datagrams from a host that has never authenticated do nothing. The script's closing round trip
        # guarantees the server has handled the datagram before we look.
        expect(remote.script(["move 50 50", "sync"], options=["--udp"]), 0)
        assert pointer(sb) == (x, y), "a datagram from an unauthenticated host moved the pointer"

        # A wrong code, as the phone sees it.
        wrong = remote.run("pair", wrong_code(status.code))
        expect(wrong, 1, stdout_has=f"pairResponse failure: {INVALID_CODE}", stderr_has=INVALID_CODE)

        # The right code pairs, but pairing alone does not open the datagram path.
        expect(remote.run("pair", status.code), 0, stdout_has=PAIRED)
        expect(remote.script(["move 50 50", "sync"], options=["--udp"]), 0)
        assert pointer(sb) == (x, y), "a datagram was accepted after pairing but before auth"

        # With an authenticated TCP connection open, the same datagrams are injected.
        expect(remote.script(["auth", "move 50 50", "sync"], options=["--udp"]), 0)
        wait_pointer(sb, (x + 100, y + 100))
        x, y = x + 100, y + 100

        # Once that connection has gone, the host is a stranger again. (Waiting for the count to drop
        # makes sure the server has seen the connection end before the next datagram arrives.)
        server.wait_clients(0)
        expect(remote.script(["move 50 50", "sync"], options=["--udp"]), 0)
        assert pointer(sb) == (x, y), "a datagram was accepted after the authenticated connection closed"

        # The attempt limit: ten in a minute from one address, whatever device IDs it claims. This host
        # has made two attempts so far.
        flood = remote.script([f"pair {wrong_code(status.code)}"] * 11 + [f"pair {status.code}"],
                              options=["--device-id", "FLOOD-1"])
        expect(flood, 1)
        answers = replies(flood)
        assert answers == [f"pairResponse failure: {INVALID_CODE}"] * 8 + [f"pairResponse failure: {TOO_MANY}"] * 4, \
            answers
        again = remote.run("pair", status.code, options=["--device-id", "FLOOD-2"])
        expect(again, 1, stdout_has=TOO_MANY, stderr_has=TOO_MANY)

        # The limit is the sender's, not everyone's: the local phone still pairs and injects.
        local = Phone(sb, args.client, "local", server_address=("127.0.0.1", status.port))
        expect(local.run("pair", status.code), 0, stdout_has=PAIRED)
        expect(local.run("move", "-5", "0"), 0)
        wait_pointer(sb, (x - 10, y))
        # The paired remote phone still authenticates: only pairing is limited.
        expect(remote.run("auth"), 0, stdout_has=AUTH_OK)


# -- restart and new code ---------------------------------------------------------------------------------

def stored_code(sb):
    path = os.path.join(sb.path("server", "config"), "vemdo-trackpad", "defaults.json")
    try:
        with open(path, encoding="utf-8") as f:
            return json.loads(json.load(f)["com.vemdo.pairingCode"])["code"]
    except (OSError, ValueError, KeyError):
        return None


def listening_port(sb, pid, timeout=20):
    deadline = time.monotonic() + timeout
    while True:
        for line in sb.run(["ss", "-ltnpH"]).stdout.splitlines():
            if f"pid={pid}," in line:
                return int(line.split()[3].rsplit(":", 1)[1])
        assert time.monotonic() < deadline, f"process {pid} is not listening"
        time.sleep(0.2)


def case_restart(args):
    with sandbox.Sandbox(args.server) as sb:
        server, status = start(sb)
        phone = Phone(sb, args.client, "phone", server_address=("127.0.0.1", status.port))
        expect(phone.run("pair", status.code), 0, stdout_has=PAIRED)
        expect(phone.run("auth"), 0, stdout_has=AUTH_OK)

        # Restart: same code shown, the phone's token still good (found again by browsing: new port).
        sb.forget(server)
        server = sb.server("server")
        again = server.wait_listening()
        assert again.code == status.code, f"code changed across restart: {status.code} -> {again.code}"
        sb.wait_for_service(lambda f: (NAME, again.port) in {(n, p) for n, _, p in f})
        expect(phone.run("auth", browse=True), 0, stdout_has=AUTH_OK)
        sb.forget(server)

        # The menu's "Generate New Code" (Ctrl+R in the window shown when there is no tray).
        windowed = sb.server("server", headless=False)
        window = None
        deadline = time.monotonic() + 20
        while window is None:
            found = sb.run(["xdotool", "search", "--onlyvisible", "--name", NAME]).stdout.split()
            window = found[0] if found else None
            if window is None:
                assert time.monotonic() < deadline, "the server's window did not appear\n" + windowed.describe()
                time.sleep(0.2)
        port = listening_port(sb, windowed.pid)
        sb.wait_for_service(lambda f: (NAME, port) in {(n, p) for n, _, p in f})
        before = stored_code(sb)
        assert before == status.code, (before, status.code)
        deadline = time.monotonic() + 20
        while stored_code(sb) == before:
            assert time.monotonic() < deadline, "Ctrl+R made no new code\n" + windowed.describe()
            sb.run(["xdotool", "windowfocus", "--sync", window, "key", "--window", window, "ctrl+r"])
            time.sleep(0.5)
        new_code = stored_code(sb)
        assert re.fullmatch(r"[1-9]\d{5}", new_code), new_code

        # Nobody is unpaired; the old code is refused and the new one pairs a new phone.
        expect(phone.run("auth", browse=True), 0, stdout_has=AUTH_OK)
        newcomer = Phone(sb, args.client, "newcomer")
        expect(newcomer.run("pair", status.code, browse=True), 1, stdout_has=INVALID_CODE)
        expect(newcomer.run("pair", new_code, browse=True), 0, stdout_has=PAIRED)


# -- connection count -------------------------------------------------------------------------------------

def case_count(args):
    with sandbox.Sandbox(args.server, second_host=True) as sb:
        server, status = start(sb)
        assert status.clients == 0, status
        first = Phone(sb, args.client, "first", server_address=("127.0.0.1", status.port)).holding()
        server.wait_clients(1)
        # Unpaired connections count too, from any host.
        second = Phone(sb, args.client, "second", host=2,
                       server_address=(sandbox.HOST1_ADDRESS, status.port)).holding()
        server.wait_clients(2)
        first.popen.stdin.close()
        first.popen.wait(timeout=10)
        server.wait_clients(1)
        second.popen.stdin.close()
        second.popen.wait(timeout=10)
        server.wait_clients(0)
        # A peer that vanishes without a word (killed) is noticed as well.
        third = Phone(sb, args.client, "third", server_address=("127.0.0.1", status.port)).holding()
        server.wait_clients(1)
        sb.forget(third)
        server.wait_clients(0)


CASES = {"input": case_input, "hosts": case_hosts, "restart": case_restart, "count": case_count}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--case", choices=CASES, required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--client", required=True)
    parser.add_argument("--recorder", required=True)
    args = parser.parse_args()
    sandbox.enter_private_network()
    sandbox.require_tools("dbus-daemon", "avahi-daemon", "avahi-browse", "Xvfb", "xdotool", "nsenter")
    checks = sandbox.Checks()
    checks.run(args.case, CASES[args.case], args)
    checks.finish()


if __name__ == "__main__":
    main()
