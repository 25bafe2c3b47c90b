#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A phone's browser as the trackpad: Debian's headless Chromium, emulating a phone, against the real server
on Xvfb in a private network where the server has a LAN address, so the page runs over plain HTTP outside
a secure context, as on a real network. Touches and the phone keyboard's composition go in through the
DevTools protocol; what they do is read back from the X server. Meanwhile tcpdump records the page's port,
and what it recorded is searched and replayed. (The page's session module in Node against the real server:
server_gate_test.py.)"""

import os
import pathlib
import re
import signal
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from harness import (WEB_PORT, Browser, _die_with_parent, frames, listening_ports, main, step,  # noqa: E402
                     wait_for, websocket_frame)

TYPED = "Héllo wörld € 😀"

LAN = "10.77.0.1"


def give_lan_address(h):
    # One end of a veth pair is enough for an address that is neither loopback nor reachable from outside.
    for command in (["ip", "link", "add", "veth0", "type", "veth", "peer", "name", "veth1"],
                    ["ip", "addr", "add", f"{LAN}/24", "dev", "veth0"],
                    ["ip", "link", "set", "veth0", "up"], ["ip", "link", "set", "veth1", "up"]):
        h.run(command, check=True)


def decode_terminal_qr(h, lines):
    """The QR code printed on the terminal as an image (light modules are the drawn halves), read by zbarimg."""
    halves = {" ": (0, 0), "▀": (1, 0), "▄": (0, 1), "█": (1, 1)}
    rows = []
    for line in lines:
        rows.append([halves[c][0] for c in line])
        rows.append([halves[c][1] for c in line])
    scale = 4
    image = h.path("qr.pbm")
    with open(image, "w") as f:
        f.write(f"P1\n{len(rows[0]) * scale} {len(rows) * scale}\n")
        for row in rows:
            # PBM: 1 is black, and the dark modules are the ones not drawn.
            text = " ".join(str(1 - light) for light in row for _ in range(scale))
            f.write((text + "\n") * scale)
    result = h.run(["zbarimg", "--quiet", "--raw", image])
    assert result.returncode == 0, result
    return result.stdout.strip()


def chromium(h, language="en-US"):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    # The browser follows its driver if the test is killed outright.
    wrapper = h.path("chromium")
    with open(wrapper, "w") as f:
        f.write('#!/bin/sh\nexec setpriv --pdeathsig KILL /usr/bin/chromium "$@"\n')
    os.chmod(wrapper, 0o755)
    options = webdriver.ChromeOptions()
    options.binary_location = wrapper
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     f"--user-data-dir={h.path('profile', mode=0o700)}"):
        options.add_argument(argument)
    options.add_experimental_option("prefs", {"intl.accept_languages": language})
    options.add_experimental_option("mobileEmulation", {
        "deviceMetrics": {"width": 390, "height": 844, "pixelRatio": 2, "touch": True, "mobile": True}})
    service = Service("/usr/bin/chromedriver", log_path=h.path("chromedriver.log"),
                      popen_kw={"preexec_fn": _die_with_parent})
    return webdriver.Chrome(service=service, options=options)


class Page:
    def __init__(self, driver):
        self.driver = driver

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def state(self):
        return self.js("return document.body.dataset.state")

    def wait_state(self, name):
        wait_for(lambda: self.state() == name, f"the page to be {name} (it is {self.state()})")

    def center(self, element_id):
        x, y, width, height = self.js(f"const r = document.getElementById('{element_id}').getBoundingClientRect();"
                                      "return [r.x, r.y, r.width, r.height]")
        return x + width / 2, y + height / 2

    def touch(self, kind, *points):
        self.driver.execute_cdp_cmd("Input.dispatchTouchEvent", {
            "type": kind, "touchPoints": [{"x": x, "y": y, "id": i} for i, (x, y) in enumerate(points)]})

    def stroke(self, starts, dx, dy, steps=10):
        """Fingers landing at starts and moving together by (dx, dy), at a finger's unhurried pace."""
        self.touch("touchStart", *starts)
        for i in range(1, steps + 1):
            # Pacing, not waiting: the page tells a slow finger from a fast one by the time between events.
            time.sleep(0.02)
            self.touch("touchMove", *[(x + dx * i / steps, y + dy * i / steps) for x, y in starts])
        self.touch("touchEnd")

    def tap(self, *points):
        self.touch("touchStart", *points)
        self.touch("touchEnd")


def tcp_connections(capture):
    """Each TCP connection to the page's port in a pcap file of lo, in the order they opened (a port may serve
    one after another), as [what the client sent, what it was sent]; on lo nothing is sent twice."""
    data, at, connections, open_ = pathlib.Path(capture).read_bytes(), 24, [], {}
    while at + 16 <= len(data):
        size = struct.unpack("<I", data[at + 8:at + 12])[0]
        ip, at = data[at + 16 + 14:at + 16 + size], at + 16 + size
        tcp = ip[(ip[0] & 15) * 4:struct.unpack("!H", ip[2:4])[0]]
        source, destination = struct.unpack("!HH", tcp[:4])
        port = source if destination == WEB_PORT else destination
        if tcp[13] == 0x02 or port not in open_:  # a SYN alone opens a connection
            open_[port] = [bytearray(), bytearray()]
            connections.append(open_[port])
        open_[port][destination != WEB_PORT] += tcp[(tcp[12] >> 4) * 4:]
    return connections


def messages(connection):
    """(opcode, payload) of each WebSocket frame the client sent after its HTTP head, unmasked, then of each frame
    it was sent."""
    return [frame[:2] for way in connection for frame in frames(bytes(way[way.index(b"\r\n\r\n") + 4:]))]


def key_presses(recorder, since):
    """(keysym, modifier state) of each key press recorded after `since`."""
    presses = [line.split() for line in recorder.out[since:] if line.startswith("key press")]
    return [(int(f[3], 16), int(f[4], 16)) for f in presses]


def scenario(h):
    give_lan_address(h)
    h.xvfb()
    recorder = h.recorder()
    h.run(["xdotool", "mousemove", "400", "300"], check=True)
    server = h.server("server")
    status = server.ready()

    step("the terminal shows the link with the code and a QR code of it")
    link = wait_for(lambda: server.links, "the browser link")[-1]
    url = f"http://{LAN}:{WEB_PORT}/#code={status.code}"
    assert link[0] == f"Connect with a Browser: {url}", link
    assert decode_terminal_qr(h, link[1:-1]) == url

    capture = h.path("page.pcap")
    tcpdump = h.spawn(["tcpdump", "-i", "lo", "--immediate-mode", "-U", "-w", capture, "tcp", "port", str(WEB_PORT)])
    tcpdump.wait_line(r"tcpdump: listening on lo.*", stream="err")
    driver = chromium(h)
    try:
        page = Page(driver)
        step("the QR link opens the page over plain HTTP; it pairs by itself and drops the code from the address")
        driver.get(url)
        page.wait_state("ready")
        assert page.js("return [isSecureContext, location.href]") == [False, f"http://{LAN}:{WEB_PORT}/"]
        assert re.fullmatch(r"[0-9a-f]{64}", secret := page.js("return localStorage.getItem('vemdo.secret')"))
        server.wait_status(lambda s: s.clients == 1, "the browser counted as a device")
        surface = page.center("surface")

        def records_after(action, until, what):
            since = len(recorder.out)
            action()
            return wait_for(lambda: until(recorder.records(since)) and recorder.records(since), what)

        def buttons(records):
            return [r[:2] for r in records if r[0] != "motion"]

        step("one finger moves the pointer, twice as far as the finger")
        moved = records_after(lambda: page.stroke([surface], 60, 0), lambda r: r and r[-1][2] >= 520, "the move")
        # A slow finger gets no acceleration, so 520 exactly; a loaded machine may bunch the events up.
        assert moved[-1][3] == 300 and moved[-1][2] <= 400 + 2 * 60 * 2.5, moved

        step("a tap clicks; a two-finger tap right-clicks")
        clicked = records_after(lambda: page.tap(surface), lambda r: len(buttons(r)) >= 2, "a click")
        assert buttons(clicked) == [("press", 1), ("release", 1)], clicked
        two = [(surface[0] - 40, surface[1]), (surface[0] + 40, surface[1])]
        clicked = records_after(lambda: page.tap(*two), lambda r: len(buttons(r)) >= 2, "a right click")
        assert buttons(clicked) == [("press", 3), ("release", 3)], clicked

        step("two fingers moving down scroll up, as the content follows the fingers")
        scrolled = records_after(lambda: page.stroke(two, 0, 80), lambda r: len(buttons(r)) >= 2, "a scroll")
        assert set(buttons(scrolled)) == {("press", 4), ("release", 4)}, scrolled

        step("tap, then touch and move: a drag from press to release")

        def drag():
            page.tap(surface)
            page.stroke([surface], 0, 40)
        dragged = records_after(drag, lambda r: r and r[-1][:2] == ("release", 1), "a drag")
        assert buttons(dragged) == [("press", 1), ("release", 1)], dragged
        press = next(i for i, r in enumerate(dragged) if r[0] == "press")
        moves = [r for r in dragged[press:] if r[0] == "motion"]
        assert moves and all(r[4] for r in moves) and dragged[-1][3] >= dragged[press][3] + 80, dragged

        step("keys and shortcuts: Copy arrives as Control+C")
        since = len(recorder.out)
        page.js("document.querySelector('[data-shortcut=c]').click()")
        wait_for(lambda: (0x63, 0x4) in key_presses(recorder, since), "Control+C")

        step("typing through a phone keyboard's composition, accents, a euro sign and an emoji")
        since = len(recorder.out)
        page.js("document.getElementById('typing').focus()")
        for partial in ("H", "Hé", "Hél"):
            driver.execute_cdp_cmd("Input.imeSetComposition",
                                   {"text": partial, "selectionStart": len(partial), "selectionEnd": len(partial)})
        for committed in ("Héllo", " wörld € ", "😀"):
            driver.execute_cdp_cmd("Input.insertText", {"text": committed})
        wait_for(lambda: recorder.text(since) == TYPED, f"the typed text (so far {recorder.text(since)!r})")
        page.js("document.getElementById('typing').blur()")
        driver.save_screenshot(os.path.join(h.args.out_dir, "browser-page.png"))

        step("a reload authenticates with the stored secret")
        driver.refresh()
        page.wait_state("ready")
        records_after(lambda: page.stroke([surface], -30, 0), lambda r: r and r[-1][0] == "motion",
                      "a move after the reload")

        step("what tcpdump recorded holds neither the code, the secret, the typed text nor any JSON message")
        # Stopped, tcpdump writes nothing more of what it holds: first the WebSocket after the reload must be written.
        wait_for(lambda: len([c for c in tcp_connections(capture) if c[0][:7] == b"GET /ws"]) > 1, "both WebSockets")
        tcpdump.stop(signal.SIGINT)
        connections = tcp_connections(capture)
        needles = (status.code.encode(), secret.encode(), bytes.fromhex(secret), TYPED.encode(), "wörld".encode())
        assert not (found := [n for n in needles if any(n in way for c in connections for way in c)]), found
        sockets = [connection for connection in connections if connection[0].startswith(b"GET /ws ")]
        # Every message of ours names its kind and time; a sealed frame may start with any byte.
        plain = [m for c in sockets for m in messages(c) if m[0] not in (2, 8) or b'"kind"' in m[1] or b'"time' in m[1]]
        assert not plain, plain

        step("the frames of the session after the reload, replayed on a new connection, authenticate nothing")
        share, confirmation = [p for o, p in messages(sockets[-1]) if o == 2][:2]
        replay = Browser(WEB_PORT, "127.0.0.1", host=f"{LAN}:{WEB_PORT}")
        replay.tcp.sendall(websocket_frame(2, share) + websocket_frame(2, confirmation))
        assert (answers := [type(replay.message()), replay.message()]) == [bytes, 4004], answers

        step("a sealed frame with one byte altered closes the connection")
        altered = Browser(WEB_PORT, "127.0.0.1")
        assert altered.exchange("altered", code=status.code)["success"] is True
        frame = bytearray.fromhex(altered.tell_page("input", '{"kind":"move","dx":1,"dy":0}', forward=False)[0][5:])
        frame[3] ^= 1
        altered.tcp.sendall(websocket_frame(2, bytes(frame)))
        assert altered.message() == 1008

        step("a wrong code is one of the network's ten attempts a minute: the eleventh is refused unanswered")
        wrong = "100000" if status.code != "100000" else "100001"
        closes = [Browser(WEB_PORT, "127.0.0.9").exchange(f"{n}", code=[wrong, status.code][n // 10]).get("close")
                  for n in range(11)]
        assert closes == [4001] * 10 + [4002], closes

        step("typed by hand, a wrong code shows as wrong; the right one pairs")
        page.js("localStorage.clear()")
        driver.refresh()
        page.wait_state("needsCode")
        for code, shown in ((wrong, "That code did not work"), (status.code, "")):
            page.js(f"document.getElementById('code').value = '{code}'; document.forms[0].requestSubmit()")
            wait_for(lambda: page.js("return document.getElementById('pair-error').textContent").startswith(shown) and
                     page.state() == ("needsCode" if shown else "ready"), f"the page after {code}")

        step("a page of another origin cannot open the WebSocket")
        h.spawn([sys.executable, "-m", "http.server", "8000", "--bind", LAN, "--directory", h.path("other", mode=0o755)])
        wait_for(lambda: 8000 in listening_ports(), "the other site")
        driver.get(f"http://{LAN}:8000/")
        outcome = driver.execute_async_script("""
            const done = arguments[arguments.length - 1];
            const socket = new WebSocket("ws://%s:%d/ws");
            socket.onopen = () => done("open");
            socket.onclose = () => done("refused");""" % (LAN, WEB_PORT))
        assert outcome == "refused", outcome
    finally:
        driver.quit()


if __name__ == "__main__":
    main({"browser": scenario}, ["Xvfb", "xdotool", "zbarimg", "chromium", "chromedriver", "setpriv", "node",
                                 "tcpdump"], "server", "recorder", "out-dir")
