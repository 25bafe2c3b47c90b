# SPDX-License-Identifier: MIT
"""Real Wayland desktops for tests, headless, and a window that records the input it receives.

HeadlessSway runs sway without a GPU as `nobody` (sway refuses root) with its own 0700 XDG_RUNTIME_DIR;
HeadlessKWin runs a copy of kwin_wayland (the packaged binary carries a file capability these containers
cannot grant) with a private D-Bus session bus; Xwayland runs rootless as a client of a desktop. Clients of
ours, running as root, reach them through client_env(). Every process is ended by its PID on close().
"""

import os
import pwd
import shutil
import signal
import subprocess
import tempfile
import time

UNPRIVILEGED = "nobody"


def wait_for(condition, timeout, what):
    """Polls `condition` until it returns something true, for at most `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.02)


def _as_user(user):
    entry = pwd.getpwnam(user)
    # The kernel forgets the parent-death signal when the user changes; setpriv sets it again afterwards.
    return ["setpriv", f"--reuid={entry.pw_uid}", f"--regid={entry.pw_gid}", "--clear-groups", "--pdeathsig=KILL"]


def _die_with_parent():
    import ctypes

    ctypes.CDLL(None).prctl(1, signal.SIGKILL, 0, 0, 0)


class _Processes:
    def __init__(self):
        self._running = []
        self.directory = tempfile.mkdtemp(prefix="vemdo-wl-")
        os.chmod(self.directory, 0o755)

    def spawn(self, command, env, log_name):
        log = open(os.path.join(self.directory, log_name), "wb")
        # A group of its own, so that close() also ends whatever it starts.
        process = subprocess.Popen(command, env=env, stdout=log, stderr=subprocess.STDOUT,
                                   stdin=subprocess.DEVNULL, preexec_fn=_die_with_parent, start_new_session=True)
        self._running.append(process)
        return process

    def log(self, log_name):
        with open(os.path.join(self.directory, log_name), "rb") as f:
            return f.read().decode(errors="replace")

    def close(self):
        for process in reversed(self._running):
            try:
                os.killpg(process.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                process.wait(timeout=3)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        self._running.clear()
        shutil.rmtree(self.directory, ignore_errors=True)


class _Desktop(_Processes):
    socket = None

    def __init__(self):
        super().__init__()
        self.runtime = os.path.join(self.directory, "runtime")
        os.mkdir(self.runtime, 0o700)

    def client_env(self, **extra):
        """The environment of a client of ours (root) on this desktop, without DISPLAY."""
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update(XDG_RUNTIME_DIR=self.runtime, WAYLAND_DISPLAY=self.socket)
        env.update(extra)
        return env

    def _wait_for_socket(self, process, timeout, name):
        def up():
            if process.poll() is not None:
                raise RuntimeError(f"{name} ended at start:\n" + self.log(name + ".log")[-2000:])
            return self.socket and os.path.exists(os.path.join(self.runtime, self.socket))

        wait_for(up, timeout, f"{name}'s socket")


class HeadlessSway(_Desktop):
    """sway with outputs given as (width, height, x, y), named HEADLESS-1, HEADLESS-2, ..."""

    def __init__(self, outputs=((1024, 768, 0, 0),)):
        super().__init__()
        user = pwd.getpwnam(UNPRIVILEGED)
        os.chown(self.runtime, user.pw_uid, user.pw_gid)
        config = os.path.join(self.directory, "sway.conf")
        lines = ["default_border none", "default_floating_border none", "focus_follows_mouse no",
                 "mouse_warping none"]
        for i, (width, height, x, y) in enumerate(outputs, 1):
            lines.append(f"output HEADLESS-{i} resolution {width}x{height} position {x} {y}")
        with open(config, "w") as f:
            f.write("\n".join(lines) + "\n")
        os.chmod(config, 0o644)
        self.socket = "wayland-1"
        env = {"PATH": "/usr/bin:/bin", "HOME": self.runtime, "XDG_RUNTIME_DIR": self.runtime,
               "WLR_BACKENDS": "headless", "WLR_LIBINPUT_NO_DEVICES": "1", "WLR_RENDERER": "pixman",
               "WLR_HEADLESS_OUTPUTS": str(len(outputs))}
        process = self.spawn(_as_user(UNPRIVILEGED) + ["sway", "-c", config], env, "sway.log")
        self._wait_for_socket(process, 10, "sway")


class HeadlessKWin(_Desktop):
    """kwin_wayland --virtual; `desktop_exec`, when given, is the program an installed desktop file grants
    fake input, found through XDG_DATA_DIRS as KWin looks it up."""

    def __init__(self, desktop_exec=None, width=1280, height=720):
        super().__init__()
        binary = os.path.join(self.directory, "bin", "kwin_wayland")
        os.makedirs(os.path.dirname(binary))
        shutil.copy(shutil.which("kwin_wayland"), binary)  # copy: no file capability
        data = os.path.join(self.directory, "share")
        os.makedirs(os.path.join(data, "applications"))
        if desktop_exec:
            with open(os.path.join(data, "applications", "vemdo-trackpad.desktop"), "w") as f:
                f.write("[Desktop Entry]\nType=Application\nName=Vemdo Trackpad\n"
                        f"Exec={desktop_exec}\nX-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n")
        self.socket = "wayland-kwin"
        env = {"PATH": "/usr/bin:/bin", "HOME": self.directory, "XDG_RUNTIME_DIR": self.runtime,
               "XDG_DATA_DIRS": data + ":/usr/share", "XDG_CONFIG_HOME": os.path.join(self.directory, "config"),
               "KWIN_COMPOSE": "Q", "QT_QPA_PLATFORM": "wayland"}
        # A session bus of its own, started by us so that we also reap it.
        bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1"],
                               env=env, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                               preexec_fn=_die_with_parent, start_new_session=True, text=True)
        self._running.append(bus)
        env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
        command = [binary, "--virtual", "--width", str(width), "--height", str(height), "--no-lockscreen",
                   "--socket", self.socket]
        process = self.spawn(command, env, "kwin.log")
        self._wait_for_socket(process, 20, "kwin")


class Xwayland(_Processes):
    """Xwayland -rootless on display :number as a client of `desktop`, open to root clients."""

    def __init__(self, desktop, number=71):
        super().__init__()
        self.display = f":{number}"
        user = UNPRIVILEGED if isinstance(desktop, HeadlessSway) else pwd.getpwuid(os.getuid()).pw_name
        as_user = _as_user(user)
        env = {"PATH": "/usr/bin:/bin", "HOME": desktop.runtime, "XDG_RUNTIME_DIR": desktop.runtime,
               "WAYLAND_DISPLAY": desktop.socket}
        process = self.spawn(as_user + ["Xwayland", self.display, "-rootless", "-noreset"], env, "xwayland.log")
        socket = f"/tmp/.X11-unix/X{number}"

        def up():
            if process.poll() is not None:
                raise RuntimeError("Xwayland ended at start:\n" + self.log("xwayland.log")[-2000:])
            return os.path.exists(socket)

        wait_for(up, 10, "Xwayland's socket")
        # Our clients run as root, Xwayland as the desktop's user: let root in.
        subprocess.run(as_user + ["xhost", "+SI:localuser:root"], env=dict(env, DISPLAY=self.display), check=True,
                       capture_output=True, timeout=10)


class Recorder:
    """The recording window on a desktop; lines() is what it received so far."""

    def __init__(self, program, desktop, title="recorder"):
        self._log = tempfile.NamedTemporaryFile(prefix="recorder-", suffix=".log", delete=False)
        self.process = subprocess.Popen([program, title], env=desktop.client_env(), stdout=self._log,
                                        stderr=subprocess.STDOUT, preexec_fn=_die_with_parent)

    def lines(self):
        with open(self._log.name, encoding="utf-8", errors="replace") as f:
            return f.read().splitlines()

    def wait_for_line(self, predicate, timeout=5, what="a line"):
        def found():
            if self.process.poll() is not None:
                raise RuntimeError("the recorder ended:\n" + "\n".join(self.lines()))
            return next((line for line in self.lines() if predicate(line)), None)

        return wait_for(found, timeout, what)

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=3)
        os.unlink(self._log.name)
