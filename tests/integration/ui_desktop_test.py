#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The real vemdo-trackpad on a private Xvfb display, in a private network namespace.

window: no tray host, so the entries appear in a window.
late_tray: a tray that appears a second after the program still gets the icon, and no window shows.
untrusted: a server without XTEST: the permission alert appears by itself.
xembed: an XEmbed tray (trayer) shows the icon; a click opens the menu; keyboard choices in the menu
        generate a new code (the menu reopens at the icon), switch launch at login on and off, and quit.
sni:    a StatusNotifierItem host (gtk-sni-tray-standalone --watcher) on a private session bus: the
        exported D-Bus menu carries the title, the pairing code and Quit as plain labels.
Pictures of each screen are left in --out-dir for a reviewer.
"""

import argparse
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77
TOOLS = ["Xvfb", "xdotool", "xwininfo", "trayer", "gtk-sni-tray-standalone", "dbus-daemon", "gdbus", "unshare"]


def namespace_prefix():
    for prefix in (["unshare", "--net"], ["unshare", "--net", "--map-root-user"]):
        if subprocess.run(prefix + ["true"], capture_output=True).returncode == 0:
            return prefix + ["sh", "-c", 'ip link set lo up 2>/dev/null; exec "$0" "$@"']
    return None


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.2)
    raise AssertionError(f"timed out waiting for {what}")


def start_xvfb(extra):
    """An Xvfb on a display number picked at random from a high range, away from other tests' servers."""
    for number in random.sample(range(150, 900), 20):
        if os.path.exists(f"/tmp/.X{number}-lock") or os.path.exists(f"/tmp/.X11-unix/X{number}"):
            continue
        xvfb = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", "1024x768x24", "-noreset", "-nolisten",
                                 "tcp"] + extra, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and xvfb.poll() is None:
            if os.path.exists(f"/tmp/.X11-unix/X{number}"):
                return xvfb, str(number)
            time.sleep(0.1)
        if xvfb.poll() is None:
            xvfb.kill()
        xvfb.wait()
    raise AssertionError("no Xvfb could be started")


class Session:
    """A private X server (and on request a session bus), with everything started in it."""

    def __init__(self, tmp, args, prefix, xvfb_args=()):
        self.tmp = tmp
        self.args = args
        self.prefix = prefix
        self.processes = []
        runtime = os.path.join(tmp, "runtime")
        os.makedirs(runtime, mode=0o700)
        self.config = os.path.join(tmp, "config")
        self.xvfb, display = start_xvfb(list(xvfb_args))
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "LANGUAGE", "LC_ALL", "LANG",
                                 "XDG_CURRENT_DESKTOP", "QT_QPA_PLATFORM")}
        self.env.update(DISPLAY=f":{display}", XDG_RUNTIME_DIR=runtime, XDG_CONFIG_HOME=self.config,
                        DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent", LANG="C.UTF-8",
                        DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent")
        self.app = None

    def start_session_bus(self):
        # A socket path rather than an abstract address: abstract sockets stay behind in the host's network
        # namespace, out of the program's reach.
        address = f"unix:path={self.tmp}/bus"
        daemon = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--address", address],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(daemon)
        wait_for(lambda: os.path.exists(f"{self.tmp}/bus"), 10, "the session bus")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address

    def spawn(self, command):
        process = subprocess.Popen(command, env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(process)
        return process

    def start_app(self):
        self.app_log = open(os.path.join(self.tmp, "app.log"), "w+")
        self.app = subprocess.Popen(self.prefix + [self.args.program], env=self.env, stdout=self.app_log,
                                    stderr=subprocess.STDOUT)
        return self.app

    def run(self, command, check=True):
        result = subprocess.run(command, env=self.env, capture_output=True, text=True, timeout=30)
        if check:
            assert result.returncode == 0, (command, result.stdout, result.stderr)
        return result.stdout

    def grab(self, name):
        os.makedirs(self.args.out_dir, exist_ok=True)
        path = os.path.join(self.args.out_dir, name)
        self.run([self.args.snapshot, "--grab-screen", path])
        assert os.path.getsize(path) > 1000, path
        return path

    def top_windows(self):
        """(id, name, width, height, x, y) of the root's children."""
        out = self.run(["xwininfo", "-root", "-children"])
        windows = []
        for m in re.finditer(r'^\s+(0x[0-9a-f]+) "([^"]*)": \([^)]*\)\s+(\d+)x(\d+)\+(-?\d+)\+(-?\d+)', out, re.M):
            windows.append((m.group(1), m.group(2), int(m.group(3)), int(m.group(4)), int(m.group(5)),
                            int(m.group(6))))
        return windows

    def viewable(self, window_id):
        return "IsViewable" in self.run(["xwininfo", "-id", window_id], check=False)

    def app_log_text(self):
        self.app_log.flush()
        with open(self.app_log.name) as f:
            return f.read()

    def close(self):
        for process in ([self.app] if self.app else []) + list(reversed(self.processes)) + [self.xvfb]:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()


def menu_window(session):
    """The program's open menu: a viewable top-level window of it, taller than a tray icon."""
    for window in session.top_windows():
        if window[1] == "vemdo-trackpad" and window[3] > 200 and session.viewable(window[0]):
            return window
    return None


def stored_code(session):
    path = os.path.join(session.config, "vemdo-trackpad", "defaults.json")
    try:
        with open(path) as f:
            return re.search(r"\d{6}", json.dumps(json.load(f).get("com.vemdo.pairingCode"))).group(0)
    except (OSError, ValueError, AttributeError):
        return None


def case_window(session):
    session.start_app()
    # The window may be mapped at a placeholder size before its first layout, so wait for the real one.
    def laid_out_window():
        for candidate in session.run(["xdotool", "search", "--onlyvisible", "--name", "^Vemdo Trackpad$"],
                                     check=False).split():
            geometry = session.run(["xwininfo", "-id", candidate], check=False)
            height = re.search(r"Height: (\d+)", geometry)
            if height and int(height.group(1)) > 200:
                return [candidate]
        return None

    window = wait_for(laid_out_window, 60, "the window, laid out")
    # Let the published code and the listening state reach the window before taking its picture.
    wait_for(lambda: stored_code(session), 10, "a stored pairing code")
    time.sleep(2.5)
    session.grab("no_tray_window.png")
    # Its Quit button answers the menu's key equivalent.
    session.run(["xdotool", "windowfocus", "--sync", window[0], "key", "ctrl+q"])
    assert session.app.wait(timeout=10) == 0, session.app_log_text()


def tray_icon(session):
    out = session.run(["xwininfo", "-root", "-tree"])
    # The embedded icon is a small window of ours nested inside the tray's panel.
    m = re.search(r'^\s{8,}(0x[0-9a-f]+) "vemdo-trackpad": \("vemdo-trackpad" "vemdo-trackpad"\)\s+(\d+)x(\d+)'
                  r'\+\d+\+\d+\s+\+(\d+)\+(\d+)', out, re.M)
    if not m or int(m.group(2)) > 64:
        return None
    return m.group(1), int(m.group(4)), int(m.group(5)), int(m.group(3))


def open_menu(session, icon):
    # A click that lands while the icon is still being set up is lost; such a click is repeated.
    for _ in range(5):
        # Away from the icon, so the menu does not open under the pointer.
        session.run(["xdotool", "mousemove", "300", "300"])
        session.run(["xdotool", "click", "--window", icon[0], "1"])
        try:
            wait_for(lambda: menu_window(session), 5, "the menu")
        except AssertionError:
            continue
        time.sleep(0.5)
        window = menu_window(session)
        if window:
            return window
    raise AssertionError("the menu did not stay open")


def choose(session, keys):
    session.run(["xdotool", "key", "--delay", "100"] + keys + ["Return"])


def case_xembed(session):
    session.spawn(["trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24",
                   "--transparent", "false", "--SetDockType", "true"])
    time.sleep(1)
    session.start_app()
    icon = wait_for(lambda: tray_icon(session), 60, "the tray icon")
    # Opened at once, the menu stays open while the code and the listening state arrive in it.
    menu = open_menu(session, icon)
    wait_for(lambda: stored_code(session), 10, "a stored pairing code")
    time.sleep(4.5)
    assert menu_window(session) == menu, (menu_window(session), menu)
    session.grab("xembed_tray_menu.png")

    # Generate New Code: the first enabled entry from the top.
    before = stored_code(session)
    choose(session, ["Down"])
    wait_for(lambda: stored_code(session) not in (None, before), 10, "a new code")
    reopened = wait_for(lambda: menu_window(session), 10, "the reopened menu")
    # Reopened at the icon, just under it, rather than where the pointer is.
    assert reopened[5] == icon[2] + icon[3] + 5, (reopened, icon)
    session.grab("xembed_tray_menu_after_refresh.png")

    # Launch at Login: second enabled entry from the bottom.
    entry = os.path.join(session.config, "autostart", "vemdo-trackpad.desktop")
    choose(session, ["Up", "Up"])
    wait_for(lambda: os.path.exists(entry), 10, "the autostart entry")
    with open(entry) as f:
        assert f"Exec=\"{os.path.realpath(session.args.program)}\"" in f.read()
    open_menu(session, icon)
    choose(session, ["Up", "Up"])
    wait_for(lambda: not os.path.exists(entry), 10, "the autostart entry to go")

    # Quit: the last entry.
    open_menu(session, icon)
    choose(session, ["Up"])
    assert session.app.wait(timeout=10) == 0, session.app_log_text()


def menu_labels(session, item):
    service, _, path = item.partition("/")
    path = "/" + path if path else "/StatusNotifierItem"
    reply = session.run(["gdbus", "call", "--session", "--dest", service, "--object-path", path, "--method",
                         "org.freedesktop.DBus.Properties.Get", "org.kde.StatusNotifierItem", "Menu"])
    menu_path = re.search(r"objectpath '([^']+)'", reply).group(1)
    layout = session.run(["gdbus", "call", "--session", "--dest", service, "--object-path", menu_path,
                          "--method", "com.canonical.dbusmenu.GetLayout", "--", "0", "-1", "[]"])
    return [m.group(2) for m in re.finditer(r"'label': <(['\"])(.*?)\1>", layout)]


def registered_item(session):
    """The one item the watcher knows: a bus name, optionally followed by its object path."""
    out = session.run(["gdbus", "call", "--session", "--dest", "org.kde.StatusNotifierWatcher", "--object-path",
                       "/StatusNotifierWatcher", "--method", "org.freedesktop.DBus.Properties.Get",
                       "org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems"], check=False)
    items = re.findall(r"'([^']+)'", out)
    return items[0] if items else None


def case_sni(session):
    session.start_session_bus()
    session.spawn(["gtk-sni-tray-standalone", "--watcher"])
    wait_for(lambda: "org.kde.StatusNotifierWatcher" in session.run(
        ["gdbus", "call", "--session", "--dest", "org.freedesktop.DBus", "--object-path", "/org/freedesktop/DBus",
         "--method", "org.freedesktop.DBus.ListNames"]), 60, "the StatusNotifier watcher")
    session.start_app()
    service = wait_for(lambda: registered_item(session), 60, "the program's StatusNotifierItem")

    def complete():
        labels = menu_labels(session, service)
        return labels if any(re.match(r"^Pairing Code: \d{6}$", label) for label in labels) else None

    labels = wait_for(complete, 60, "a menu with the pairing code")
    assert "Vemdo Trackpad" in labels, labels
    assert "Quit" in labels, labels
    assert "Generate New Code" in labels and "Launch at Login" in labels, labels
    session.grab("sni_tray.png")


def case_snapshot(session):
    os.makedirs(session.args.out_dir, exist_ok=True)
    picture = os.path.join(session.args.out_dir, "menu_snapshot.png")
    out = session.run([session.args.snapshot, "--code", "482913", "--listening", "--clients", "3", "--untrusted",
                       "--out", picture])
    assert out.splitlines() == [
        "Vemdo Trackpad", "Pairing Code: 482913 [icon]", "Generate New Code [icon]", "STATUS",
        "Server Running [icon]", "3 Device(s) Connected [icon]", "SECURITY",
        "Accessibility Permission Required [icon]", "Open System Settings [icon]",
        "iOS device must be on same Wi-Fi network [icon]", "Launch at Login [icon]", "Quit [icon]"], out
    assert os.path.getsize(picture) > 5000, picture
    picture = os.path.join(session.args.out_dir, "menu_snapshot_tr.png")
    out = session.run([session.args.snapshot, "--lang", "tr", "--out", picture])
    assert "Eşleştirme Kodu: ------ [icon]" in out.splitlines(), out
    assert "Launch at Login [icon]" in out.splitlines(), out


def case_untrusted(session):
    session.spawn(["trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24",
                   "--transparent", "false", "--SetDockType", "true"])
    time.sleep(1)
    session.start_app()
    wait_for(lambda: tray_icon(session), 60, "the tray icon")
    # Without XTEST nothing can be posted: the permission alert follows on its own.
    alert = wait_for(lambda: session.run(["xdotool", "search", "--onlyvisible", "--name", "^Vemdo Trackpad$"],
                                         check=False).split(), 60, "the permission alert")
    time.sleep(0.5)
    session.grab("permission_alert.png")
    # The program goes on serving behind it (its answer is covered by the unit tests: this server has no
    # XTEST to press a button with).
    assert session.app.poll() is None, session.app_log_text()
    assert len(alert) == 1, alert


def case_late_tray(session):
    # The panel comes up a moment after the program, as can happen at login.
    session.start_app()
    time.sleep(1)
    session.spawn(["trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24",
                   "--transparent", "false", "--SetDockType", "true"])
    wait_for(lambda: tray_icon(session), 60, "the tray icon")
    assert not session.run(["xdotool", "search", "--onlyvisible", "--name", "^Vemdo Trackpad$"], check=False)


CASES = {"snapshot": case_snapshot, "window": case_window, "xembed": case_xembed, "sni": case_sni,
         "untrusted": case_untrusted, "late_tray": case_late_tray}
XVFB_ARGS = {"untrusted": ["-extension", "XTEST"]}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--snapshot", required=True)
    parser.add_argument("--out-dir", required=True)
    parser.add_argument("--case", action="append", choices=sorted(CASES))
    args = parser.parse_args()
    missing = [tool for tool in TOOLS if not shutil.which(tool)]
    if missing:
        print(f"SKIP: missing {' '.join(missing)}")
        return SKIP
    prefix = namespace_prefix()
    if prefix is None:
        print("SKIP: cannot make a private network namespace (unshare --net)")
        return SKIP
    failures = 0
    for name in args.case or list(CASES):
        tmp = tempfile.mkdtemp(prefix=f"vemdo-ui-{name}-")
        session = Session(tmp, args, prefix, XVFB_ARGS.get(name, ()))
        try:
            CASES[name](session)
            print(f"PASS {name}")
        except (AssertionError, subprocess.TimeoutExpired) as error:
            failures += 1
            log = session.app_log_text() if session.app else ""
            print(f"FAIL {name}: {error}\nprogram output:\n{log}")
        finally:
            session.close()
            shutil.rmtree(tmp, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
