# SPDX-License-Identifier: MIT
"""What every Python test needs to meet the real programs: a private network, its daemons, X servers and
Wayland compositors, the server with its status parsed, phones, and bounded waits.

A test calls main() with its scenarios. The script re-runs itself in new network and mount namespaces where
only loopback exists and /run and /tmp/.X11-unix are private tmpfs mounts: Avahi announces nowhere else,
the system bus and X sockets are the test's own, and any display number or port from outside is out of
reach. Every child gets SIGKILL when the test process dies and is killed by PID at the end otherwise.
"""

import argparse
import base64
import contextlib
import ctypes
import json
import os
import pwd
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback

NAME = "Vemdo Trackpad"
# The browser page's port, unless --web-port names another.
WEB_PORT = 27183
SKIP = 77
_INSIDE = "VEMDO_TEST_NAMESPACE"
_libc = ctypes.CDLL(None, use_errno=True)
_NOBODY = pwd.getpwnam("nobody")


def _die_with_parent():
    _libc.prctl(1, signal.SIGKILL, 0, 0, 0)  # PR_SET_PDEATHSIG


def _as_nobody(argv):
    # The kernel forgets the parent-death signal when the user changes; setpriv sets it again.
    return ["setpriv", f"--reuid={_NOBODY.pw_uid}", f"--regid={_NOBODY.pw_gid}", "--clear-groups",
            "--pdeathsig=KILL", *argv]


def skip(reason):
    print(f"SKIP: {reason}", flush=True)
    sys.exit(SKIP)


def wait_for(predicate, what, timeout=15):
    """Polls predicate until it gives something true, which is returned; fails after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.05)


def step(text):
    print(f"--- {text}", flush=True)


def enter_private_namespace():
    """Re-runs this script in the private namespaces; returns there."""
    if os.environ.get(_INSIDE) == "1":
        links = subprocess.run(["ip", "-o", "link"], capture_output=True, text=True, check=True).stdout
        # Refuse to announce anything if the machine's interfaces are still in sight.
        assert [l.split(":")[1].strip() for l in links.splitlines()] == ["lo"], links
        for mount_point in ("/run", "/tmp/.X11-unix"):
            # A fresh machine may have no X server yet, nor its socket directory to mount over.
            os.makedirs(mount_point, exist_ok=True)
            subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=1777", "vemdo-test", mount_point], check=True)
        os.makedirs("/run/dbus")
        os.makedirs("/run/avahi-daemon")
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        return
    command = ["unshare", "--net", "--mount", "--propagation", "private", "--fork", "--kill-child"]
    if os.geteuid() != 0:
        command.insert(1, "--map-root-user")
    probe = subprocess.run(command + ["true"], capture_output=True, text=True)
    if probe.returncode != 0:
        skip("cannot make a private network namespace: " + probe.stderr.strip())
    os.execvpe(command[0], command + [sys.executable, *sys.argv], dict(os.environ, **{_INSIDE: "1"}))


def main(scenarios, tools, *options):
    """Parses --case NAME (one of scenarios, a dict; the first by default) and --OPTION PATH for each option,
    enters the namespace and runs the scenario with a Harness."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--case", choices=scenarios, default=next(iter(scenarios)))
    for option in options:
        parser.add_argument(f"--{option}", required=True)
    args = parser.parse_args()
    missing = [t for t in ("unshare", "ip", "mount", *tools) if shutil.which(t) is None]
    if missing:
        skip("missing " + " ".join(missing) + " (scripts/install-deps.sh installs them)")
    enter_private_namespace()
    with Harness(args) as h:
        scenarios[args.case](h)
    print("PASS", flush=True)


class Process:
    """A child whose output lines are collected as they arrive."""

    def __init__(self, argv, env, stdin=subprocess.DEVNULL, pass_fds=()):
        self.argv = argv
        self.popen = subprocess.Popen(argv, env=env, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                      pass_fds=pass_fds, preexec_fn=_die_with_parent)
        self.out, self.err = [], []
        for stream, lines in ((self.popen.stdout, self.out), (self.popen.stderr, self.err)):
            threading.Thread(target=self._read, args=(stream, lines), daemon=True).start()

    def _read(self, stream, lines):
        for raw in stream:
            lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
            self.line_added(lines is self.out, lines[-1])

    def line_added(self, is_stdout, line):
        pass

    def wait_line(self, pattern, stream="out", timeout=15):
        lines = self.out if stream == "out" else self.err
        return wait_for(lambda: next((l for l in list(lines) if re.fullmatch(pattern, l)), None),
                        f"{os.path.basename(self.argv[0])} to print {pattern!r}", timeout)

    def stop(self, sig=signal.SIGTERM):
        if self.popen.poll() is None:
            self.popen.send_signal(sig)
            try:
                self.popen.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.popen.kill()
        return self.popen.wait()

    def describe(self):
        return (f"=== {' '.join(self.argv)} (pid {self.popen.pid}, exit {self.popen.poll()})\n"
                + "\n".join(self.out[-30:]) + "\n--- stderr\n" + "\n".join(self.err[-30:]))


class Status:
    """One block of the headless status output."""

    def __init__(self, lines):
        self.lines = lines
        field = lambda p: next((m.group(1) for m in map(lambda l: re.fullmatch(p, l), lines) if m), None)
        self.code = field(r"(?:Pairing Code|Eşleştirme Kodu): (\d{6})")
        self.port = int(field(r"Listening on port (\d+)") or 0)
        connected = field(r"(\d+) Device\(s\) Connected")
        self.clients = int(connected) if connected else 0 if "Waiting for Device" in lines else None


class Server(Process):
    """The real vemdo-trackpad; headless, its status blocks are parsed as they are printed."""

    def __init__(self, *args, **kwargs):
        self.blocks, self.links, self._block = [], [], []
        super().__init__(*args, **kwargs)

    def line_added(self, is_stdout, line):
        if is_stdout and line:
            self._block.append(line)
        elif is_stdout:
            # The browser link (a title and the URL, its QR code, other addresses) comes as a block of its own.
            if re.fullmatch(r".+: http://\S+", self._block[0]):
                self.links.append(self._block)
            else:
                self.blocks.append(Status(self._block))
            self._block = []

    def wait_status(self, predicate, what, timeout=15):
        def latest():
            assert self.popen.poll() is None, f"the server exited with {self.popen.returncode}"
            return self.blocks and predicate(self.blocks[-1]) and self.blocks[-1]
        return wait_for(latest, what, timeout)

    def ready(self):
        return self.wait_status(lambda s: s.code and s.port, "a listening server")


def listening_ports(protocol="tcp"):
    """Ports with a listening (TCP) or bound (UDP) socket in this network namespace."""
    ports = set()
    for version in ("", "6"):
        with open(f"/proc/net/{protocol}{version}") as table:
            rows = [row.split() for row in table.readlines()[1:]]
        ports |= {int(r[1].rsplit(":", 1)[1], 16) for r in rows if r[3] == ("0A" if protocol == "tcp" else "07")}
    return ports


def resident_kib(pid):
    """The resident size of a process, in KiB."""
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def datagram_move(port, source, dx, dy):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
        udp.bind((source, 0))
        udp.sendto(struct.pack("<Bffi", 1, dx, dy, 7), ("127.0.0.1", port))


def abusive_peer(port, source, kind, chance):
    """One of five kinds of connection a careless or hostile peer makes: random bytes, a line it never ends,
    half-open, reset at once, a wrong pairing guess. Returns the socket, still open unless reset."""
    peer = socket.create_connection(("127.0.0.1", port), source_address=(source, 0))
    if kind % 5 == 0:
        peer.sendall(bytes(chance.getrandbits(8) for _ in range(512)))
    elif kind % 5 == 1:
        peer.sendall(b'{"kind":"pairRequest","devi')
    elif kind % 5 == 2:
        peer.shutdown(socket.SHUT_WR)
    elif kind % 5 == 3:
        peer.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        peer.close()
    else:
        peer.sendall(json.dumps({"kind": "pairRequest", "timestamp": 1, "deviceID": f"flood-{chance.random()}",
                                 "pairingCode": "000000"}).encode() + b"\n")
    return peer

_IPV6_FREEBIND = 78


def link_local_network():
    """Lets this namespace use every address of fe80::/64 on lo, as a host may give itself any number of
    them; the server is then reached at fe80::1."""
    subprocess.run(["ip", "-6", "route", "add", "local", "fe80::/64", "dev", "lo", "table", "local"], check=True)


def connect(port, source, receive_buffer=None):
    """A TCP connection to the server from a loopback address, or from a link-local one (fe80::..., see
    link_local_network); a small receive_buffer makes replies that are not read pile up at the server."""
    family = socket.AF_INET6 if ":" in source else socket.AF_INET
    tcp = socket.socket(family, socket.SOCK_STREAM)
    if receive_buffer:
        tcp.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    if family == socket.AF_INET6:
        # Bound to an address no interface holds: the local route above delivers it.
        tcp.setsockopt(socket.IPPROTO_IPV6, _IPV6_FREEBIND, 1)
        zone = socket.if_nametoindex("lo")
        tcp.bind((source, 0, 0, zone))
        tcp.settimeout(10)
        tcp.connect(("fe80::1", port, 0, zone))
    else:
        tcp.bind((source, 0))
        tcp.settimeout(10)
        tcp.connect(("127.0.0.1", port))
    return tcp


class Phone:
    """A phone speaking raw JSON lines over TCP and datagrams over UDP, from a chosen loopback address."""

    def __init__(self, port, source, receive_buffer=None):
        self.port, self.source = port, source
        self.tcp = connect(port, source, receive_buffer)
        self.buffer = b""

    def send(self, **message):
        self.tcp.sendall(json.dumps({"timestamp": 1, **message}, ensure_ascii=False).encode() + b"\n")

    def request(self, **message):
        self.send(**message)
        return self.reply()

    def _fill(self, enough):
        while not enough():
            chunk = self.tcp.recv(65536)
            assert chunk, "the server closed the connection"
            self.buffer += chunk

    def reply(self):
        self._fill(lambda: b"\n" in self.buffer)
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def pair(self, device, code):
        return self.request(kind="pairRequest", deviceID=device, pairingCode=code)

    def auth(self, device, token):
        return self.request(kind="auth", deviceID=device, token=token)

    def move(self, dx, dy):
        self.send(kind="move", dx=dx, dy=dy)

    def datagram_move(self, dx, dy):
        datagram_move(self.port, self.source, dx, dy)

    def close(self):
        self.tcp.close()


def websocket_frame(opcode, payload=b"", final=True):
    """One frame as a client sends it, masked."""
    mask, size = os.urandom(4), len(payload)
    length = (bytes([0x80 | size]) if size < 126 else struct.pack("!BH", 0xFE, size) if size < 65536
              else struct.pack("!BQ", 0xFF, size))
    return bytes([0x80 * final | opcode]) + length + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))


def frames(stream):
    """(opcode, payload unmasked, where it ends) of each whole WebSocket frame at the start of stream."""
    at, result = 0, []
    while at + 2 <= len(stream):
        opcode, masked, size, start = stream[at] & 15, stream[at + 1] & 128, stream[at + 1] & 127, at + 2
        if size >= 126:
            width = 2 if size == 126 else 8
            size, start = int.from_bytes(stream[start:start + width], "big"), start + width
        mask, start = (stream[start:start + 4], start + 4) if masked else (bytes(4), start)
        if start + size > len(stream):
            break
        at = start + size
        result.append((opcode, bytes(b ^ mask[i % 4] for i, b in enumerate(stream[start:at])), at))
    return result


class Browser(Phone):
    """The page's WebSocket on /ws, opened with the Host and Origin the page sends from 127.0.0.1:port (or
    host). exchange() runs the page's own session over it (page_peer.mjs: session.js and pake.js in Node),
    pairing with a code or returning with a secret, and returns {"success": bool, "token": the secret, "close":
    the computer's close code}; send() then goes sealed through the page. Raw frames can be sent on self.tcp;
    message() passes pongs over."""

    def __init__(self, port, source, receive_buffer=None, host=None):
        super().__init__(port, source, receive_buffer)
        self.host, key = host or f"127.0.0.1:{port}", base64.b64encode(os.urandom(16)).decode()
        self.tcp.sendall(f"GET /ws HTTP/1.1\r\nHost: {self.host}\r\nOrigin: http://{self.host}\r\n"
                         f"Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                         "Sec-WebSocket-Version: 13\r\n\r\n".encode())
        self._fill(lambda: b"\r\n\r\n" in self.buffer)
        head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        assert head.startswith(b"HTTP/1.1 101 "), head
        self.page, self.hello = None, self.message()

    def message(self, opcodes=(2,)):
        """The payload of the next frame with one of the opcodes; a close frame's code as an int."""
        while True:
            self._fill(lambda: frames(self.buffer))
            opcode, payload, end = frames(self.buffer)[0]
            self.buffer = self.buffer[end:]
            if opcode == 8 or opcode in opcodes:
                return int.from_bytes(payload[:2], "big") if opcode == 8 else payload

    def tell_page(self, command, argument, forward=True):
        """What the page does when told; the frames it sends go to the computer unless not forward."""
        self.page.stdin.write(f"{command} {argument}\n")
        self.page.stdin.flush()
        events = list(iter(lambda: self.page.stdout.readline() or "done\n", "done\n"))
        assert events and events[-1].startswith("secret "), "page_peer.mjs ended"
        sent = [bytes.fromhex(event[5:]) for event in events if forward and event.startswith("send ")]
        self.tcp.sendall(b"".join(websocket_frame(2, frame) for frame in sent))
        return events

    def exchange(self, device, code="-", secret=""):
        self.page = subprocess.Popen(["node", os.path.join(os.path.dirname(os.path.abspath(__file__)), "page_peer.mjs"),
                                      str(self.port), self.host, device, secret],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        events = self.tell_page("start", code) + self.tell_page("message", self.hello.hex())
        while "state ready\n" not in events:
            message = self.message()
            if isinstance(message, int):
                return {"success": False, "close": message}
            events = self.tell_page("message", message.hex())
        return {"success": True, "token": events[-1][7:].strip()}

    def send(self, **message):
        self.tell_page("input", json.dumps(message, ensure_ascii=False))


class Recorder(Process):
    """x_event_recorder: a window over the whole screen; pointer records (kind, button or -, x, y, button 1
    held) and the text that key presses produced."""

    program = "recorder"

    def records(self, since=0):
        result, where = [], None
        for line in self.out[since:]:
            f = line.split()
            # The backend puts the pointer in place before each button: only motion that moves counts.
            if f[0] == "motion" and (f[1], f[2]) != where:
                result.append(("motion", "-", int(f[1]), int(f[2]), bool(int(f[3], 16) & 0x100)))
                where = (f[1], f[2])
            elif f[0] == "button":
                result.append((f[1], int(f[2]), int(f[3]), int(f[4]), bool(int(f[5], 16) & 0x100)))
        return result

    def text(self, since=0):
        hex_text = "".join(l.split()[5] for l in self.out[since:] if l.startswith("key press"))
        return bytes.fromhex(hex_text.replace("-", "")).decode("utf-8", "replace")


class WaylandRecorder(Process):
    """wayland_event_recorder: a full-screen window; its events as tuples (numbers as int) and its text."""

    program = "wayland_recorder"

    def events(self, *kinds):
        words = [line.split() for line in list(self.out)]
        return [tuple(int(w) if w.lstrip("-").isdigit() else w for w in e) for e in words if e[0] in kinds]

    def text(self):
        return "".join(line[5:] for line in list(self.out) if line.startswith("text "))


_DBUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>system</type><listen>unix:path=/run/dbus/system_bus_socket</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_type="method_call"/>
<allow send_type="signal"/><allow send_requested_reply="true" send_type="method_return"/>
<allow send_requested_reply="true" send_type="error"/><allow receive_type="method_call"/>
<allow receive_type="method_return"/><allow receive_type="error"/><allow receive_type="signal"/></policy>
</busconfig>"""
_AVAHI_CONFIG = """[server]\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=lo\nenable-dbus=yes
ratelimit-interval-usec=1000000\nratelimit-burst=1000\n[wide-area]\nenable-wide-area=no
[publish]\npublish-hinfo=no\npublish-workstation=no\n"""


class Harness:
    def __init__(self, args):
        self.args = args
        self.tmp = tempfile.mkdtemp(prefix="vemdo-test-")
        self.children = []
        cleared = ("DISPLAY", "WAYLAND_DISPLAY", "LANGUAGE", "XDG_CURRENT_DESKTOP", "QT_QPA_PLATFORM", "HOME")
        self.env = {k: v for k, v in os.environ.items() if k not in cleared and not k.startswith(("LC_", "XDG_"))}
        # A session bus of their own or none, and no accessibility bus: Qt and GTK would otherwise launch
        # daemons of their own that outlive the test.
        self.env.update(LANG="C.UTF-8", DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent", NO_AT_BRIDGE="1",
                        XDG_RUNTIME_DIR=self.path("runtime", mode=0o700))

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace):
        if error is not None:
            traceback.print_exception(kind, error, trace)
            for child in self.children:
                print(child.describe(), flush=True)
        for child in reversed(self.children):
            child.stop(signal.SIGKILL)
        shutil.rmtree(self.tmp, ignore_errors=True)
        if error is not None:
            print("FAIL", flush=True)
            sys.exit(1)

    def path(self, *parts, mode=None):
        """A path in the test's directory; with mode, a directory made there."""
        path = os.path.join(self.tmp, *parts)
        if mode is not None:
            os.makedirs(path, mode=mode, exist_ok=True)
        return path

    def spawn(self, argv, env=None, cls=Process, **kwargs):
        child = cls(argv, env or self.env, **kwargs)
        self.children.append(child)
        return child

    def forget(self, child, sig=signal.SIGTERM):
        child.stop(sig)
        self.children.remove(child)

    @contextlib.contextmanager
    def flood(self, *args):
        """The test script run again with these arguments, as a flood that prints "flooding" once it runs and
        "opened ..." when stopped, for as long as the block runs; it must last as long."""
        flooder = self.spawn([sys.executable, os.path.abspath(sys.argv[0]), *map(str, args)])
        flooder.wait_line("flooding")
        yield
        assert flooder.popen.poll() is None, "the flood ended before the block"
        self.forget(flooder)
        print(flooder.wait_line(r"opened .*"), flush=True)

    def run(self, argv, env=None, timeout=60, **kwargs):
        return subprocess.run(argv, env=env or self.env, capture_output=True, text=True, timeout=timeout,
                              preexec_fn=_die_with_parent, **kwargs)

    def bus(self, name):
        """A D-Bus daemon that every user may use (mutter runs as nobody, its clients as root); returns its
        address. The one named "system" listens where the system bus is looked for."""
        listen = "/run/dbus/system_bus_socket" if name == "system" else self.path(f"{name}-bus")
        with open(self.path(f"{name}-bus.conf"), "w") as f:
            f.write(_DBUS_CONFIG.replace("/run/dbus/system_bus_socket", listen))
        bus = self.spawn(["dbus-daemon", f"--config-file={self.path(name + '-bus.conf')}", "--nofork",
                          "--print-address"])
        return bus.wait_line(r"unix:.*")

    def session_bus(self):
        bus = self.spawn(["dbus-daemon", "--session", "--nofork", "--print-address",
                          f"--address=unix:path={self.path('session-bus')}"])
        self.env["DBUS_SESSION_BUS_ADDRESS"] = bus.wait_line(r"unix:.*")

    def avahi(self):
        with open(self.path("avahi.conf"), "w") as f:
            f.write(_AVAHI_CONFIG)
        # A daemon killed before leaves its pid file, which would stop the next one.
        for leftover in ("pid", "socket"):
            if os.path.exists(f"/run/avahi-daemon/{leftover}"):
                os.unlink(f"/run/avahi-daemon/{leftover}")
        avahi = self.spawn(["avahi-daemon", "-f", self.path("avahi.conf"), "--no-drop-root", "--no-chroot",
                            "--no-rlimits", "--no-proc-title"])
        avahi.wait_line(r"Server startup complete\..*", "err", timeout=20)
        return avahi

    def browse(self):
        """(name, port) of every resolved _vemdo._tcp service."""
        lines = self.run(["avahi-browse", "-rtp", "_vemdo._tcp"]).stdout.splitlines()
        unescape = lambda t: re.sub(r"\\(\d{3})", lambda m: chr(int(m.group(1))), t)
        return {(unescape(f[3]), int(f[8])) for f in (l.split(";") for l in lines) if f[0] == "=" and len(f) > 8}

    def _display(self, argv, env=None):
        """An X server on the first free display number, which DISPLAY then names."""
        read_end, write_end = os.pipe()
        self.spawn([*argv, "-displayfd", str(write_end), "-noreset"], env=env, pass_fds=(write_end,))
        os.close(write_end)
        assert select.select([read_end], [], [], 20)[0], "the X server did not start"
        with os.fdopen(read_end) as numbers:
            self.env["DISPLAY"] = ":" + numbers.readline().strip()
        assert self.env["DISPLAY"] != ":", "the X server did not start"

    def xvfb(self, *extra):
        self._display(["Xvfb", "-nolisten", "tcp", "-screen", "0", "1280x800x24", *extra])

    def sway(self, *outputs):
        """Headless sway with outputs (width, height) side by side, HEADLESS-1 on the left; a window with the
        title "right" opens on the second. It runs as nobody (it refuses root) in a runtime directory of
        that user; WAYLAND_DISPLAY names its socket for our clients."""
        runtime, left = self._runtime_of_nobody("sway"), 0
        lines = ["xwayland disable", "default_border none", "focus_follows_mouse no", "mouse_warping none",
                 'for_window [title="right"] move container to output HEADLESS-2']
        for number, (width, height) in enumerate(outputs, 1):
            lines.append(f"output HEADLESS-{number} resolution {width}x{height} position {left} 0")
            left += width
        with open(self.path("sway.conf"), "w") as f:
            f.write("\n".join(lines))
        os.chmod(self.path("sway.conf"), 0o644)
        self.compositor_env = dict(PATH=os.environ["PATH"], HOME=runtime, XDG_RUNTIME_DIR=runtime,
                                   WLR_BACKENDS="headless", WLR_LIBINPUT_NO_DEVICES="1", WLR_RENDERER="pixman",
                                   WLR_HEADLESS_OUTPUTS=str(len(outputs)))
        return self._wayland(_as_nobody(["sway", "-c", self.path("sway.conf")]), runtime, "wayland-1")

    def _runtime_of_nobody(self, name):
        os.chmod(self.tmp, 0o711)
        runtime = self.path(name, mode=0o700)
        os.chown(runtime, _NOBODY.pw_uid, _NOBODY.pw_gid)
        return runtime

    def mutter(self, pipewire):
        """Headless mutter on a 1280x720 virtual monitor, as nobody, with a bus of its own that
        DBUS_SESSION_BUS_ADDRESS then names; with pipewire, a PipeWire daemon beside it, without which mutter
        cannot cast the screen."""
        runtime = self._runtime_of_nobody("mutter")
        self.mutter_bus = self.env["DBUS_SESSION_BUS_ADDRESS"] = self.bus("mutter")
        self.compositor_env = dict(PATH=os.environ["PATH"], HOME=runtime, XDG_RUNTIME_DIR=runtime,
                                   DBUS_SESSION_BUS_ADDRESS=self.mutter_bus)
        if pipewire:
            self.spawn(_as_nobody(["pipewire"]), env=self.compositor_env)
            wait_for(lambda: os.path.exists(os.path.join(runtime, "pipewire-0")), "PipeWire's socket")
        self._wayland(_as_nobody(["mutter", "--headless", "--wayland", "--no-x11", "--virtual-monitor", "1280x720",
                                  "--wayland-display", "wayland-m"]), runtime, "wayland-m")
        owner = ["dbus-send", f"--bus={self.mutter_bus}", "--print-reply", "--dest=org.freedesktop.DBus", "/",
                 "org.freedesktop.DBus.NameHasOwner", "string:org.gnome.Mutter.RemoteDesktop"]
        wait_for(lambda: "boolean true" in self.run(owner).stdout, "mutter's remote desktop on its bus")

    def portal(self, version, answer="grant", bus=None):
        """The stand-in for the desktop portal (tests/support/portal_stand_in.py) of that interface version,
        answering "grant" or "refuse", forwarding input to mutter. It serves on the bus given, else on a bus of
        its own that DBUS_SESSION_BUS_ADDRESS then names. Returns a function that reads the calls it got."""
        self.portals = getattr(self, "portals", 0) + 1
        log = self.path(f"portal-{self.portals}.log")
        if bus is None:
            bus = self.env["DBUS_SESSION_BUS_ADDRESS"] = self.bus(f"portal-{self.portals}")
        stand_in = os.path.join(os.path.dirname(os.path.abspath(__file__)), "portal_stand_in.py")
        # Debian's Python, which has dbus-python and GLib.
        self.spawn(["/usr/bin/python3", stand_in, "--bus", bus, "--mutter-bus", self.mutter_bus, "--version",
                    str(version), "--answer", answer, "--log", log]).wait_line("ready")

        def calls():
            if not os.path.exists(log):
                return []
            with open(log) as f:
                return [json.loads(line) for line in f]
        return calls

    def kwin(self, data_dir):
        """KWin on a 1280x720 virtual output with a session bus of its own. Fake input goes to programs whose
        desktop file under data_dir asks for it. The packaged binary carries a file capability that cannot
        be granted here; a copy under the same name runs without it."""
        binary = os.path.join(self.path("kwin", mode=0o755), "kwin_wayland")
        shutil.copy(shutil.which("kwin_wayland"), binary)
        self.session_bus()
        self.compositor_env = dict(self.env, HOME=self.path("kwin"), XDG_DATA_DIRS=f"{data_dir}:/usr/share",
                                   KWIN_COMPOSE="Q")
        return self._wayland([binary, "--virtual", "--width", "1280", "--height", "720", "--no-lockscreen", "--socket",
                       "kwin"], self.env["XDG_RUNTIME_DIR"], "kwin")

    def _wayland(self, argv, runtime, socket):
        compositor = self.spawn(argv, env=self.compositor_env)
        self.env["WAYLAND_DISPLAY"] = os.path.join(runtime, socket)
        wait_for(lambda: compositor.popen.poll() is not None or os.path.exists(self.env["WAYLAND_DISPLAY"]),
                 "the compositor's socket", 30)
        assert compositor.popen.poll() is None, "the compositor ended at start"
        return compositor

    def xwayland(self):
        """Rootless Xwayland on the compositor, as nobody; DISPLAY names it, open to our clients."""
        env = dict(self.compositor_env, WAYLAND_DISPLAY=self.env["WAYLAND_DISPLAY"])
        self._display(_as_nobody(["Xwayland", "-rootless"]), env)
        self.run(_as_nobody(["xhost", "+SI:localuser:root"]), env=dict(env, DISPLAY=self.env["DISPLAY"]), check=True)

    def recorder(self, *args, cls=Recorder):
        recorder = self.spawn([getattr(self.args, cls.program), *args], cls=cls)
        recorder.wait_line("ready")
        return recorder

    def config_home(self, name):
        return self.path(name, "config", mode=0o700)

    def stored_code(self, name="server"):
        try:
            with open(os.path.join(self.config_home(name), "vemdo-trackpad", "defaults.json")) as f:
                return json.loads(json.load(f)["com.vemdo.pairingCode"])["code"]
        except (OSError, ValueError, KeyError):
            return None

    def server_env(self, name, **env):
        """The environment of a user with their own directories, kept under the same name; None unsets."""
        env = {**self.env, "XDG_CONFIG_HOME": self.config_home(name), "HOME": self.path(name), **env}
        return {k: v for k, v in env.items() if v is not None}

    def server(self, name="server", *args, headless=True, prefix=(), **env):
        """The real server as the given user, run through prefix (a command such as prlimit that execs it)."""
        argv = [*prefix, self.args.server, *(["--headless"] if headless else []), *args]
        return self.spawn(argv, env=self.server_env(name, **env), cls=Server)

    def client(self, name, *args, stdin=None):
        """vemdo-client as a phone with its own state; fails the test unless it exits with 0."""
        env = {**self.env, "XDG_CONFIG_HOME": self.config_home(name)}
        result = self.run([self.args.client, *args], env=env, input=stdin)
        print(f"$ vemdo-client {' '.join(args)}\n{result.stdout}{result.stderr}", end="", flush=True)
        assert result.returncode == 0, result
        return result.stdout.splitlines()
