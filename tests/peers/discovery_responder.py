#!/usr/bin/env python3
"""Answers the TCP/IP module discovery request, for tests.

A module on the network listens on UDP port 9888 of the group 232.2.2.2 and answers each
request with 16 bytes sent to port 9889 of the requester:

    0      not interpreted (0)
    1      module address
    2..3   TCP port of the module, least significant byte first
    4..7   serial number, least significant byte first
    8..11  not interpreted (0)
    12     model code
    13..15 not interpreted (0)

The answer leaves from the --source address, which is the address the requester reports and
connects to. Multicast requests only exist inside the private network namespace of the tests,
so the responder refuses to start anywhere else (UPDATER_IN_NETNS=1 marks the namespace).

module_peer.py embeds it with --discovery; standalone it prints "ready" once it listens:
    discovery_responder.py --serial 0x1234 --address 6 --model 0x13 --port 8016
"""

import argparse
import os
import socket
import struct
import sys
import threading

GROUP = "232.2.2.2"
REQUEST_PORT = 9888
ANSWER_PORT = 9889
MESSAGE = 16


def answer_bytes(serial, address, model, port):
    return struct.pack("<BBHIIB3x", 0, address & 0xFF, port & 0xFFFF, serial & 0xFFFFFFFF, 0,
                       model & 0xFF)


def ipv4_interfaces():
    """The IPv4 addresses of this host's interfaces other than the loopback."""
    import fcntl

    addresses = []
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        for _, name in socket.if_nameindex():
            try:
                request = struct.pack("256s", name.encode()[:15])
                reply = fcntl.ioctl(s.fileno(), 0x8915, request)  # SIOCGIFADDR
            except OSError:
                continue
            address = socket.inet_ntoa(reply[20:24])
            if not address.startswith("127."):
                addresses.append(address)
    finally:
        s.close()
    return addresses


class DiscoveryResponder:
    def __init__(self, serial, address, model, port, source="127.0.0.1", repeat=1):
        if os.environ.get("UPDATER_IN_NETNS") != "1":
            raise RuntimeError("discovery answers only inside the test network namespace")
        self.answer = answer_bytes(serial, address, model, port)
        self.source = source
        self.repeat = repeat
        self.requests = 0
        self.lock = threading.Lock()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("0.0.0.0", REQUEST_PORT))
        for interface in ipv4_interfaces() + ["127.0.0.1"]:
            membership = socket.inet_aton(GROUP) + socket.inet_aton(interface)
            try:
                self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, membership)
            except OSError:
                pass
        self.out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.out.bind((source, 0))
        threading.Thread(target=self._loop, daemon=True).start()

    def _loop(self):
        while True:
            try:
                data, (host, _) = self.sock.recvfrom(256)
            except OSError:
                return
            if len(data) != MESSAGE or data[0] != 1:
                continue
            with self.lock:
                self.requests += 1
            for _ in range(self.repeat):
                try:
                    self.out.sendto(self.answer, (host, ANSWER_PORT))
                except OSError:
                    pass

    def close(self):
        for s in (self.sock, self.out):
            try:
                s.close()
            except OSError:
                pass


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    number = lambda text: int(text, 0)
    ap.add_argument("--serial", type=number, required=True)
    ap.add_argument("--address", type=number, default=6)
    ap.add_argument("--model", type=number, default=0x13)
    ap.add_argument("--port", type=number, required=True, help="TCP port to announce")
    ap.add_argument("--source", default="127.0.0.1", help="address the answers leave from")
    ap.add_argument("--repeat", type=int, default=1, help="answers sent per request")
    args = ap.parse_args()
    try:
        DiscoveryResponder(args.serial, args.address, args.model, args.port, args.source,
                           args.repeat)
    except (RuntimeError, OSError) as e:
        sys.stderr.write("discovery_responder: %s\n" % e)
        sys.exit(2)
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    # Ends with its parent or when stdin closes.
    sys.stdin.read()


if __name__ == "__main__":
    main()
