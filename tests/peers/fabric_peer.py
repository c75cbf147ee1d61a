#!/usr/bin/env python3
"""Stands in for a sharing server's discovery answers, for tests.

Local query: the server holds a multicast listener for the group 224.0.0.7 on the loopback
interface at port 9850 + n (bound without address reuse, so that a client finds the port
taken). For each 4-byte query BA DC CD AB it sends its 128-byte link record to the same group
at port 9950 + n, out of the loopback interface.

Beacon (--beacon BROADCAST): listens on UDP port 8585; a datagram that begins with the 20
bytes "Corvantis2-Discovery" makes it broadcast the 128-byte record to BROADCAST:8585 every
100 ms for 2 s. Multicast answers and broadcasts exist only inside the tests' private network
namespace (UPDATER_IN_NETNS=1), so the peer refuses to start anywhere else.

The record is the link record as it lies in memory (little-endian 32-bit fields):
type, serial_num, module, router, router_serial_num, model, ip_address (network order),
ip_port, then zeros to 128 bytes.

Prints "ready" once it listens; ends when its standard input closes.
"""

import argparse
import os
import socket
import struct
import sys
import threading
import time

GROUP = "224.0.0.7"
QUERY_PORT = 9850
ANSWER_PORT = 9950
MAGIC = struct.pack("<I", 0xABCDDCBA)
BEACON_PORT = 8585
BEACON_PREFIX = b"Corvantis2-Discovery"


def link_record(kind, serial, module, model, address, port):
    head = struct.pack("<IIIIII", kind, serial, module, module, serial, model)
    head += socket.inet_aton(address) + struct.pack("<I", port)
    return head + bytes(128 - len(head))


class LocalAnswerer:
    def __init__(self, offset, record, repeat):
        self.offset = offset
        self.record = record
        self.repeat = repeat
        self.queries = 0
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("0.0.0.0", QUERY_PORT + offset))
        membership = socket.inet_aton(GROUP) + socket.inet_aton("127.0.0.1")
        self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, membership)
        self.out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.out.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF,
                            socket.inet_aton("127.0.0.1"))
        self.out.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
        threading.Thread(target=self._loop, daemon=True).start()

    def _loop(self):
        while True:
            try:
                data = self.sock.recv(256)
            except OSError:
                return
            if data != MAGIC:
                continue
            self.queries += 1
            for _ in range(self.repeat):
                self.out.sendto(self.record, (GROUP, ANSWER_PORT + self.offset))


class BeaconAnswerer:
    def __init__(self, broadcast, record):
        self.broadcast = broadcast
        self.record = record
        self.publishing_until = 0.0
        self.lock = threading.Lock()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        self.sock.bind(("", BEACON_PORT))
        threading.Thread(target=self._listen, daemon=True).start()
        threading.Thread(target=self._publish, daemon=True).start()

    def _listen(self):
        while True:
            try:
                data = self.sock.recv(512)
            except OSError:
                return
            if data.startswith(BEACON_PREFIX):
                with self.lock:
                    if self.publishing_until < time.monotonic():
                        self.publishing_until = time.monotonic() + 2.0

    def _publish(self):
        while True:
            with self.lock:
                on = self.publishing_until >= time.monotonic()
            if on:
                try:
                    self.sock.sendto(self.record, (self.broadcast, BEACON_PORT))
                except OSError:
                    pass
            time.sleep(0.1)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    number = lambda text: int(text, 0)
    ap.add_argument("--serial", type=number, required=True)
    ap.add_argument("--type", type=number, default=5, help="link type announced (5 to 7)")
    ap.add_argument("--module", type=number, default=6)
    ap.add_argument("--model", type=number, default=0x13)
    ap.add_argument("--address", default="127.0.0.1", help="server address announced")
    ap.add_argument("--port", type=number, default=31000, help="server port announced")
    ap.add_argument("--offsets", default="0", help="query port offsets n held, e.g. 0,1")
    ap.add_argument("--repeat", type=int, default=1, help="answers per local query")
    ap.add_argument("--beacon", default=None, help="broadcast address for beacon answers")
    args = ap.parse_args()
    record = link_record(args.type, args.serial, args.module, args.model, args.address, args.port)
    keep = []
    try:
        if os.environ.get("UPDATER_IN_NETNS") != "1":
            raise RuntimeError("discovery answers only inside the test network namespace")
        if args.beacon:
            keep.append(BeaconAnswerer(args.beacon, record))
        else:
            for offset in [int(n) for n in args.offsets.split(",") if n]:
                keep.append(LocalAnswerer(offset, record, args.repeat))
    except (RuntimeError, OSError) as e:
        sys.stderr.write("fabric_peer: %s\n" % e)
        sys.exit(2)
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    sys.stdin.read()


if __name__ == "__main__":
    main()
