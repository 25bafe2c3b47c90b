#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The real `vemdo-trackpad --headless` on a real Xvfb, spoken to over loopback with raw sockets inside a
private network namespace, so the exact bytes a phone sends are under the test's control. The pointer
position read back from the X server shows what was injected.

Every request that gets a reply doubles as a barrier: the server handles one connection's lines in order,
so once the reply is read, everything sent before it on that connection has been handled."""

import argparse
import json
import os
import random
import signal
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import sandbox  # noqa: E402

TOO_MANY = "Çok fazla deneme. Lütfen bekleyin."
START = (500, 400)


class Phone:
    def __init__(self, port, source="127.0.0.1"):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10, source_address=(source, 0))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = b""

    def send(self, message):
        self.sock.sendall(json.dumps(message, ensure_ascii=False).encode() + b"\n")

    def reply(self):
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(4096)
            assert chunk, "the server closed the connection"
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def request(self, message):
        self.send(message)
        return self.reply()

    def barrier(self):
        # An incomplete pairing request is answered without counting towards the attempt limit.
        assert self.request({"kind": "pairRequest", "timestamp": 0})["success"] is False

    def pair(self, device, code):
        return self.request({"kind": "pairRequest", "timestamp": 1, "deviceID": device, "pairingCode": code})

    def auth(self, device, token):
        return self.request({"kind": "auth", "timestamp": 1, "deviceID": device, "token": token})

    def close(self):
        self.sock.close()


def move(dx, dy):
    return {"kind": "move", "dx": dx, "dy": dy, "timestamp": 1}


def datagram(dx, dy, length=16):
    body = struct.pack("<Bffi", 1, dx, dy, 7)
    return body + b"\0" * (length - len(body))


def pointer(sb):
    values = dict(line.split("=", 1) for line in sb.run(["xdotool", "getmouselocation", "--shell"]).stdout.split())
    return int(values["X"]), int(values["Y"])


def wait_pointer(sb, expected, timeout=10):
    deadline = time.monotonic() + timeout
    while pointer(sb) != expected:
        assert time.monotonic() < deadline, f"pointer at {pointer(sb)}, expected {expected}"
        time.sleep(0.05)


def run(args):
    with sandbox.Sandbox(args.server) as sb:
        sb.start_xvfb()
        sb.run(["xdotool", "mousemove", str(START[0]), str(START[1])])
        server = sb.server("server")
        status = server.wait_listening()
        port, code = status.port, status.code
        checks = []

        def check(name):
            print(f"--- {name}", flush=True)
            checks.append(name)

        check("pairing with the printed code")
        phone = Phone(port)
        phone.send(move(10, 10))
        paired = phone.pair("phone-a", code)
        assert paired["kind"] == "pairResponse" and paired["success"] is True, paired
        token = paired["token"]
        assert len(token) == 64, paired

        check("a move before auth is dropped, the same connection's move after auth is injected")
        phone.send(move(10, 10))
        phone.barrier()
        assert pointer(sb) == START, pointer(sb)
        authenticated = phone.auth("phone-a", token)
        assert authenticated["kind"] == "auth" and authenticated["success"] is True, authenticated
        phone.send(move(10, -5))
        phone.barrier()
        wait_pointer(sb, (START[0] + 20, START[1] - 10))
        here = pointer(sb)

        check("a reconnect needs a new auth")
        again = Phone(port)
        again.send(move(30, 30))
        again.barrier()
        assert pointer(sb) == here, pointer(sb)
        assert again.auth("phone-a", token)["success"] is True
        again.send(move(1, 1))
        again.barrier()
        here = (here[0] + 2, here[1] + 2)
        wait_pointer(sb, here)
        again.close()

        check("a message sent one byte at a time")
        for byte in (json.dumps({**move(-3, 4), "text": "ğ😀"}, ensure_ascii=False) + "\n").encode():
            phone.sock.sendall(bytes([byte]))
        phone.barrier()
        here = (here[0] - 6, here[1] + 8)
        wait_pointer(sb, here)

        check("a 16-byte datagram from the authenticated host is injected, one from elsewhere dropped")
        stranger = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        stranger.bind(("127.0.0.2", 0))
        stranger.sendto(datagram(50, 50), ("127.0.0.1", port))
        known = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        known.sendto(datagram(5, 0), ("127.0.0.1", port))
        here = (here[0] + 10, here[1])
        wait_pointer(sb, here)
        time.sleep(0.3)  # a stray injection would land within this
        assert pointer(sb) == here, f"a datagram from an unauthenticated address moved the pointer: {pointer(sb)}"

        check("the 11th pairing attempt is refused, even with the right code")
        guesser = Phone(port, source="127.0.0.3")
        for attempt in range(10):
            reply = guesser.pair(f"guesser-{attempt}", "000000" if code != "000000" else "111111")
            assert reply["success"] is False and reply["message"] != TOO_MANY, (attempt, reply)
        refused = guesser.pair("guesser-new", code)
        assert refused["success"] is False and refused["message"] == TOO_MANY and "token" not in refused, refused
        guesser.close()

        check("a peer that closes leaves the count")
        server.wait_clients(1)
        phone.close()
        server.wait_clients(0)

        check("the token survives a restart")
        sb.forget(server)
        server = sb.server("server")
        status = server.wait_listening()
        assert status.code == code, (status.code, code)
        later = Phone(status.port)
        assert later.auth("phone-a", token)["success"] is True
        later.send(move(2, 2))
        later.barrier()
        wait_pointer(sb, (here[0] + 4, here[1] + 4))
        later.close()

        check("SIGKILL in the middle of pairing never leaves a store that fails to read")
        chance = random.Random(7)
        store_dir = sb.path("server", "config", "vemdo-trackpad")
        for round_ in range(10):
            victim = Phone(status.port, source=f"127.0.1.{round_ + 1}")
            for i in range(8):
                victim.send({"kind": "pairRequest", "timestamp": 1, "deviceID": f"kill-{round_}-{i}",
                             "pairingCode": code})
            time.sleep(chance.uniform(0, 0.03))
            server.stop(signal.SIGKILL)
            sb.forget(server)
            victim.close()
            server = sb.server("server")
            status = server.wait_listening()
            assert status.code == code, f"round {round_}: code {status.code}, expected {code}"
            kept_aside = [name for name in os.listdir(store_dir) if ".corrupt" in name]
            assert not kept_aside, f"round {round_}: the store had to be kept aside: {kept_aside}"
            survivor = Phone(status.port)
            assert survivor.auth("phone-a", token)["success"] is True, f"round {round_}: phone-a lost its pairing"
            survivor.close()
        print(f"passed {len(checks)} checks", flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    args = parser.parse_args()
    sandbox.enter_private_network()
    sandbox.require_tools("Xvfb", "xdotool")
    checks = sandbox.Checks()
    checks.run("server gate", run, args)
    checks.finish()


if __name__ == "__main__":
    main()
