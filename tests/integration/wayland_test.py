#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The real server on real compositors, headless, driven through vemdo-client as a phone would drive it and
judged by a Wayland window that records what it receives.

sway:     the wlroots backend from pairing on, over TCP and UDP: pointer, buttons, a drag, wheel both ways,
          text of any script, Command-C as Control-C, two outputs side by side; the compositor going away.
kwin:     the KWin backend for the installed program; the same program run from elsewhere is refused.
xwayland: on sway, DISPLAY naming Xwayland: the X11 backend refuses it and says why.
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from harness import Server, WaylandRecorder, main, step, wait_for  # noqa: E402

TEXT = "Héllo wörld € 😀"
# Command-C, then C alone: Command arrives as Control, which is let go.
CONTROL_C = "key 55 down\nkey 8\nkey 55 up\nkey 8\n"
CONTROL_C_KEYS = [("key", *k) for k in (("Control_L", 1, "-"), ("c", 1, "ctrl"), ("c", 0, "ctrl"),
                                         ("Control_L", 0, "ctrl"), ("c", 1, "-"), ("c", 0, "-"))]
KWIN_REFUSED = "Input Not Possible: KDE Allows Input Only to Installed Programs"


def phone(h, server, script):
    """Pairs a phone with the code the server shows, then runs the script over one connection."""
    status = server.ready()
    at = ["--host", "127.0.0.1", "--port", str(status.port)]
    assert "pairResponse success: Paired successfully" in h.client("phone", *at, "pair", status.code)
    h.client("phone", *at, "script", stdin="auth\n" + script)
    return at


def sway(h):
    compositor = h.sway((800, 600), (800, 600))
    left, right = h.recorder("left", cls=WaylandRecorder), h.recorder("right", cls=WaylandRecorder)
    help_text = h.run([h.args.server, "--help"], env=h.server_env("help")).stdout
    assert help_text.endswith("\nInput backend in use here: wlroots\n"), help_text
    server = h.server()

    step("from the top-left corner: a move, clicks, a drag, wheel up, down and right, text, Command-C")
    at = phone(h, server, "move -5000 -5000\nmove 100 50\nclick\nclick right\ndown\nmove 30 20\nup\nscroll 0 60\n"
               f"scroll -60 -60\ntype {TEXT}\n{CONTROL_C}")
    assert server.blocks[-1].lines[-1] == "Input backend: wlroots", server.blocks[-1].lines
    step("a datagram over to the right output, then against its right edge")
    h.client("phone", *at, "--udp", "move", "400", "0")
    h.client("phone", *at, "--udp", "move", "5000", "0")
    wait_for(lambda: left.text() == TEXT + "c", "the text and the plain C")
    wait_for(lambda: right.events("motion")[-1:] == [("motion", 799, 140)], "the right edge of the right output")
    pointer = left.events("motion", "button", "axis", "discrete")
    assert pointer[pointer.index(("motion", 200, 100)):] == [
        ("motion", 200, 100), ("button", 272, 1), ("button", 272, 0), ("button", 273, 1), ("button", 273, 0),
        ("button", 272, 1), ("motion", 260, 140), ("button", 272, 0), ("discrete", 0, -3), ("axis", 0, -45),
        ("discrete", 0, 3), ("axis", 0, 45), ("discrete", 1, 3), ("axis", 1, 45)], pointer
    assert left.events("key")[-6:] == CONTROL_C_KEYS, left.events("key")
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
    assert refused.ready().lines[6:] == [KWIN_REFUSED, "iOS device must be on same Wi-Fi network",
                                         f"Listening on port {refused.blocks[-1].port}",
                                         "Input backend: KWin (input not possible)"], refused.blocks[-1].lines
    refused.wait_line(r"Accessibility Permission Required: KDE Plasma lets only installed programs send input\..*",
                      "err")

    step("the installed program: pointer, buttons, wheel, keys; a character not on the layout is left out")
    installed = h.spawn([os.path.join(prefix, "bin", "vemdo-trackpad"), "--headless"], env=h.server_env("installed"),
                        cls=Server)
    phone(h, installed, f"move 100 50\nmove 10 5\nclick\nclick right\nscroll 0 60\nscroll 0 -60\ntype Hé!\n{CONTROL_C}"
          "type é\n")
    wait_for(lambda: recorder.text() == "H!c", "the text and the plain C")
    assert recorder.events("motion", "button", "axis") == [
        ("motion", 200, 100), ("motion", 220, 110), ("button", 272, 1), ("button", 272, 0), ("button", 273, 1),
        ("button", 273, 0), ("axis", 0, -45), ("axis", 0, 45)], recorder.out
    assert recorder.events("key")[-6:] == CONTROL_C_KEYS, recorder.out
    assert [line for line in installed.err if "left out" in line] == [
        "vemdo: the KWin input backend cannot type some characters of the text sent (they are not on the keyboard "
        "layout); such characters are left out"], installed.err


def xwayland(h):
    h.sway((800, 600))
    h.xwayland()
    block = h.server(WAYLAND_DISPLAY=None).ready()
    assert block.lines[6] == "Input Not Possible: Xwayland Reaches Only X11 Windows", block.lines
    assert block.lines[-1] == "Input backend: X11 (input not possible)", block.lines


if __name__ == "__main__":
    main({"sway": sway, "kwin": kwin, "xwayland": xwayland},
         ["sway", "kwin_wayland", "Xwayland", "xhost", "setpriv", "dbus-daemon"], "server", "client",
         "wayland-recorder", "build")
