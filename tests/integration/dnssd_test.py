#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""DNS-SD advertisement against a real Avahi daemon in a private network namespace.

--case advertiser drives AvahiAdvertiser alone (through dnssd_advertise_probe): found by browsing, name
collisions, a daemon that is missing at first, a daemon restart, a port that moves.
--case server drives the real `vemdo-trackpad --headless`: found on the port it prints with UDP bound on
the same port, a second server under an alternative name, the pairing code kept across a restart, a
damaged store kept aside, and a start without any daemon that warns and keeps serving.
"""

import argparse
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import sandbox  # noqa: E402

NAME = "Vemdo Trackpad"
TYPE = "_vemdo._tcp"


def names_ports(found):
    return sorted({(n, p) for n, _, p in found})


def wait_line(process, stream, pattern, timeout=10):
    lines = process.stdout_lines if stream == "stdout" else process.stderr_lines
    return process.wait_until(lambda: any(re.search(pattern, l) for l in lines), timeout, repr(pattern))


# -- the advertiser alone -----------------------------------------------------------------------------------

def probe(sb, args, name=NAME, port=4711):
    p = sb.spawn(f"probe {name} {port}", [args.probe, name, TYPE, str(port)], stdin=subprocess.PIPE)
    wait_line(p, "stdout", "^advertising$")
    return p


def advertiser_found(args):
    with sandbox.Sandbox() as sb:
        sb.start_discovery()
        p = probe(sb, args)
        sb.wait_for_service(lambda f: (NAME, 4711) in names_ports(f))
        assert p.stderr_lines == [], p.describe()


def advertiser_collision(args):
    with sandbox.Sandbox() as sb:
        sb.start_discovery()
        # Another program already holds the name on this host...
        sb.spawn("avahi-publish", ["avahi-publish", "-s", NAME, TYPE, "1111"])
        sb.wait_for_service(lambda f: (NAME, 1111) in names_ports(f))
        # ...so we get the standard alternative, and a third one the next after it.
        probe(sb, args, port=4711)
        probe(sb, args, port=4712)
        found = sb.wait_for_service(lambda f: {(f"{NAME} #2", 4711), (f"{NAME} #3", 4712)} <= set(names_ports(f)))
        assert (NAME, 1111) in names_ports(found), found


def advertiser_daemon_appears_later(args):
    with sandbox.Sandbox() as sb:
        # Not even a system bus at first: Avahi cannot tell us when a daemon appears, so we must retry.
        p = probe(sb, args)
        wait_line(p, "stderr", "(?i)warning")
        time.sleep(1)
        sb.start_discovery()
        sb.wait_for_service(lambda f: (NAME, 4711) in names_ports(f), timeout=30)
        warnings = [l for l in p.stderr_lines if l.strip()]
        assert len(warnings) == 1, f"expected exactly one warning line, got {warnings}"


def advertiser_bus_without_daemon(args):
    with sandbox.Sandbox() as sb:
        sb.start_dbus()
        p = probe(sb, args)
        wait_line(p, "stderr", "(?i)warning.*avahi")
        sb.start_avahi()
        sb.wait_for_service(lambda f: (NAME, 4711) in names_ports(f), timeout=20)
        assert len([l for l in p.stderr_lines if l.strip()]) == 1, p.describe()


def advertiser_daemon_restart(args):
    with sandbox.Sandbox() as sb:
        sb.start_discovery()
        p = probe(sb, args)
        sb.wait_for_service(lambda f: (NAME, 4711) in names_ports(f))
        sb.stop_avahi()
        sb.start_avahi()
        sb.wait_for_service(lambda f: (NAME, 4711) in names_ports(f), timeout=20)
        assert p.alive(), p.describe()


def advertiser_port_moves(args):
    with sandbox.Sandbox() as sb:
        sb.start_discovery()
        p = probe(sb, args)
        sb.wait_for_service(lambda f: (NAME, 4711) in names_ports(f))
        p.popen.stdin.write(b"port 4800\n")
        p.popen.stdin.flush()
        wait_line(p, "stdout", "^moved$")
        sb.wait_for_service(lambda f: names_ports(f) == [(NAME, 4800)])
        p.popen.stdin.close()
        wait_line(p, "stdout", "^stopped$")
        # Destroying the advertiser withdraws the service.
        sb.wait_for_service(lambda f: f == [])


# -- the real server ----------------------------------------------------------------------------------------

def bound_ports(sb, protocol):
    out = sb.run(["ss", "-H", "-ln" + protocol]).stdout
    ports = set()
    for line in out.splitlines():
        fields = line.split()
        if len(fields) >= 4:
            ports.add(int(fields[3].rsplit(":", 1)[1]))
    return ports


def server_found_with_udp_on_same_port(args):
    with sandbox.Sandbox(args.server) as sb:
        sb.start_desktop()
        server = sb.server("one")
        port = server.wait_listening().port
        sb.wait_for_service(lambda f: (NAME, port) in names_ports(f))
        assert port in bound_ports(sb, "t"), f"no TCP listener on {port}"
        assert port in bound_ports(sb, "u"), f"no UDP socket on {port}: {bound_ports(sb, 'u')}"
        # The client finds the server the same way a phone would.
        out = sb.run([args.client, "discover"], env=client_env(sb))
        assert re.search(rf"^{NAME}\t\S+\t{port}$", out.stdout, re.M), out


def server_survives_daemon_restart(args):
    with sandbox.Sandbox(args.server) as sb:
        sb.start_desktop()
        server = sb.server("one")
        port = server.wait_listening().port
        sb.wait_for_service(lambda f: (NAME, port) in names_ports(f))
        sb.stop_avahi()
        sb.start_avahi()
        sb.wait_for_service(lambda f: (NAME, port) in names_ports(f), timeout=30)
        assert server.alive(), server.describe()


def client_env(sb, name="client"):
    env = sb.base_env()
    env["XDG_CONFIG_HOME"] = sb.path(name)
    return env


def server_second_gets_alternative_name(args):
    with sandbox.Sandbox(args.server) as sb:
        sb.start_desktop()
        first = sb.server("one").wait_listening().port
        sb.wait_for_service(lambda f: (NAME, first) in names_ports(f))
        second = sb.server("two").wait_listening().port
        assert first != second
        found = sb.wait_for_service(lambda f: (f"{NAME} #2", second) in names_ports(f))
        assert (NAME, first) in names_ports(found), found


def server_code_survives_restart(args):
    with sandbox.Sandbox(args.server) as sb:
        sb.start_xvfb()
        server = sb.server("one")
        code = server.wait_listening().code
        sb.forget(server)
        again = sb.server("one").wait_listening()
        assert again.code == code, f"code changed across restart: {code} -> {again.code}"


def server_damaged_store_kept_aside(args):
    with sandbox.Sandbox(args.server) as sb:
        sb.start_xvfb()
        server = sb.server("one")
        code = server.wait_listening().code
        sb.forget(server)
        store_dir = os.path.join(sb.path("one", "config"), "vemdo-trackpad")
        files = [f for f in os.listdir(store_dir) if os.path.isfile(os.path.join(store_dir, f))
                 and not f.endswith(".lock")]
        assert files, f"no store file in {store_dir}"
        garbage = b"\x00\xffnot a store\x80" * 3
        for f in files:
            with open(os.path.join(store_dir, f), "wb") as fh:
                fh.write(garbage)
        again = sb.server("one").wait_listening()
        assert re.fullmatch(r"[1-9]\d{5}", again.code), again
        kept = [f for f in os.listdir(store_dir) if ".corrupt" in f]
        assert kept, f"the damaged store was not kept aside: {os.listdir(store_dir)}"
        assert any(open(os.path.join(store_dir, f), "rb").read() == garbage for f in kept), kept
        if again.code == code:
            print("note: the new code equals the old one by chance", flush=True)


def server_without_daemon_warns_and_serves(args):
    with sandbox.Sandbox(args.server) as sb:
        sb.start_xvfb()
        server = sb.server("one")
        status = server.wait_listening()
        wait_line(server, "stderr", "(?i)warning")
        # Still serving: a phone that knows the address pairs.
        out = sb.run([args.client, "--host", "127.0.0.1", "--port", str(status.port), "pair", status.code],
                     env=client_env(sb))
        assert out.returncode == 0, out
        # And it is advertised once a daemon turns up.
        sb.start_discovery()
        sb.wait_for_service(lambda f: (NAME, status.port) in names_ports(f), timeout=30)
        warnings = [l for l in server.stderr_lines if re.search("(?i)dns-sd|avahi", l)]
        assert len(warnings) == 1, f"expected one DNS-SD warning line, got {warnings}"


CASES = {
    "advertiser": [advertiser_found, advertiser_collision, advertiser_daemon_appears_later,
                   advertiser_bus_without_daemon, advertiser_daemon_restart, advertiser_port_moves],
    "server": [server_found_with_udp_on_same_port, server_survives_daemon_restart, server_second_gets_alternative_name,
               server_code_survives_restart, server_damaged_store_kept_aside,
               server_without_daemon_warns_and_serves],
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--case", choices=CASES, required=True)
    parser.add_argument("--server")
    parser.add_argument("--client")
    parser.add_argument("--probe")
    parser.add_argument("--only", help="run only the checks whose name contains this")
    args = parser.parse_args()
    sandbox.enter_private_network()
    sandbox.require_tools("dbus-daemon", "avahi-daemon", "avahi-browse", "avahi-publish", "ss", "Xvfb")
    checks = sandbox.Checks()
    for func in CASES[args.case]:
        if args.only and args.only not in func.__name__:
            continue
        checks.run(func.__name__, func, args)
    checks.finish()


if __name__ == "__main__":
    main()
