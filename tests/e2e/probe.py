#!/usr/bin/env python3
"""A raw TFTP client for the end-to-end tests, run in the test's namespace against 127.0.0.1:69.
Exits 0 when every check holds, else with the reason on standard error. Commands:
  get NAME [FILE] [ack|quit|silent]  prints "DATA" (block 1 into FILE) or "Error code N: text"
  names TABLE PLATFORM FOLDER NAMED  the rows of TABLE (names.txt) for PLATFORM
  busy       100 requests at once from two addresses against a cap of 32 sessions
  flood      15,000 refused requests in 5 s from 30 addresses
  icmp LOG   forged ICMP port-unreachables for 12 s while a quiet client holds block 1
  hold       holds port 69 for 60 s"""
import codecs, os, random, socket, struct, sys, time

SERVER = ("127.0.0.1", 69)
TEXTS = {0: b"Server Busy.", 1: b"File not found.", 2: b"Access violation."}

def udp(address=None):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(5)
    s.bind((address or "0.0.0.0", 0))
    return s

def rrq(name): return b"\0\1" + name + b"\0octet\0"
def error(code): return b"\0\5\0" + bytes([code]) + TEXTS[code] + b"\0"

def get(name, into="/dev/null", end="ack"):
    s = udp()
    s.sendto(rrq(os.fsencode(name)), SERVER)
    reply, server = s.recvfrom(70000)
    if reply[:2] == b"\0\5":
        sys.exit(print("Error code %d: %s" % (reply[3], reply[4:-1].decode("latin-1"))))
    print("DATA")
    open(into, "wb").write(reply[4:])
    end = {"ack": b"\0\4" + reply[2:4], "quit": b"\0\5\0\0done\0", "silent": b""}[end]
    s.sendto(end, server) if end else None

def names(table, platform, folder, named):
    """Each row's name gets block 1 of the file named, or the ERROR of the code given; folder is
    the served folder here, named as the server's platform writes it."""
    failed = 0
    for fields in (row.split() for row in open(table, encoding="utf-8")):
        if not fields or fields[0] not in ("any", platform):
            continue
        name = codecs.escape_decode(fields[1].encode())[0]
        name = name.replace(b"{folder}", named.encode()).replace(
            b"{folder-in-lower-case}", named.lower().encode())
        time.sleep(0.06)  # fewer than 20 refusals a second from one address: each is logged
        s = udp()
        s.sendto(rrq(name), SERVER)
        got, server = s.recvfrom(70000)
        code = int(fields[2]) if fields[2].isdigit() else None
        if code is None:
            s.sendto(b"\0\5\0\0done\0", server)
        expected = error(code) if code is not None else (
            b"\0\3\0\1" + open(os.path.join(folder, fields[2]), "rb").read(512))
        if got != expected:
            failed += print("FAIL: %r: got %r, expected %r" % (name, got[:80], expected[:80])) or 1
    sys.exit(failed)

def busy():
    sockets = [udp("127.0.0.%d" % (1 + i % 2)) for i in range(100)]
    for s in sockets:
        s.sendto(rrq(b"big.bin"), SERVER)
    replies = [s.recv(600) for s in sockets]
    served = [s for s, reply in zip(sockets, replies) if reply[:4] == b"\0\3\0\1"]
    refused = replies.count(error(0))
    print("100 requests: %d got block 1, %d got Server Busy." % (len(served), refused))
    first = [s.getsockname()[0] for s in served].count("127.0.0.1")
    if len(served) != 32 or refused != 68 or first != 16:
        sys.exit("expected 32 requests (64 descriptors less 32), 16 of each address, to get block 1")
    for s in served:
        s.sendto(b"\0\5\0\0done\r\n2020-01-01 00:00:00    forged\0", SERVER)

def paced(count, rate, send):
    start = time.monotonic()
    for i in range(count):
        time.sleep(max(0, start + i / rate - time.monotonic()))
        send(i)

def flood():
    name = b"missing-" + b"m" * 100
    kinds = [rrq(name), b"\0\2" + name + b"\0octet\0", rrq(b"a..b"), b"\0\x09"]
    sockets = [udp("127.0.0.%d" % (1 + i)) for i in range(30)]
    paced(15000, 3000, lambda i: sockets[i % 30].sendto(kinds[i % 4], SERVER))

def icmp(log):
    """Prints the quiet client's port; at 6 s quotes it from another address, at 7 s in a host
    unreachable, at 9 s in a port unreachable from its own; every other error quotes a port below
    32768, which no client of ours uses."""
    raw = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
    lo = socket.inet_aton("127.0.0.1")

    def unreachable(sender, port, code=3):  # ICMP 3/code quoting 127.0.0.1:69 to port
        body = struct.pack("!BBHIBBHHHBBH4s4sHHHH", 3, code, 0, 0, 0x45, 0, 544, 0, 0, 64, 17, 0,
                           lo, lo, 69, port, 524, 0)
        s = sum(struct.unpack("!%dH" % (len(body) // 2), body))
        s = (s >> 16) + (s & 0xFFFF)
        body = body[:2] + struct.pack("!H", ~(s + (s >> 16)) & 0xFFFF) + body[4:]
        raw.sendto(struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(body), 0, 0, 64, 1, 0,
                               socket.inet_aton(sender), lo) + body, ("127.0.0.1", 0))

    quiet = udp()
    quiet.sendto(rrq(b"big.bin"), SERVER)
    quiet.recv(600)
    port = quiet.getsockname()[1]
    print(port, flush=True)

    def send(i):
        if i == 4000 and "Unreachable" in open(log).read():
            print("ended by an ICMP error from another address or not port unreachable", flush=True)
        if i == 3500:  # host unreachable, from its own address
            unreachable("127.0.0.1", port, 1)
        elif i in (3000, 4500):
            unreachable("127.0.0.9" if i == 3000 else "127.0.0.1", port)
        else:
            unreachable(random.choice(["127.0.0.1", "127.0.0.9"]), random.randrange(1024, 32768))
    paced(6000, 500, send)
    print("done", flush=True)

def hold():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("0.0.0.0", 69))
    print("held", flush=True)
    time.sleep(60)

if __name__ == "__main__":
    globals()[sys.argv[1]](*sys.argv[2:])
