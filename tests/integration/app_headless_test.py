#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The real vemdo-trackpad without a display, in a private network namespace.

Prints its status block with a six-digit code and the port it listens on, honours --port, speaks Turkish
when asked, refuses a second instance on the same store, answers --help/--version/bad arguments with the
right exit codes, and runs from an installed prefix with the installed resources.
"""

import argparse
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77

BLOCK_PATTERNS = [
    r"^Vemdo Trackpad$",
    r"^.+: (\d{6}|------)$",
    r"^\S+$",
    r"^.+$",
    r"^.+$",
    r"^\S+$",
    r"^.+$",
    r"^.+$",
    r"^(Listening on port \d+|Not listening)$",
    r"^Input backend: (X11|wlroots|KWin|Wayland)( \(input not possible\))?$",
]


def namespace_prefix():
    for prefix in (["unshare", "--net"], ["unshare", "--net", "--map-root-user"]):
        if shutil.which(prefix[0]) and subprocess.run(prefix + ["true"], capture_output=True).returncode == 0:
            return prefix + ["sh", "-c", 'ip link set lo up 2>/dev/null; exec "$0" "$@"']
    return None


class Program:
    """One run of the program with its output read line by line as it arrives."""

    def __init__(self, command, env):
        self.process = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True, encoding="utf-8", errors="replace")
        self.lines = queue.Queue()
        self.stdout = []
        self.stderr = []
        threading.Thread(target=self._pump, args=(self.process.stdout, self.stdout, True), daemon=True).start()
        threading.Thread(target=self._pump, args=(self.process.stderr, self.stderr, False), daemon=True).start()

    def _pump(self, stream, store, feed):
        for line in stream:
            line = line.rstrip("\n")
            store.append(line)
            if feed:
                self.lines.put(line)

    def next_block(self, deadline):
        block = []
        while time.monotonic() < deadline:
            try:
                line = self.lines.get(timeout=0.2)
            except queue.Empty:
                if self.process.poll() is not None and self.lines.empty():
                    raise AssertionError(f"program ended ({self.process.returncode}): {self.stderr}")
                continue
            if line == "":
                return block
            block.append(line)
        raise AssertionError(f"no complete block in time; stdout so far {self.stdout}, stderr {self.stderr}")

    def wait_block(self, accept, timeout=20):
        deadline = time.monotonic() + timeout
        while True:
            block = self.next_block(deadline)
            check_block_shape(block)
            if accept(block):
                return block

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def check_block_shape(block):
    assert len(block) == len(BLOCK_PATTERNS), f"block of {len(block)} lines: {block}"
    for line, pattern in zip(block, BLOCK_PATTERNS):
        assert re.match(pattern, line), f"{line!r} does not match {pattern!r} in {block}"


def ready(block):
    return re.match(r"^.+: \d{6}$", block[1]) and block[8].startswith("Listening on port ")


def base_env(config_home, **extra):
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG")}
    env.update(XDG_CONFIG_HOME=config_home, DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent", LANG="C.UTF-8")
    env.update(extra)
    return env


def case_block_and_second_instance(args, prefix, tmp):
    config = os.path.join(tmp, "config-a")
    first = Program(prefix + [args.program], base_env(config))
    try:
        block = first.wait_block(ready)
        assert block[0] == "Vemdo Trackpad"
        assert re.match(r"^Pairing Code: [1-9]\d{5}$", block[1]), block
        assert block[2:4] == ["STATUS", "Server Running"], block
        assert block[4] == "Waiting for Device", block
        assert block[5] == "SECURITY", block
        assert block[6] in ("Accessibility Permission Granted", "Accessibility Permission Required"), block
        assert block[7] == "iOS device must be on same Wi-Fi network", block
        port = int(block[8].split()[-1])
        assert 0 < port < 65536

        second = subprocess.run(prefix + [args.program, "--headless"], env=base_env(config),
                                capture_output=True, text=True, timeout=20)
        assert second.returncode == 1, (second.returncode, second.stdout, second.stderr)
        assert "already running" in second.stderr, second.stderr
        assert second.stdout == "", second.stdout
        # The refused start changed nothing for the first one.
        assert first.process.poll() is None
    finally:
        first.stop()
    # Once the first has gone, a new start is allowed and keeps the stored code.
    again = Program(prefix + [args.program, "--headless"], base_env(config))
    try:
        block2 = again.wait_block(ready)
        assert block2[1] == block[1], (block, block2)
    finally:
        again.stop()


def case_fixed_port_and_turkish(args, prefix, tmp):
    config = os.path.join(tmp, "config-b")
    program = Program(prefix + [args.program, "--headless", "--port", "47123"],
                      base_env(config, LANG="tr_TR.UTF-8"))
    try:
        block = program.wait_block(ready)
        assert block[8] == "Listening on port 47123", block
        assert re.match(r"^Eşleştirme Kodu: \d{6}$", block[1]), block
        assert block[0] == "Vemdo Trackpad"
        assert block[2:5] == ["DURUM", "Sunucu Çalışıyor", "Cihaz Bekleniyor"], block
    finally:
        program.stop()


def case_unreachable_display(args, prefix, tmp):
    # A display named but not there: the terminal rendering, with a word on why.
    program = Program(prefix + [args.program], base_env(os.path.join(tmp, "config-e"), DISPLAY=":977"))
    try:
        program.wait_block(ready)
        assert any("cannot open the X display" in line for line in program.stderr), program.stderr
    finally:
        program.stop()


def case_arguments(args, prefix, tmp):
    env = base_env(os.path.join(tmp, "config-c"))
    result = subprocess.run([args.program, "--help"], env=env, capture_output=True, text=True, timeout=20)
    assert result.returncode == 0 and "Usage: vemdo-trackpad" in result.stdout, result
    result = subprocess.run([args.program, "--version"], env=env, capture_output=True, text=True, timeout=20)
    assert result.returncode == 0 and re.match(r"^vemdo-trackpad \d+\.\d+\.\d+\n$", result.stdout), result
    for bad in (["--bogus"], ["--port"], ["--port", "0"], ["--port", "70000"], ["--port", "http"], ["extra"]):
        result = subprocess.run([args.program] + bad, env=env, capture_output=True, text=True, timeout=20)
        assert result.returncode == 2, (bad, result)
        assert result.stderr.startswith("vemdo-trackpad: "), (bad, result.stderr)
        assert result.stdout == "", (bad, result.stdout)
    # Nothing was started, so nothing was stored.
    assert not os.path.exists(os.path.join(tmp, "config-c", "vemdo-trackpad", "defaults.json"))


def case_installed_prefix(args, prefix, tmp):
    install = os.path.join(tmp, "prefix")
    result = subprocess.run(["cmake", "--install", args.build_dir, "--prefix", install],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    for path in ("bin/vemdo-trackpad", "share/applications/vemdo-trackpad.desktop",
                 "share/icons/hicolor/scalable/apps/vemdo-trackpad.svg",
                 "share/vemdo-trackpad/strings/en.strings", "share/vemdo-trackpad/strings/tr.strings",
                 "share/vemdo-trackpad/help/input.html", "share/vemdo-trackpad/icons/vemdo-trackpad.svg"):
        assert os.path.isfile(os.path.join(install, path)), path
    with open(os.path.join(install, "share/applications/vemdo-trackpad.desktop"), encoding="utf-8") as f:
        desktop = f.read()
    assert f"\nExec={install}/bin/vemdo-trackpad\n" in desktop, desktop
    # A caption only the installed table has proves which table the installed program reads.
    table = os.path.join(install, "share/vemdo-trackpad/strings/tr.strings")
    with open(table, encoding="utf-8") as f:
        text = f.read()
    text = re.sub(r'"menu.pairing_code" = "[^"]*";', '"menu.pairing_code" = "Kurulu Kod";', text)
    with open(table, "w", encoding="utf-8") as f:
        f.write(text)
    program = Program(prefix + [os.path.join(install, "bin/vemdo-trackpad"), "--headless"],
                      base_env(os.path.join(tmp, "config-d"), LANGUAGE="tr", LANG="en_US.UTF-8"))
    try:
        block = program.wait_block(ready)
        assert re.match(r"^Kurulu Kod: \d{6}$", block[1]), block
    finally:
        program.stop()


CASES = [case_arguments, case_block_and_second_instance, case_fixed_port_and_turkish, case_unreachable_display,
         case_installed_prefix]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--build-dir", required=True)
    args = parser.parse_args()
    prefix = namespace_prefix()
    if prefix is None:
        print("SKIP: cannot make a private network namespace (unshare --net)")
        return SKIP
    failures = 0
    for case in CASES:
        tmp = tempfile.mkdtemp(prefix="vemdo-headless-")
        try:
            case(args, prefix, tmp)
            print(f"PASS {case.__name__}")
        except AssertionError as error:
            failures += 1
            print(f"FAIL {case.__name__}: {error}")
        finally:
            shutil.rmtree(tmp, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
