#!/usr/bin/python3
"""Drives a running `t7315 serve` as its users would: pyserial over RFC 2217,
programs on the pseudo-terminals, and a telnet client that stops reading
(garbage and vanishing clients are scripts/soak-serve.py's). Started by
serve_test.sh with the state folder and the RFC 2217 base of a server whose
cables are COM3:COM4, COM5:pty and COM6:loop. Prints one "PASS name" or
"FAIL name: why" line per check. With "hold" after the arguments it only
leaves a write on COM3 held by flow control, says HELD and waits."""

import hashlib
import os
import socket
import struct
import sys
import termios
import threading
import time

import serial
import serial.rfc2217

STATE, BASE, LOG = sys.argv[1], int(sys.argv[2]), sys.argv[3]
# "light" under ThreadSanitizer, which slows the real-time emulation below what
# 115200 baud carries (about 1 KB/s on two cores): the driver has no receive
# flow control, so a faster exchange would overrun the chip's receive FIFO.
BULK_SIZE, BULK_RATE = (16 * 1024, 9600) if sys.argv[4] == "light" else (256 * 1024, 115200)
IAC, SB, SE, WILL, DO = 255, 250, 240, 251, 253
COM_PORT = 44


def report(name, ok, why=""):
    print(("PASS " + name) if ok else ("FAIL %s: %s" % (name, why)), flush=True)


def url(com):
    # pyserial waits 3 s for the server's answers; a sanitizer build on a loaded machine can take longer.
    return "rfc2217://127.0.0.1:%d?timeout=10" % (BASE + com)


def until(predicate, limit=3.0):
    end = time.time() + limit
    while time.time() < end:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


def read_exactly(port, count, limit=30.0):
    data = bytearray()
    end = time.time() + limit
    while len(data) < count and time.time() < end:
        data += port.read(count - len(data))
    return bytes(data)


def sync(port):
    """Returns once the server has carried out what was sent before: it
    answers in order, and pyserial waits for the answers to a reconfiguration."""
    port.baudrate = port.baudrate


def pty_speed(com):
    fd = os.open("%s/COM%d" % (STATE, com), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    speed = termios.tcgetattr(fd)[5]
    os.close(fd)
    return speed


def console_has(text, limit=3.0):
    return until(lambda: text in open(LOG).read(), limit)


class RawClient:
    """A bare telnet client that speaks RFC 2217 by hand."""

    def __init__(self, com):
        self.sock = socket.create_connection(("127.0.0.1", BASE + com), timeout=5)
        self.buffer = b""

    @classmethod
    def greeted(cls, com, limit=10.0):
        """A client the server took (not one turned away while the port's
        last client is still being let go)."""
        end = time.time() + limit
        while True:
            try:
                c = cls(com)
                if c.expect(bytes([IAC, WILL, 0]), 1.0):
                    return c
                c.close()
            except OSError:
                pass
            if time.time() > end:
                raise RuntimeError("COM%d takes no client" % com)
            time.sleep(0.2)

    def send(self, data):
        self.sock.sendall(bytes(data))

    def agree(self):
        self.send([IAC, WILL, COM_PORT, IAC, DO, COM_PORT])

    def command(self, cmd, value=b""):
        escaped = bytes(value).replace(b"\xff", b"\xff\xff")
        self.send(bytes([IAC, SB, COM_PORT, cmd]) + escaped + bytes([IAC, SE]))

    def reply(self, cmd, limit=3.0):
        """The value of the first answer to `cmd` (server code cmd + 100)."""
        marker = bytes([IAC, SB, COM_PORT, cmd + 100])
        end = time.time() + limit
        while time.time() < end:
            at = self.buffer.find(marker)
            stop = self.buffer.find(bytes([IAC, SE]), at + 4) if at >= 0 else -1
            if stop >= 0:
                value = self.buffer[at + 4:stop].replace(b"\xff\xff", b"\xff")
                self.buffer = self.buffer[stop + 2:]
                return value
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                return None
            self.buffer += chunk
        return None

    def expect(self, data, limit=3.0):
        end = time.time() + limit
        while data not in self.buffer and time.time() < end:
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                break
            self.buffer += chunk
        return data in self.buffer

    def baud(self):
        self.command(1, struct.pack("!I", 0))
        value = self.reply(1)
        return struct.unpack("!I", value)[0] if value and len(value) == 4 else None

    def close(self):
        self.sock.close()


def check_bulk_transfer(a, b):
    """A few hundred KiB each way, each with its checksum."""
    size = BULK_SIZE
    for src, dst, name in ((a, b, "COM3 to COM4"), (b, a, "COM4 to COM3")):
        data = os.urandom(size)
        src.write(data)
        got = read_exactly(dst, size, 120)
        sent, received = hashlib.sha256(data).hexdigest(), hashlib.sha256(got).hexdigest()
        report("%d KiB %s" % (size // 1024, name), sent == received,
               "got %d bytes, checksum %s, want %s" % (len(got), received, sent))


def check_pair():
    a = serial.serial_for_url(url(3), baudrate=BULK_RATE, rtscts=True, timeout=1)
    b = serial.serial_for_url(url(4), baudrate=BULK_RATE, rtscts=True, timeout=1)
    check_bulk_transfer(a, b)

    # A second client on a port in use is turned away; the first is kept.
    intruder = socket.create_connection(("127.0.0.1", BASE + 4), timeout=3)
    report("second client refused", intruder.recv(100) == b"", "the server answered it")
    intruder.close()

    # Format changes: 7 data bits, even parity, two stop bits on both ends.
    for port in (a, b):
        port.rtscts = False
        port.baudrate, port.bytesize, port.parity, port.stopbits = 57600, 7, "E", 2
    text = bytes(range(32, 127)) * 4
    a.write(text)
    report("7E2 at 57600", read_exactly(b, len(text), 10) == text, "data changed on the way")
    report("RFC 2217 speed shows on the pty", pty_speed(3) == termios.B57600, "pty speed code %o" % pty_speed(3))
    for port in (a, b):
        port.bytesize, port.parity, port.stopbits = 8, "N", 1

    # Modem lines over a null-modem cable: RTS -> CTS, DTR -> DSR and CD.
    ok, why = True, ""
    for rts, dtr in ((False, True), (True, False), (False, False), (True, True)):
        a.rts, a.dtr = rts, dtr
        if not until(lambda: (b.cts, b.dsr, b.cd) == (rts, dtr, dtr)):
            ok, why = False, "RTS %s DTR %s gave CTS %s DSR %s CD %s" % (rts, dtr, b.cts, b.dsr, b.cd)
    report("modem lines and their notifications", ok, why)

    # A break on one end is a line-state notification on the other.
    b.rfc2217_send_subnegotiation(serial.rfc2217.SET_LINESTATE_MASK, b"\x1e")
    sync(b)
    a.send_break(0.3)
    report("break notified", until(lambda: b._linestate & 0x10), "line state 0x%02x" % b._linestate)
    report("break on the console", console_has("COM4: break received"), "no console line")

    # A speed the driver refuses answers with the one kept.
    try:
        a.baudrate = 1234567
        report("refused speed", False, "accepted 1234567 baud")
    except (serial.SerialException, ValueError):
        report("refused speed", console_has("COM3: RFC 2217 client asked for 1234567 baud; the driver refused it"),
               "no console line")
    # What the last user leaves set does not outlive it.
    a.break_condition, a.rts, a.dtr = True, False, False
    until(lambda: not (b.cts or b.dsr or b.cd))
    a.close()
    report("lines at rest once the last user goes", until(lambda: b.cts and b.dsr and b.cd),
           "CTS %s DSR %s CD %s" % (b.cts, b.dsr, b.cd))
    return b


def check_pty(b):
    """COM3's pty against COM4's RFC 2217 end."""
    b.baudrate = 115200
    pty = serial.Serial(STATE + "/COM3", 115200, timeout=0.5)
    old = pty.read(65536)
    report("no old data for a new pty user", old == b"", "read %d bytes" % len(old))
    b.reset_input_buffer()
    probe = RawClient.greeted(3)
    probe.agree()
    probe.command(5, b"\x04")
    report("break off once its client went", probe.reply(5) == b"\x06", "break still on")
    report("pty speed reaches the driver", until(lambda: probe.baud() == 115200), "driver at %s" % probe.baud())
    data = bytes(range(256)) * 16
    b.write(data)
    report("RFC 2217 to pty", read_exactly(pty, len(data), 10) == data, "data changed on the way")
    pty.baudrate = 9600
    until(lambda: probe.baud() == 9600)
    b.baudrate = pty.baudrate = 115200
    pty.write(data)
    report("pty speed set just before a write applies to its first byte", read_exactly(b, len(data), 10) == data,
           "data changed on the way")
    pty.baudrate = 57600
    report("pty speed change followed", until(lambda: probe.baud() == 57600), "driver at %s" % probe.baud())
    pty.baudrate = 2000000
    refused = console_has("COM3: the pty asked for 2000000 8N1; the driver refused it")
    report("pty speed refused", refused and probe.baud() == 57600, "driver at %s" % probe.baud())
    probe.close()
    pty.close()
    b.close()


def check_wire():
    """COM5's wire played through STATE/COM5-wire; COM6 has a loopback plug."""
    port = serial.serial_for_url(url(5), baudrate=9600, timeout=1)
    port.rfc2217_send_subnegotiation(serial.rfc2217.SET_LINESTATE_MASK, b"\x0e")
    sync(port)
    device = serial.Serial(STATE + "/COM5-wire", 9600, timeout=1)
    device.write(b"hello from the device")
    report("wire pty to port", read_exactly(port, 21, 5) == b"hello from the device", "data changed")
    port.write(b"hello device")
    report("port to wire pty", read_exactly(device, 12, 5) == b"hello device", "data changed")
    device.baudrate = 115200
    device.write(os.urandom(400))  # a regular pattern could alias into clean characters
    report("rate mismatch gives framing errors notified", until(lambda: port._linestate & 0x08),
           "line state 0x%02x" % port._linestate)
    report("rate mismatch gives framing errors on the console", console_has("COM5: framing error"), "no console line")
    device.close()
    port.close()

    loop = serial.serial_for_url(url(6), baudrate=115200, timeout=1)
    loop.write(b"round trip")
    report("loopback plug", read_exactly(loop, 10, 5) == b"round trip", "data changed")
    loop.close()


def check_takeover():
    """A client that stops taking its data from COM6 loses the port to the next."""
    stalled = RawClient.greeted(6).sock
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    speed = struct.pack("!I", 921600).replace(b"\xff", b"\xff\xff")
    stalled.sendall(bytes([IAC, WILL, COM_PORT, IAC, SB, COM_PORT, 1]) + speed + bytes([IAC, SE]))
    stalled.settimeout(30)

    def flood():
        try:
            stalled.sendall(os.urandom(1 << 20).replace(b"\xff", b""))
        except OSError:  # let go by the server
            pass
    threading.Thread(target=flood, daemon=True).start()
    try:
        RawClient.greeted(6, 20).close()
        report("a stalled client gives way", console_has("COM6: RFC 2217 client from 127.0.0.1:%d has not taken"
                                                           % stalled.getsockname()[1]), "no console line")
    except RuntimeError as e:
        said = [line for line in open(LOG).read().splitlines() if line.startswith("COM6: ")]
        report("a stalled client gives way", False, "%s; the console said: %s" % (e, " | ".join(said[-6:])))
    stalled.close()


def hold():
    """COM3's write held by COM4's RTS."""
    far = serial.serial_for_url(url(4), baudrate=9600)
    far.rts = False
    near = serial.serial_for_url(url(3), baudrate=9600, rtscts=True, write_timeout=None)
    until(lambda: not near.cts)
    near.write(b"held" * 1024)
    print("HELD", flush=True)
    time.sleep(60)


if sys.argv[5:] == ["hold"]:
    hold()
b = check_pair()
check_pty(b)
check_wire()
check_takeover()
