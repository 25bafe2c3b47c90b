#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The real server on real compositors, headless, driven through vemdo-client as a phone would drive it and
judged by a Wayland window that records what it receives.

sway:     the wlroots backend from pairing on, over TCP and UDP: pointer, buttons, a drag, scrolling by the pixel
          with its ends, text of any script, Command-C as Control-C, two outputs side by side; the compositor going
          away.
kwin:     the KWin backend for the installed program; the same program run from elsewhere is refused.
xwayland: on sway, DISPLAY naming Xwayland: the X11 backend refuses it and says why.
gnome:    headless mutter with PipeWire, beside a portal: mutter's own interface, absolute motion, keys on the layout.
gnome_relative: mutter without PipeWire: relative motion.
portal:   a stand-in portal forwarding to mutter: one approval per start (version 1), a restore token kept and
          replaced (version 2), a refusal that holds.
"""

import json
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from harness import Server, WaylandRecorder, main, step, wait_for  # noqa: E402

TEXT = "Héllo wörld € 😀"
# Command-C, then C alone: Command arrives as Control, which is let go.
CONTROL_C = "key 55 down\nkey 8\nkey 55 up\nkey 8\n"
CONTROL_C_KEYS = [("key", *k) for k in (("Control_L", 1, "-"), ("c", 1, "ctrl"), ("c", 0, "ctrl"),
                                         ("Control_L", 0, "ctrl"), ("c", 1, "-"), ("c", 0, "-"))]
# A scroll's end comes after a pause; then 20 pixels up, which ends too.
SCROLL_20 = "sleep 1\nscroll 0 10\nsleep 1\n"
KWIN_REFUSED = "Input Not Possible: KDE Allows Input Only to Installed Programs"
LEFT_OUT = ("vemdo: the {} input backend cannot type some characters of the text sent (they are not on the keyboard "
            "layout); such characters are left out")
GRANTED = "Input Allowed"
REFUSED = "Input Not Possible: Remote Control Was Not Allowed"


def phone(h, server, script):
    """Pairs a phone with the code the server shows, then runs the script over one connection."""
    status = server.ready()
    at = ["--host", "127.0.0.1", "--port", str(status.port)]
    assert "pairResponse success: Paired successfully" in h.client("phone", *at, "pair", status.code)
    h.client("phone", *at, "script", stdin="auth\n" + script)
    return at


def assert_backend_in_use(h, name):
    line = h.run([h.args.server, "--help"], env=h.server_env("help")).stdout.splitlines()[-1]
    assert line == f"Input backend in use here: {name}", line


def left_out(server, backend):
    """The one warning of characters left out; its line is read beside the window's, so it is waited for."""
    wait_for(lambda: any("left out" in line for line in server.err), "the warning")
    return [line for line in server.err if "left out" in line] == [LEFT_OUT.format(backend)]


def moves(recorder):
    """Pointer positions, each only where it changed, and buttons."""
    events, where = [], None
    for event in recorder.events("motion", "button"):
        if event != where:
            events.append(event)
        where = event if event[0] == "motion" else where
    return events


def assert_keys_released(recorder):
    """Every key the server pressed came up again: a held key would repeat in the user's programs. A release
    without its press is a key that was down when the window got the keyboard (the backend's Shift probe at
    start races the window's focus). Counted, not named: a release is named through the modifiers then in force."""
    held = 0
    for event in recorder.events("key"):
        held = held + 1 if event[2] else max(held - 1, 0)
    assert held == 0, recorder.events("key")


def sway(h):
    compositor = h.sway((800, 600), (800, 600))
    left, right = h.recorder("left", cls=WaylandRecorder), h.recorder("right", cls=WaylandRecorder)
    assert_backend_in_use(h, "wlroots")
    server = h.server()

    step("from the top-left corner: a move, clicks, a drag, scrolls up, down and right, then by 20 pixels, text, "
         "Command-C")
    at = phone(h, server, "move -5000 -5000\nmove 100 50\nclick\nclick right\ndown\nmove 30 20\nup\nscroll 0 60\n"
               f"scroll -60 -60\n{SCROLL_20}type {TEXT}\n{CONTROL_C}")
    assert server.blocks[-1].lines[-1] == "Input backend: wlroots", server.blocks[-1].lines
    step("a datagram over to the right output, then against its right edge")
    h.client("phone", *at, "--udp", "move", "400", "0")
    h.client("phone", *at, "--udp", "move", "5000", "0")
    wait_for(lambda: left.text() == TEXT + "c", "the text and the plain C")
    wait_for(lambda: right.events("motion")[-1:] == [("motion", 799, 140)], "the right edge of the right output")
    pointer = left.events("motion", "button", "axis", "discrete", "source", "stop")
    assert pointer[pointer.index(("motion", 200, 100)):] == [
        ("motion", 200, 100), ("button", 272, 1), ("button", 272, 0), ("button", 273, 1), ("button", 273, 0),
        ("button", 272, 1), ("motion", 260, 140), ("button", 272, 0), ("source", 1), ("discrete", 0, -3),
        ("axis", 0, -120), ("source", 1), ("discrete", 0, 3), ("axis", 0, 120), ("discrete", 1, 3), ("axis", 1, 120),
        ("source", 1), ("stop", 0), ("stop", 1), ("source", 1), ("axis", 0, -20), ("source", 1), ("stop", 0)], pointer
    assert left.events("key")[-6:] == CONTROL_C_KEYS, left.events("key")
    assert_keys_released(left)
    assert right.events("enter", "motion") == [("enter", 260, 140), ("motion", 799, 140)], right.out

    step("the compositor goes away: the server keeps running and says so")
    h.forget(compositor)
    server.wait_status(lambda s: s.lines[6] == "Input Not Possible: Connection to the Desktop Lost", "the lost desktop")


def kwin(h):
    prefix = h.path("prefix")
    h.run(["cmake", "--install", h.args.build, "--prefix", prefix], check=True, timeout=120)
    h.kwin(os.path.join(prefix, "share"))
    recorder = h.recorder("kwin", cls=WaylandRecorder)

    step("the program as built, which no installed desktop file names, is refused and says why")
    refused = h.server("refused")
    assert refused.ready().lines[6:] == [KWIN_REFUSED, "The phone must be on the same network",
                                         f"Listening on port {refused.blocks[-1].port}",
                                         "Input backend: KWin (input not possible)"], refused.blocks[-1].lines
    refused.wait_line(r"Input Not Possible: KDE Plasma lets only installed programs send input\..*",
                      "err")

    step("the installed program: pointer, buttons, scrolls by the pixel, keys; a character not on the layout is "
         "left out")
    installed = h.spawn([os.path.join(prefix, "bin", "vemdo-trackpad"), "--headless"], env=h.server_env("installed"),
                        cls=Server)
    phone(h, installed, f"move 100 50\nmove 10 5\nclick\nclick right\nscroll 0 60\nscroll 0 -60\ntype Hé!\n{CONTROL_C}"
          "type é\n")
    wait_for(lambda: recorder.text() == "H!c", "the text and the plain C")
    assert recorder.events("motion", "button", "axis") == [
        ("motion", 200, 100), ("motion", 220, 110), ("button", 272, 1), ("button", 272, 0), ("button", 273, 1),
        ("button", 273, 0), ("axis", 0, -120), ("axis", 0, 120)], recorder.out
    assert recorder.events("key")[-6:] == CONTROL_C_KEYS, recorder.out
    assert_keys_released(recorder)
    assert left_out(installed, "KWin"), installed.err


def xwayland(h):
    h.sway((800, 600))
    h.xwayland()
    block = h.server(WAYLAND_DISPLAY=None).ready()
    assert block.lines[6] == "Input Not Possible: Xwayland Reaches Only X11 Windows", block.lines
    assert block.lines[-1] == "Input backend: X11 (input not possible)", block.lines


def gnome(h):
    h.mutter(pipewire=True)
    calls = h.portal(2, bus=h.mutter_bus)
    recorder = h.recorder("gnome", cls=WaylandRecorder)
    assert_backend_in_use(h, "GNOME")
    server = h.server()

    step("from the middle of the screen to a spot, clicks, scrolls down, up and by 20 pixels, text with a character "
         "not on the layout, Command-C; the portal beside mutter is not asked")
    phone(h, server,
          f"move 100 50\nclick\nclick right\nscroll 0 60\nscroll 0 -60\n{SCROLL_20}type Hé!\n{CONTROL_C}type é\n")
    wait_for(lambda: recorder.text() == "H!c", "the text and the plain C")
    assert moves(recorder)[-5:] == [("motion", 840, 460), ("button", 272, 1), ("button", 272, 0), ("button", 273, 1),
                                    ("button", 273, 0)], recorder.out
    # By the pixel from a finger; mutter 43 ends a gesture with its source alone, without an axis stop.
    assert recorder.events("axis", "discrete", "source", "stop") == [
        ("source", 1), ("axis", 0, -120), ("source", 1), ("axis", 0, 120), ("source", 1), ("source", 1),
        ("axis", 0, -20), ("source", 1)], recorder.out
    assert recorder.events("key")[-6:] == CONTROL_C_KEYS, recorder.out
    assert_keys_released(recorder)
    assert left_out(server, "GNOME"), server.err
    assert calls() == [], calls()


def gnome_relative(h):
    h.mutter(pipewire=False)
    recorder = h.recorder("gnome", cls=WaylandRecorder)
    server = h.server()
    step("without PipeWire: relative motion, which meets the tracked position at the top-left corner")
    phone(h, server, "move -5000 -5000\nmove 100 50\nmove -10 5\nclick\n")
    wait_for(lambda: moves(recorder)[-2:] == [("button", 272, 1), ("button", 272, 0)], "the click")
    assert moves(recorder)[-5:-2] == [("motion", 0, 0), ("motion", 200, 100), ("motion", 180, 110)], recorder.out
    server.wait_line(r"vemdo: mutter cannot cast the screen.*", "err")


def stored_token(h):
    with open(os.path.join(h.config_home("server"), "vemdo-trackpad", "defaults.json")) as f:
        return json.load(f).get("com.vemdo.portalRestoreToken")


def portal(h):
    h.mutter(pipewire=False)
    recorder = h.recorder("portal", cls=WaylandRecorder)

    step("version 1, where only the portal is offered: at each start one session with keyboard and pointer, no token")
    calls = h.portal(1)
    assert_backend_in_use(h, "portal (asks you to allow remote control)")
    assert calls() == [], calls()
    server = h.server()
    server.wait_status(lambda s: GRANTED in s.lines, "the grant")
    phone(h, server, "move -5000 -5000\nmove 100 50\nclick\nscroll 0 10\ntype Hé!\n")
    wait_for(lambda: recorder.text() == "H!", "the text")
    assert moves(recorder)[-3:] == [("motion", 200, 100), ("button", 272, 1), ("button", 272, 0)], recorder.out
    assert recorder.events("axis") == [("axis", 0, -20)], recorder.out
    assert left_out(server, "portal"), server.err
    assert [(c["method"], c.get("options", {}).get("types")) for c in calls()] == [
        ("CreateSession", None), ("SelectDevices", 3), ("Start", None)], calls()
    assert "persist_mode" not in calls()[1]["options"] and stored_token(h) is None, calls()
    h.forget(server)
    server = h.server()
    wait_for(lambda: len(calls()) == 6, "the second start's session")
    assert [c["method"] for c in calls()] == ["CreateSession", "SelectDevices", "Start"] * 2, calls()
    h.forget(server)

    step("version 2: the token is stored, handed back at the next start and replaced by the new one")
    calls = h.portal(2)
    server = h.server()
    first = wait_for(lambda: stored_token(h), "a stored token")
    assert calls()[1]["options"]["persist_mode"] == 2 and "restore_token" not in calls()[1]["options"], calls()
    h.forget(server)
    server = h.server()
    wait_for(lambda: stored_token(h) != first, "the next token")
    assert calls()[4]["options"]["restore_token"] == first and stored_token(h), calls()
    h.forget(server)

    step("refused: the input line says so, and nothing asks again")
    calls = h.portal(1, answer="refuse")
    server = h.server()
    phone(h, server, "move 10 10\nclick\ntype x\n")
    server.wait_status(lambda s: REFUSED in s.lines, "the refusal")
    assert server.blocks[-1].lines[-1] == "Input backend: portal (input not possible)", server.blocks[-1].lines
    assert [c["method"] for c in calls()] == ["CreateSession", "SelectDevices", "Start"], calls()
    assert recorder.text() == "H!", recorder.out


if __name__ == "__main__":
    main({"sway": sway, "kwin": kwin, "xwayland": xwayland, "gnome": gnome, "gnome_relative": gnome_relative,
          "portal": portal},
         ["sway", "kwin_wayland", "Xwayland", "xhost", "setpriv", "dbus-daemon", "dbus-send", "mutter", "pipewire"],
         "server", "client", "wayland-recorder", "build")
