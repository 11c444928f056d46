"""A raw TFTP client for the end-to-end tests (RFC 1350 packets over plain UDP).

It builds and parses the five packets itself and checks every answer strictly (opcode, block
number, source address and port 69), so that a script can drive the server into one exact corner:
a duplicate ACK, a silent client, a block number that wraps, two clients behind one address.
Scripts run it through lib.sh's raw_tftp, which makes it importable.
"""

import os
import socket
import struct
import sys
import time

SERVER = ("127.0.0.1", 69)
RRQ, WRQ, DATA, ACK, ERROR = 1, 2, 3, 4, 5
BLOCK = 512


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def check(condition, message):
    if not condition:
        fail(message)


def rrq(name, mode="octet"):
    return struct.pack("!H", RRQ) + name.encode() + b"\0" + mode.encode() + b"\0"


def wrq(name, mode="octet"):
    return struct.pack("!H", WRQ) + name.encode() + b"\0" + mode.encode() + b"\0"


def ack(block):
    return struct.pack("!HH", ACK, block & 0xFFFF)


def error(code, message):
    return struct.pack("!HH", ERROR, code) + message.encode() + b"\0"


def parse(datagram):
    """(opcode, number, body): DATA gives block and payload, ERROR code and message text."""
    check(len(datagram) >= 4, "datagram of %d bytes" % len(datagram))
    opcode, number = struct.unpack("!HH", datagram[:4])
    body = datagram[4:]
    if opcode == ERROR:
        check(body.endswith(b"\0"), "ERROR message without terminator: %r" % datagram)
        body = body[:-1].decode("latin-1")
    return opcode, number, body


def log_text():
    """The server's log file as it is now."""
    try:
        with open(os.environ["QUILLET_LOG"], encoding="latin-1") as log:
            return log.read()
    except FileNotFoundError:
        return ""


def wait_for_log(text, seconds):
    """True once the log holds text, waiting at most seconds."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if text in log_text():
            return True
        time.sleep(0.1)
    return text in log_text()


def expect_log(text, seconds=5):
    check(wait_for_log(text, seconds), "no log line %r in:\n%s" % (text, log_text()))


class Client:
    """One client endpoint: a UDP socket on 127.0.0.1 that talks only to the server."""

    def __init__(self, port=0):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", port))
        self.port = self.sock.getsockname()[1]

    @property
    def text(self):
        """The endpoint as the server's log lines name it."""
        return "127.0.0.1 (%d)" % self.port

    def send(self, datagram):
        self.sock.sendto(datagram, SERVER)

    def receive(self, seconds=5):
        """The next packet from the server as (opcode, number, body), or None after seconds."""
        self.sock.settimeout(seconds)
        try:
            datagram, source = self.sock.recvfrom(65536)
        except socket.timeout:
            return None
        check(source == SERVER, "answer from %s:%d, not from port 69" % source)
        return parse(datagram)

    def expect_data(self, block, seconds=5):
        """The payload of DATA block (low 16 bits) that must come next."""
        packet = self.receive(seconds)
        check(packet is not None, "%s: no DATA %d within %s s" % (self.text, block, seconds))
        opcode, number, body = packet
        check(opcode == DATA, "%s: expected DATA %d, got %r" % (self.text, block, packet))
        check(number == block & 0xFFFF, "%s: expected DATA %d, got DATA %d"
              % (self.text, block & 0xFFFF, number))
        return body

    def expect_error(self, code, message, seconds=5):
        packet = self.receive(seconds)
        check(packet == (ERROR, code, message),
              "%s: expected ERROR %d %r, got %r" % (self.text, code, message, packet))

    def expect_silence(self, seconds):
        packet = self.receive(seconds)
        check(packet is None, "%s: expected nothing, got %r" % (self.text, packet))

    def fetch(self, name, mode="octet"):
        """Reads a whole file in lock-step and returns its bytes."""
        self.send(rrq(name, mode))
        content = bytearray()
        block = 1
        while True:
            payload = self.expect_data(block)
            check(len(payload) <= BLOCK, "DATA %d of %d bytes" % (block, len(payload)))
            content += payload
            self.send(ack(block))
            if len(payload) < BLOCK:
                return bytes(content)
            block += 1

    def close(self):
        self.sock.close()
