#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The real vemdo-trackpad as its user meets it, in a private network.

terminal: the status block on the terminal (English and Turkish), phones coming and going, a second
          instance, bad arguments, a display that cannot be opened (the installed program: tests/system).
desktop:  on Xvfb, an XEmbed tray (trayer) whose menu shows the code and works from the keyboard, no tray
          (a window), and a D-Bus menu host (gtk-sni-tray-standalone) on a server without XTEST.
"""

import os
import re
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from harness import NAME, WEB_PORT, Phone, listening_ports, main, step, wait_for  # noqa: E402

# No X server or compositor runs in the namespace.
NO_INPUT = "Input backend: X11 (input not possible)"


def english(code, connected, port):
    return [NAME, f"Pairing Code: {code}", "STATUS", "Server Running", connected, "SECURITY",
            "Input Not Possible", "The phone must be on the same network",
            f"Listening on port {port}", NO_INPUT]


def terminal(h):
    step("bad arguments exit with 2 and say why")
    for bad, why in ((["--bogus"], "unknown argument '--bogus'"), (["--port"], "--port needs a port number"),
                     (["--port", "70000"], "invalid port number '70000' (expected 1 to 65535)"),
                     (["--input", "mutter"],
                      "unknown input backend 'mutter' (expected auto, x11, wlroots, kwin, gnome or portal)")):
        result = h.run([h.args.server, *bad], env=h.server_env("bad"))
        assert (result.returncode, result.stdout, result.stderr) == (
            2, "", f"vemdo-trackpad: {why}\nTry 'vemdo-trackpad --help' for more information.\n"), result
    assert not os.listdir(h.config_home("bad")), "a refused start stored something"

    server = h.server("en")
    turkish = h.server("tr", "--port", "47123", LANG="tr_TR.UTF-8")
    # No X server runs in this namespace, so no display number can be opened.
    fallback = h.server("nodisplay", headless=False, DISPLAY=":0")

    step("the status block: code, running, the phones connected as they come and go, the port")
    status = server.ready()
    assert status.lines == english(status.code, "Waiting for Device", status.port), status.lines
    phone = Phone(status.port, "127.0.0.1")
    server.wait_status(lambda s: s.lines == english(status.code, "1 Device(s) Connected", status.port), "one phone")
    phone.close()
    server.wait_status(lambda s: s.lines == english(status.code, "Waiting for Device", status.port), "no phone")

    step("a second instance for the same user is refused and changes nothing")
    second = h.run([h.args.server, "--headless"], env=h.server_env("en"), timeout=10)
    assert (second.returncode, second.stdout, second.stderr) == (1, "", (
        f"vemdo-trackpad: already running for this user (process {server.popen.pid}); only one server may use "
        "the pairing store at a time.\n")), second
    assert server.popen.poll() is None and server.blocks[-1].code == status.code

    step("Turkish under LANG=tr_TR.UTF-8, on the port asked for")
    block = turkish.ready()
    assert block.lines == [NAME, f"Eşleştirme Kodu: {block.code}", "DURUM", "Sunucu Çalışıyor",
                           "Cihaz Bekleniyor", "GÜVENLİK", "Giriş Mümkün Değil",
                           "Telefon aynı ağda olmalı", "Listening on port 47123", NO_INPUT], block.lines
    assert 47123 in listening_ports() and 47123 in listening_ports("udp")

    step("a display that cannot be opened: the status comes to the terminal")
    fallback.ready()
    assert 'vemdo-trackpad: cannot open the X display ":0"; showing the status here instead.' in fallback.err


def visible(h, name):
    """(id, width, height, x, y) of the viewable windows with this name."""
    tree = h.run(["xwininfo", "-root", "-tree"]).stdout
    found = re.findall(rf'(0x[0-9a-f]+) "{re.escape(name)}": \(.*?\)\s+(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+)',
                       tree)
    return [(w[0], *map(int, w[1:])) for w in found if "IsViewable" in h.run(["xwininfo", "-id", w[0]]).stdout]


def tray_icon(h):
    return next((w for w in visible(h, "vemdo-trackpad") if w[2] <= 64), None)


def tray_menu(h):
    return next((w for w in visible(h, "vemdo-trackpad") if w[2] > 200), None)


def open_menu(h, icon):
    # The first click after the menu has closed may be taken as one that closes it: click until it opens.
    for attempt in range(5):
        h.run(["xdotool", "click", "--window", icon[0], "1"], check=True)
        try:
            return wait_for(lambda: tray_menu(h), "the menu", 1)
        except AssertionError:
            if attempt == 4:
                raise


def rows(screen, window):
    """The pixel rows of a window's place on the screen, from the framebuffer file Xvfb draws the screen in."""
    with open(os.path.join(screen, "Xvfb_screen0"), "rb") as f:
        data = f.read()
    size, line, colors = (struct.unpack(">I", data[at:at + 4])[0] for at in (0, 48, 76))
    _, width, height, x, y = window
    start = size + 12 * colors + y * line + 4 * x
    return [data[start + r * line:start + r * line + 4 * width] for r in range(height)]


def choose(h, *keys):
    h.run(["xdotool", "key", "--delay", "100", *keys, "Return"], check=True)


def desktop(h):
    step("an XEmbed tray: the icon opens the menu")
    screen = h.path("tray-screen", mode=0o755)
    h.xvfb("-fbdir", screen)
    h.spawn(["trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24",
             "--SetDockType", "true"])
    wait_for(lambda: visible(h, "panel"), "the tray")
    app = h.server("tray", headless=False)
    icon = wait_for(lambda: tray_icon(h), "the tray icon")
    port = wait_for(lambda: listening_ports() - {WEB_PORT}, "the server to listen").pop()
    open_menu(h, icon)

    step("Generate New Code twice: the reopened menu shows each new code; the newest pairs, an old one not, "
         "and a phone paired before stays paired")
    pictures, codes = [], [wait_for(lambda: h.stored_code("tray"), "a stored code")]
    phone = Phone(port, "127.0.0.1")
    token = phone.pair("phone-a", codes[0])["token"]
    for _ in range(2):
        choose(h, "Down")
        codes.append(wait_for(lambda: h.stored_code("tray") not in codes and h.stored_code("tray"), "a new code"))
        menu = wait_for(lambda: tray_menu(h), "the menu to reopen")
        # Where the icon is now: the tray may still have been placing it when it was first seen.
        icon = tray_icon(h)
        assert menu[4] == icon[4] + icon[2] + 5, f"the menu {menu} reopened away from the icon {icon}"
        # Settled when two grabs in a row agree: a window just mapped may not be painted yet.
        pictures.append(wait_for(lambda: (lambda a, b: a == b and a)(rows(screen, menu), rows(screen, menu)),
                                 "a still menu"))
    changed = [y for y, (a, b) in enumerate(zip(*pictures)) if a != b]
    assert changed and max(changed) < len(pictures[0]) // 3, f"rows {changed} of {len(pictures[0])} changed"
    refused, paired = phone.pair("phone-b", codes[1]), phone.pair("phone-b", codes[2])
    assert refused["message"] == "Invalid pairing code" and paired["success"] is True, (codes, refused, paired)
    assert phone.auth("phone-a", token)["success"] is True
    phone.close()

    step("Launch at Login on and off from the menu, then Quit")
    entry = os.path.join(h.config_home("tray"), "autostart", "vemdo-trackpad.desktop")
    choose(h, "Up", "Up")
    wait_for(lambda: os.path.exists(entry), "the autostart entry")
    with open(entry) as f:
        assert f'\nExec="{os.path.realpath(h.args.server)}"\n' in f.read()
    open_menu(h, icon)
    choose(h, "Up", "Up")
    wait_for(lambda: not os.path.exists(entry), "the autostart entry to go")
    open_menu(h, icon)
    choose(h, "Up")
    assert app.popen.wait(timeout=10) == 0

    step("no tray: the entries in a window; Control-B shows the QR code of the page with the code; Control-Q quits")
    screen = h.path("window-screen", mode=0o755)
    h.xvfb("-fbdir", screen)
    app = h.server("window", headless=False)
    window = wait_for(lambda: next((w for w in visible(h, NAME) if w[2] > 200), None), "the window, laid out", 30)
    link = f"http://127.0.0.1:{WEB_PORT}/#code={wait_for(lambda: h.stored_code('window'), 'a stored code')}"

    def shown_link():
        # Pressed again while the page is not yet served, and so not in the window; never while a press may
        # still be on its way, as its window would take the focus from Control-Q.
        h.run(["xdotool", "windowfocus", "--sync", window[0], "key", "ctrl+b"], check=True)
        read = lambda: h.run(["zbarimg", "--quiet", "--raw", f"xwd:{screen}/Xvfb_screen0"]).stdout.strip() == link
        try:
            return wait_for(read, "the QR code", 5)
        except AssertionError:
            return False
    wait_for(shown_link, f"a QR code of {link} on the screen", 30)
    h.run(["xdotool", "windowfocus", "--sync", window[0], "key", "ctrl+q"], check=True)
    assert app.popen.wait(timeout=10) == 0

    step("a D-Bus menu host: every entry as text with the code; without XTEST, the alert that input is not possible")
    h.xvfb("-extension", "XTEST")
    h.session_bus()
    sni_tray(h)
    h.server("sni", headless=False)
    code = wait_for(lambda: h.stored_code("sni"), "a stored code")
    expected = [NAME, f"Pairing Code: {code}", "Generate New Code", "Connect with a Browser…", "STATUS",
                "Server Running", "Waiting for Device", "SECURITY", "Input Not Possible",
                "Input Help…", "The phone must be on the same network", "Launch at Login", "Quit"]
    wait_for(lambda: menu_labels(h) == expected, f"the D-Bus menu {expected}", 60)
    wait_for(lambda: visible(h, NAME), "the input alert")


def sni_tray(h):
    """gtk-sni-tray-standalone runs the watcher and the tray host in one process, and on a busy machine its host
    may ask the watcher before the watcher's object is there ("UnknownObject", then "Pattern match failure"),
    which ends the process: it is started again until the watcher counts its host."""
    registered = lambda: "true" in gdbus(h, "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                                         "org.freedesktop.DBus.Properties.Get", "org.kde.StatusNotifierWatcher",
                                         "IsStatusNotifierHostRegistered")
    for attempt in range(5):
        tray = h.spawn(["gtk-sni-tray-standalone", "--watcher"])
        wait_for(lambda: tray.popen.poll() is not None or registered(), "the tray", 60)
        if tray.popen.poll() is None:
            return
        print(f"the tray host ended at start (attempt {attempt + 1}): {tray.err[-2:]}", flush=True)
        h.forget(tray)
    raise AssertionError("the tray host ended at start five times")


def gdbus(h, destination, path, method, *args):
    return h.run(["gdbus", "call", "--session", "--dest", destination, "--object-path", path, "--method", method,
                  *args]).stdout


def menu_labels(h):
    items = re.findall(r"'([^']+)'", gdbus(h, "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                                          "org.freedesktop.DBus.Properties.Get", "org.kde.StatusNotifierWatcher",
                                          "RegisteredStatusNotifierItems"))
    if not items:
        return None
    service, _, path = items[0].partition("/")
    menu = re.search(r"objectpath '([^']+)'", gdbus(h, service, "/" + (path or "StatusNotifierItem"),
                                                    "org.freedesktop.DBus.Properties.Get",
                                                    "org.kde.StatusNotifierItem", "Menu"))
    if not menu:
        return None
    layout = gdbus(h, service, menu.group(1), "com.canonical.dbusmenu.GetLayout", "--", "0", "-1", "[]")
    return [m[1] for m in re.findall(r"'label': <(['\"])(.*?)\1>", layout)]


if __name__ == "__main__":
    main({"terminal": terminal, "desktop": desktop},
         ["Xvfb", "xdotool", "xwininfo", "trayer", "gtk-sni-tray-standalone", "dbus-daemon", "gdbus", "zbarimg"],
         "server", "build")
