# SPDX-License-Identifier: MIT
"""A private network for tests that must announce, browse and talk like real hosts.

A test script calls enter_private_network() first. That re-runs the script inside new network and mount
namespaces (`unshare --net --mount`), where only a loopback interface exists; /run is replaced by a tmpfs so
that the system D-Bus socket and the Avahi daemon's files are our own. Multicast therefore never reaches
the machine's real interfaces, and whatever the test starts there (D-Bus, Avahi, Xvfb, the server) dies
with the namespace.

Inside, Sandbox starts the daemons on demand and guarantees cleanup: every child gets SIGKILL when the
test process dies (PR_SET_PDEATHSIG), and Sandbox.close() kills them by PID in reverse order otherwise.
A second host lives in a further network namespace joined by a veth pair:
host 1 is 10.77.0.1/24 on veth0, host 2 is 10.77.0.2/24 on veth1.
"""

import ctypes
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
INSIDE_MARK = "VEMDO_SANDBOX_INSIDE"
USERNS_MARK = "VEMDO_SANDBOX_USERNS"
HOST1_ADDRESS = "10.77.0.1"
HOST2_ADDRESS = "10.77.0.2"

_PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)


def _die_with_parent_only():
    # Runs in the child between fork and exec: if the test process is killed outright (a CTest timeout),
    # its children follow it instead of lingering.
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


def _die_with_parent():
    _die_with_parent_only()
    # Its own process group, so that a signal meant for the test does not hit a daemon mid-cleanup.
    os.setpgrp()


def skip(reason):
    print(f"SKIP: {reason}", flush=True)
    sys.exit(SKIP)


def require_tools(*names):
    missing = [n for n in names if shutil.which(n) is None]
    if missing:
        skip("missing tools: " + ", ".join(missing) + " (scripts/install-deps.sh installs them)")


def _links():
    out = subprocess.run(["ip", "-o", "link"], capture_output=True, text=True, check=True).stdout
    return [line.split(":")[1].strip().split("@")[0] for line in out.splitlines() if ":" in line]


def enter_private_network():
    """Re-executes the calling script in private network and mount namespaces; returns once inside."""
    if os.environ.get(INSIDE_MARK) == "1":
        # Refuse to announce anything if, for whatever reason, we still see real interfaces.
        links = _links()
        if links != ["lo"]:
            print(f"FAIL: not in a private network namespace (links: {links})", flush=True)
            sys.exit(1)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "vemdo-run", "/run"], check=True)
        for d in ("/run/dbus", "/run/avahi-daemon", "/run/user"):
            os.makedirs(d, exist_ok=True)
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        return
    require_tools("unshare", "ip", "mount")
    command = ["unshare", "--net", "--mount", "--propagation", "private", "--fork", "--kill-child"]
    if os.geteuid() != 0:
        # Unprivileged: a user namespace in which we are root is enough to own a network namespace.
        command.insert(1, "--map-root-user")
    probe = subprocess.run(command + ["true"], capture_output=True, text=True)
    if probe.returncode != 0:
        skip("cannot create network namespaces here: " + probe.stderr.strip())
    env = dict(os.environ, **{INSIDE_MARK: "1", USERNS_MARK: "1" if os.geteuid() != 0 else "0"})
    # unshare kills the re-run script when it dies itself (--kill-child), and it dies with us.
    result = subprocess.run(command + [sys.executable, *sys.argv], env=env, preexec_fn=_die_with_parent_only)
    sys.exit(result.returncode)


def _write(path, text, mode=0o644):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    os.chmod(path, mode)


_DBUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
  </policy>
</busconfig>
"""

_AVAHI_CONFIG = """[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces={interfaces}
ratelimit-interval-usec=1000000
ratelimit-burst=1000
enable-dbus=yes
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
[reflector]
[rlimits]
"""


class StatusBlock:
    """One block of the server's headless status output."""

    def __init__(self, lines):
        self.lines = lines
        self.code = None
        self.running = None
        self.clients = None
        self.port = None
        for line in lines:
            m = re.search(r"Pairing Code:\s*(\d{6})", line)
            if m:
                self.code = m.group(1)
            if "Server Running" in line:
                self.running = True
            elif "Server Stopped" in line:
                self.running = False
            if "Waiting for Device" in line:
                self.clients = 0
            m = re.search(r"(\d+) Device\(s\) Connected", line)
            if m:
                self.clients = int(m.group(1))
            m = re.search(r"Listening on port (\d+)", line)
            if m:
                self.port = int(m.group(1))

    def __repr__(self):
        return f"StatusBlock(code={self.code}, running={self.running}, clients={self.clients}, port={self.port})"


class Process:
    """A child process whose output is collected line by line on background threads."""

    def __init__(self, name, argv, env, cwd=None, stdin=subprocess.DEVNULL, pass_fds=()):
        self.name = name
        self.argv = argv
        self.popen = subprocess.Popen(argv, env=env, cwd=cwd, stdin=stdin, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, preexec_fn=_die_with_parent, pass_fds=pass_fds)
        self.pid = self.popen.pid
        self.stdout_lines = []
        self.stderr_lines = []
        self.cond = threading.Condition()
        self._readers = [threading.Thread(target=self._read, args=(self.popen.stdout, self.stdout_lines), daemon=True),
                         threading.Thread(target=self._read, args=(self.popen.stderr, self.stderr_lines), daemon=True)]
        for r in self._readers:
            r.start()

    def _read(self, stream, into):
        for raw in iter(stream.readline, b""):
            line = raw.decode("utf-8", "replace").rstrip("\n")
            with self.cond:
                into.append(line)
                self._line_added(stream is self.popen.stdout, line)
                self.cond.notify_all()
        with self.cond:
            self.cond.notify_all()

    def _line_added(self, is_stdout, line):
        pass

    def wait_until(self, predicate, timeout, what):
        """Waits until predicate() (called under the lock) is true; raises with the output otherwise."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                result = predicate()
                if result:
                    return result
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise AssertionError(f"{self.name}: timed out waiting for {what}\n{self.describe()}")
                self.cond.wait(min(remaining, 0.2))

    def alive(self):
        return self.popen.poll() is None

    def describe(self):
        tail = lambda lines: "\n    ".join(lines[-40:])
        return (f"--- {self.name} (pid {self.pid}, exit {self.popen.poll()}) stdout:\n    {tail(self.stdout_lines)}\n"
                f"--- {self.name} stderr:\n    {tail(self.stderr_lines)}")

    def stop(self, sig=signal.SIGTERM, timeout=5):
        if self.popen.poll() is None:
            try:
                os.kill(self.pid, sig)
                self.popen.wait(timeout=timeout)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                pass
        if self.popen.poll() is None:
            try:
                os.kill(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.popen.wait()
        for r in self._readers:
            r.join(timeout=2)


class Server(Process):
    """The real `vemdo-trackpad --headless`, with its status blocks parsed as they are printed."""

    def __init__(self, *args, **kwargs):
        self.blocks = []
        self._current = []
        super().__init__(*args, **kwargs)

    def _line_added(self, is_stdout, line):
        if not is_stdout:
            return
        if line.strip() == "":
            if self._current:
                self.blocks.append(StatusBlock(self._current))
                self._current = []
        else:
            self._current.append(line)

    def latest(self):
        with self.cond:
            return self.blocks[-1] if self.blocks else None

    def wait_for_status(self, predicate, timeout=15, what="a status block"):
        def check():
            if self.blocks and predicate(self.blocks[-1]):
                return self.blocks[-1]
            if self.popen.poll() is not None:
                raise AssertionError(f"{self.name} exited while waiting for {what}\n{self.describe()}")
            return None

        return self.wait_until(check, timeout, what)

    def wait_listening(self, timeout=15):
        return self.wait_for_status(lambda b: b.port is not None and b.running and b.code is not None, timeout,
                                    "the listening port and pairing code")

    def wait_clients(self, count, timeout=15):
        return self.wait_for_status(lambda b: b.clients == count, timeout, f"{count} connected device(s)")


class Sandbox:
    """Daemons and hosts inside the private network. Use as a context manager; close() always cleans up."""

    def __init__(self, server_binary=None, second_host=False):
        if os.environ.get(INSIDE_MARK) != "1":
            raise RuntimeError("call enter_private_network() first")
        self.server_binary = server_binary
        self.tmp = tempfile.mkdtemp(prefix="vemdo-sandbox-")
        os.chmod(self.tmp, 0o700)
        self.processes = []
        self.display = None
        self.avahi = None
        self.dbus = None
        self.host2_holder = None
        self.interfaces = ["lo"]
        if second_host:
            self._make_second_host()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        for p in reversed(self.processes):
            p.stop(timeout=3)
        self.processes = []
        shutil.rmtree(self.tmp, ignore_errors=True)

    def describe(self):
        return "\n".join(p.describe() for p in self.processes)

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def base_env(self):
        env = dict(os.environ)
        env.pop(INSIDE_MARK, None)
        env.pop(USERNS_MARK, None)
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        env["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=/run/dbus/system_bus_socket"
        env["LANG"] = env["LC_ALL"] = "C.UTF-8"
        if self.display is not None:
            env["DISPLAY"] = self.display
        return env

    def _spawn(self, cls, name, argv, env=None, **kwargs):
        p = cls(name, argv, env if env is not None else self.base_env(), **kwargs)
        self.processes.append(p)
        return p

    def spawn(self, name, argv, env=None, host=1, **kwargs):
        return self._spawn(Process, name, self.on_host(host, argv), env, **kwargs)

    def run(self, argv, host=1, timeout=30, env=None, input=None):
        return subprocess.run(self.on_host(host, argv), env=env if env is not None else self.base_env(),
                              capture_output=True, text=True, timeout=timeout, input=input,
                              preexec_fn=_die_with_parent)

    def on_host(self, host, argv):
        if host == 1:
            return list(argv)
        if self.host2_holder is None:
            raise RuntimeError("this sandbox has no second host")
        pid = self.host2_holder.pid
        return ["nsenter", f"--net=/proc/{pid}/ns/net", f"--mount=/proc/{pid}/ns/mnt", "--", *argv]

    def host_path(self, host, path):
        """Where a path of the given host's private /run can be read from here."""
        return path if host == 1 else f"/proc/{self.host2_holder.pid}/root{path}"

    # -- second host -------------------------------------------------------------------------------------

    def _make_second_host(self):
        require_tools("nsenter", "sleep")
        own = [os.readlink(f"/proc/self/ns/{kind}") for kind in ("net", "mnt")]
        # Its own mount namespace too, so that its D-Bus and Avahi files do not meet ours.
        self.host2_holder = self._spawn(Process, "host2", ["unshare", "--net", "--mount", "--propagation", "private",
                                                           "--", "sleep", "infinity"])
        ns = f"/proc/{self.host2_holder.pid}/ns/net"
        deadline = time.monotonic() + 10
        while True:
            try:
                theirs = [os.readlink(f"/proc/{self.host2_holder.pid}/ns/{kind}") for kind in ("net", "mnt")]
                if all(a != b for a, b in zip(own, theirs)):
                    break
            except OSError:
                pass
            if time.monotonic() > deadline:
                raise AssertionError("the second host's namespace did not appear")
            time.sleep(0.02)
        cmds = [
            ["ip", "link", "add", "veth0", "type", "veth", "peer", "name", "veth1", "netns",
             str(self.host2_holder.pid)],
            ["ip", "addr", "add", f"{HOST1_ADDRESS}/24", "dev", "veth0"],
            ["ip", "link", "set", "veth0", "up"],
            ["nsenter", f"--net={ns}", "--", "ip", "link", "set", "lo", "up"],
            ["nsenter", f"--net={ns}", "--", "ip", "addr", "add", f"{HOST2_ADDRESS}/24", "dev", "veth1"],
            ["nsenter", f"--net={ns}", "--", "ip", "link", "set", "veth1", "up"],
            self.on_host(2, ["mount", "-t", "tmpfs", "-o", "mode=0755", "vemdo-run-2", "/run"]),
            self.on_host(2, ["mkdir", "-p", "/run/dbus", "/run/avahi-daemon", "/run/user"]),
        ]
        for c in cmds:
            subprocess.run(c, check=True, capture_output=True)
        self.interfaces.append("veth0")
        self.interfaces2 = ["lo", "veth1"]
        self.dbus2 = None
        self.avahi2 = None
        # The link needs a moment before the first packet passes.
        deadline = time.monotonic() + 10
        while not self._link_up():
            if time.monotonic() > deadline:
                raise AssertionError("the veth link between the hosts did not come up")
            time.sleep(0.05)

    def _link_up(self):
        out = subprocess.run(["ip", "-o", "link", "show", "veth0"], capture_output=True, text=True).stdout
        return "LOWER_UP" in out and "state UP" in out

    # -- daemons -----------------------------------------------------------------------------------------

    def start_dbus(self, host=1):
        require_tools("dbus-daemon")
        config = self.path(f"dbus-system-{host}.conf")
        _write(config, _DBUS_CONFIG)
        dbus = self.spawn(f"dbus-daemon (host {host})",
                          ["dbus-daemon", f"--config-file={config}", "--nofork", "--nopidfile", "--print-address"],
                          host=host)
        dbus.wait_until(lambda: dbus.stdout_lines or dbus.popen.poll() is not None, 10, "the system bus address")
        if not os.path.exists(self.host_path(host, "/run/dbus/system_bus_socket")):
            raise AssertionError("the private system bus did not start\n" + dbus.describe())
        if host == 1:
            self.dbus = dbus
        else:
            self.dbus2 = dbus
        return dbus

    def start_avahi(self, host=1):
        require_tools("avahi-daemon")
        config = self.path(f"avahi-daemon-{host}.conf")
        interfaces = self.interfaces if host == 1 else self.interfaces2
        _write(config, _AVAHI_CONFIG.format(interfaces=",".join(interfaces)))
        avahi = self.spawn(f"avahi-daemon (host {host})",
                           ["avahi-daemon", "-f", config, "--no-drop-root", "--no-chroot", "--no-rlimits",
                            "--no-proc-title"], host=host)
        avahi.wait_until(
            lambda: any("Server startup complete" in l for l in avahi.stderr_lines) or avahi.popen.poll() is not None,
            20, "avahi-daemon to start")
        if not avahi.alive():
            if os.environ.get(USERNS_MARK) == "1":
                # avahi-daemon insists on real root; everything else here works in a user namespace.
                skip("avahi-daemon needs root (run the tests as root, as CI does)\n" + avahi.describe())
            raise AssertionError("avahi-daemon did not start\n" + avahi.describe())
        if host == 1:
            self.avahi = avahi
        else:
            self.avahi2 = avahi
        return avahi

    def start_discovery(self, host=1):
        """The private system bus and the Avahi daemon on it: what DNS-SD needs on a host."""
        self.start_dbus(host)
        self.start_avahi(host)

    def start_desktop(self):
        """Discovery plus an X server: everything the real server meets on a user's machine."""
        self.start_discovery()
        self.start_xvfb()

    def stop_avahi(self):
        if self.avahi is not None:
            self.avahi.stop()
            self.processes.remove(self.avahi)
            self.avahi = None
        # A daemon killed hard leaves its pid file, which makes the next one refuse to start.
        for leftover in ("/run/avahi-daemon/pid", "/run/avahi-daemon/socket"):
            try:
                os.unlink(leftover)
            except FileNotFoundError:
                pass

    def start_xvfb(self, size="1920x1080"):
        require_tools("Xvfb")
        read_fd, write_fd = os.pipe()
        xvfb = Process("Xvfb", ["Xvfb", "-displayfd", str(write_fd), "-noreset", "-nolisten", "tcp", "-screen",
                                "0", f"{size}x24"], self.base_env(), pass_fds=(write_fd,))
        os.close(write_fd)
        self.processes.append(xvfb)
        number = b""
        deadline = time.monotonic() + 20
        while not number.endswith(b"\n"):
            if time.monotonic() > deadline or not xvfb.alive():
                os.close(read_fd)
                raise AssertionError("Xvfb did not start\n" + xvfb.describe())
            chunk = os.read(read_fd, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_fd)
        self.display = ":" + number.decode().strip()
        return self.display

    def server(self, name="server", config_home=None, args=(), env_overrides=None, host=1, binary=None,
               headless=True):
        """Starts the real server with its own per-user directories (kept across restarts by name)."""
        binary = binary or self.server_binary
        config_home = config_home or self.path(name, "config")
        runtime = self.path(name, "runtime")
        os.makedirs(config_home, mode=0o700, exist_ok=True)
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        env = self.base_env()
        env["XDG_CONFIG_HOME"] = config_home
        env["XDG_RUNTIME_DIR"] = runtime
        env["HOME"] = self.path(name)
        if env_overrides:
            for k, v in env_overrides.items():
                if v is None:
                    env.pop(k, None)
                else:
                    env[k] = v
        argv = [binary, *(["--headless"] if headless else []), *args]
        return self._spawn(Server, name, self.on_host(host, argv), env)

    def forget(self, process):
        """Stops a process started here and drops it from the cleanup list."""
        process.stop()
        if process in self.processes:
            self.processes.remove(process)

    def browse(self, service_type="_vemdo._tcp", host=1, timeout=20):
        """Parsed `avahi-browse -rtp` lines of resolved services: (name, address, port) tuples."""
        out = self.run(["avahi-browse", "-rtp", service_type], host=host, timeout=timeout)
        found = []
        for line in out.stdout.splitlines():
            fields = line.split(";")
            if len(fields) >= 9 and fields[0] == "=":
                name = _unescape(fields[3])
                found.append((name, fields[7], int(fields[8])))
        return found

    def wait_for_service(self, predicate, timeout=20, service_type="_vemdo._tcp", host=1):
        deadline = time.monotonic() + timeout
        last = []
        while time.monotonic() < deadline:
            last = self.browse(service_type, host=host)
            if predicate(last):
                return last
            time.sleep(0.5)
        raise AssertionError(f"no matching DNS-SD service within {timeout}s; last browse: {last}\n"
                             + self.describe())


def _unescape(text):
    # avahi-browse -p escapes dots, semicolons and non-printables as \DDD (decimal).
    return re.sub(r"\\(\d{3}|.)", lambda m: chr(int(m.group(1))) if m.group(1).isdigit() else m.group(1), text)


class Checks:
    """A tiny runner: each check is a function; all run, failures are reported together."""

    def __init__(self):
        self.failures = []

    def run(self, name, func, *args):
        print(f"=== {name}", flush=True)
        try:
            func(*args)
            print(f"PASS {name}", flush=True)
        except Exception as e:  # report and go on with the next check
            import traceback
            traceback.print_exc()
            print(f"FAIL {name}: {e}", flush=True)
            self.failures.append(name)

    def finish(self):
        if self.failures:
            print("FAILED: " + ", ".join(self.failures), flush=True)
            sys.exit(1)
        print("all checks passed", flush=True)
        sys.exit(0)
