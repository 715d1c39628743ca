#!/usr/bin/python3
"""Soak of `t7315 serve`: rounds of many RFC 2217 clients, garbage, peers
that vanish or stop reading, and restarts, for a set time. After every round
each port must still carry data both ways (COM3 <-> COM4, COM5 <-> COM6), and
each stop by SIGTERM must end the server within the limit with a clean leak
report. Prints one line per round and the seed; exits 1 on the first failure.

    scripts/soak-serve.py build/t7315 --seconds 300
"""

import argparse
import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

IAC, SB, SE, WILL, DO = 255, 250, 240, 251, 253
COM_PORT = 44
PAIRS = [(3, 4), (5, 6)]
PORTS = [3, 4, 5, 6]
# Seconds a token may take to cross a pair: what an earlier client queued
# leaves first, at the rate it set.
CARRY_LIMIT = float(os.environ.get("SOAK_CARRY_LIMIT", "10"))


class Failure(Exception):
    pass


class Server:
    def __init__(self, tool, state, base):
        self.tool, self.state, self.base = tool, state, base
        self.process = None
        self.log = os.path.join(state, "console.log")

    def start(self):
        out = open(self.log, "a")
        earlier = out.tell()  # what an earlier server wrote says nothing of this one
        self.process = subprocess.Popen([self.tool, "serve", "--state", self.state, "--rfc2217", str(self.base)],
                                        stdout=out, stderr=subprocess.STDOUT)
        end = time.time() + 30
        while time.time() < end:
            if b"Ctrl-C or SIGTERM stops" in open(self.log, "rb").read()[earlier:]:
                return
            if self.process.poll() is not None:
                raise Failure("serve exited at start with %d" % self.process.returncode)
            time.sleep(0.05)
        raise Failure("serve did not come up within 30 s")

    def stop(self, limit):
        """SIGTERM; the seconds it took. Fails past `limit` or without a clean report."""
        started = time.time()
        self.process.send_signal(signal.SIGTERM)
        try:
            status = self.process.wait(timeout=max(limit, 10))
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise Failure("serve still running 10 s after SIGTERM")
        took = time.time() - started
        tail = open(self.log).read().splitlines()[-1:]
        if status != 0 or tail != ["driver unloaded; leaks: clean"]:
            raise Failure("serve stopped with %d: %s" % (status, tail))
        if took > limit:
            raise Failure("serve took %.2f s to stop on SIGTERM (limit %.2f s)" % (took, limit))
        return took


def connect(base, com, limit=15.0):
    """A client the server took: it greets with IAC WILL BINARY. A port whose
    last client is still being let go turns new ones away for a while."""
    end = time.time() + limit
    while time.time() < end:
        try:
            sock = socket.create_connection(("127.0.0.1", base + com), timeout=2)
            sock.settimeout(0.5)
            seen = b""
            greeted_by = time.time() + 1.5
            while time.time() < greeted_by and bytes([IAC, WILL, 0]) not in seen:
                try:
                    chunk = sock.recv(4096)
                except socket.timeout:
                    continue
                if not chunk:
                    break
                seen += chunk
            if bytes([IAC, WILL, 0]) in seen:
                return sock
            sock.close()
        except OSError:
            pass
        time.sleep(0.2)
    raise Failure("COM%d takes no client" % com)


def subnegotiation(command, value):
    return bytes([IAC, SB, COM_PORT, command]) + bytes(value).replace(b"\xff", b"\xff\xff") + bytes([IAC, SE])


def set_line(sock):
    """115200 8N1 without flow control, whatever an earlier client left. Returns
    once the server has answered every change: it answers after applying it."""
    sock.sendall(bytes([IAC, WILL, COM_PORT]) + subnegotiation(1, struct.pack(">I", 115200)) +
                 subnegotiation(2, [8]) + subnegotiation(3, [1]) + subnegotiation(4, [1]) +
                 subnegotiation(5, [1]) + subnegotiation(12, [3]))
    seen, end = b"", time.time() + 10
    answers = [bytes([IAC, SB, COM_PORT, command + 100]) for command in (1, 2, 3, 4, 5, 12)]
    while not all(a in seen for a in answers):
        if time.time() > end:
            raise Failure("the server does not answer the line settings")
        try:
            seen += sock.recv(4096)
        except socket.timeout:
            pass


def carries(base, a, b, rng):
    """Data from COM<a> arrives on COM<b> and back."""
    ends = {a: connect(base, a), b: connect(base, b)}
    try:
        for sock in ends.values():
            set_line(sock)
        for source, sink in ((a, b), (b, a)):
            token = ("soak-%d-%08x;" % (source, rng.getrandbits(32))).encode() * 8
            ends[source].sendall(token)
            got, end = b"", time.time() + CARRY_LIMIT
            while token not in got and time.time() < end:
                try:
                    got += ends[sink].recv(65536)
                except socket.timeout:
                    pass
            if token not in got:
                raise Failure("COM%d -> COM%d: data does not arrive" % (source, sink))
    finally:
        for sock in ends.values():
            sock.close()


def misbehave(base, rng, kind):
    """One client doing something a server must survive."""
    com = rng.choice(PORTS)
    try:
        sock = socket.create_connection(("127.0.0.1", base + com), timeout=2)
    except OSError:
        return  # a port with a client already turns others away
    try:
        if kind == "garbage":
            sock.sendall(bytes(rng.getrandbits(8) for _ in range(rng.randrange(1, 4096))))
        elif kind == "commands":
            for _ in range(rng.randrange(1, 40)):
                sock.sendall(subnegotiation(rng.randrange(0, 16), bytes(rng.getrandbits(8) for _ in range(rng.randrange(0, 6)))))
            sock.sendall(b"x" * rng.randrange(0, 2000))
        elif kind == "cut":  # a subnegotiation cut off by a reset
            sock.sendall(bytes([IAC, SB, COM_PORT, 1, 0]))
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        elif kind == "deaf":  # sends, never reads, lingers
            sock.sendall(b"y" * 1000)
            time.sleep(rng.uniform(0, 3))
    except OSError:
        pass
    finally:
        sock.close()


def round_of_clients(base, rng, count):
    kinds = ["garbage", "commands", "cut", "deaf"]
    threads = [threading.Thread(target=misbehave, args=(base, random.Random(rng.getrandbits(32)), rng.choice(kinds)))
               for _ in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("tool", help="the t7315 program")
    parser.add_argument("--seconds", type=float, default=300, help="how long to soak (default 300)")
    parser.add_argument("--clients", type=int, default=16, help="misbehaving clients per round (default 16)")
    parser.add_argument("--restart-every", type=int, default=5, help="rounds between restarts (default 5)")
    parser.add_argument("--stop-limit", type=float, default=1.0, help="seconds SIGTERM may take (default 1)")
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--base", type=int, default=None, help="RFC 2217 base port (default: a free range)")
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 31)
    rng = random.Random(seed)
    base = args.base if args.base is not None else 20000 + rng.randrange(0, 400) * 100
    print("soak-serve: seed %d, RFC 2217 base %d" % (seed, base), flush=True)
    with tempfile.TemporaryDirectory() as state:
        server = Server(args.tool, state, base)
        server.start()
        rounds, stops, slowest = 0, 0, 0.0
        end = time.time() + args.seconds
        try:
            while time.time() < end:
                rounds += 1
                round_of_clients(base, rng, args.clients)
                for a, b in PAIRS:
                    carries(base, a, b, rng)
                if rounds % args.restart_every == 0:
                    took = server.stop(args.stop_limit)
                    stops, slowest = stops + 1, max(slowest, took)
                    server.start()
                print("round %d: %d clients, every port carries data both ways" % (rounds, args.clients), flush=True)
            took = server.stop(args.stop_limit)
            stops, slowest = stops + 1, max(slowest, took)
        except Failure as failure:
            print("soak-serve: FAIL in round %d (seed %d): %s" % (rounds, seed, failure), flush=True)
            if server.process.poll() is None:
                server.process.kill()
            kept = os.path.join(tempfile.gettempdir(), "soak-serve-%d.log" % seed)
            shutil.copyfile(server.log, kept)
            print("soak-serve: the server's console is in %s" % kept, flush=True)
            return 1
    print("soak-serve: %d rounds, %d clients, %d stops (slowest %.2f s), seed %d: passed"
          % (rounds, rounds * args.clients, stops, slowest, seed), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
