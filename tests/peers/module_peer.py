#!/usr/bin/env python3
"""A Corvantis module on the other end of a host link, for tests.

The peer plays one module (serial number, module address, model) over TCP and/or over a
pseudo-terminal that carries COBS frames with a CRC-8. It answers the sync / address query,
sends heartbeats and checks their answers, accepts route control without an answer, and can
echo or answer scripted packets. Tests switch misbehaviours at run time through a
line-based control port.

Start-up report (stdout, and --info-file written whole once everything listens):
    tcp_port=N  control_port=N  pty=/dev/pts/N  pid=N

Control commands (one per line; every answer is one line starting with "OK" or "ERR"):
    status                      counters as key=value words
    log-clear                   empties the receive log
    wait-rx COUNT MS            waits until COUNT packets were received since the last clear
    heartbeat MS                sends a heartbeat every MS milliseconds (0 stops them)
    heartbeat-now [N]           sends one heartbeat now (N = 0 up, 1 down)
    silent on|off               stops / resumes answering and heartbeats (reading goes on)
    echo on|off                 sends every packet to the module address back unchanged
    reply PREFIX PACKET         answers packets that start with PREFIX (hex) with PACKET (hex)
    reply-clear                 forgets the scripted replies
    sync-answer HEX|default     bytes sent (raw) in answer to a sync packet
    send HEX                    writes raw bytes (no framing on a pty: breaks the framing)
    send-packet HEX             sends one packet (framed on a pty)
    send-bad-crc HEX            pty only: sends the packet in a frame with a wrong CRC-8
    drop [rst|fin]              closes the TCP connections (listener stays)
    drop-listen MS              closes connections and the listener; listens again after MS
    quit                        ends the peer

Roles: system entity (system_entity.py), router (router.py), upgrade entity over a simulated
flash (upgrade_entity.py, --upgrade). They plug in by registering command handlers
(`Module.handlers`, keyed by the first data byte) and control commands
(`Peer.control_commands`).
"""

import argparse
import os
import select
import socket
import struct
import sys
import termios
import threading
import time
import tty

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from cobs_crc8 import cobs_encode, crc8, unframe  # noqa: E402 (shared serial framing)

SYNC_ADDRESS = 0xAD
ROUTE_ADDRESS = 0xAF
MAX_DATA = 28


def hexs(data):
    return " ".join("%02X" % b for b in data)


def unhex(text):
    text = text.replace(" ", "").replace(":", "")
    return bytes.fromhex(text)


# --- Framing of the serial line: COBS with a CRC-8 -----------------------------------------


def frame_packet(image, bad_crc=False):
    crc = crc8(image)
    if bad_crc:
        crc ^= 0x5A
    return cobs_encode(bytes(image) + bytes([crc])) + b"\x00"


# --- Packets ----------------------------------------------------------------------------


class Packet:
    def __init__(self, address, data=b""):
        self.address = address
        self.data = bytes(data)

    def image(self):
        return bytes([self.address, len(self.data)]) + self.data

    @staticmethod
    def from_image(image):
        if len(image) < 2 or image[1] > MAX_DATA or len(image) != image[1] + 2:
            return None
        return Packet(image[0], image[2:])


class StreamParser:
    """Splits a raw byte stream of back-to-back packets (TCP)."""

    def __init__(self):
        self.buffer = bytearray()
        self.skipped = 0

    def feed(self, data):
        self.buffer += data
        packets = []
        while len(self.buffer) >= 2:
            length = self.buffer[1]
            if length > MAX_DATA:
                del self.buffer[0]  # not a packet start: slide by one byte
                self.skipped += 1
                continue
            if len(self.buffer) < length + 2:
                break
            packets.append(Packet(self.buffer[0], self.buffer[2 : 2 + length]))
            del self.buffer[: 2 + length]
        return packets


class FrameParser:
    """Splits a COBS-framed byte stream (pseudo-terminal) into packets."""

    def __init__(self):
        self.buffer = bytearray()
        self.bad_frames = 0

    def feed(self, data):
        packets = []
        for b in data:
            if b != 0:
                self.buffer.append(b)
                continue
            if not self.buffer:
                continue
            image = unframe(bytes(self.buffer))
            self.buffer.clear()
            packet = Packet.from_image(image) if image is not None else None
            if packet is None:
                self.bad_frames += 1
                continue
            packets.append(packet)
        return packets


# --- Receive log ------------------------------------------------------------------------


class PacketLog:
    """Every received packet as one line of upper-case hex bytes, in arrival order."""

    def __init__(self, path):
        self.path = path
        self.lock = threading.Condition()
        self.count = 0
        self.file = open(path, "w") if path else None

    def add(self, packet):
        with self.lock:
            if self.file:
                self.file.write(hexs(packet.image()) + "\n")
                self.file.flush()
            self.count += 1
            self.lock.notify_all()

    def clear(self):
        with self.lock:
            if self.file:
                self.file.seek(0)
                self.file.truncate()
                self.file.flush()
            self.count = 0

    def wait(self, count, timeout):
        deadline = time.monotonic() + timeout
        with self.lock:
            while self.count < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self.lock.wait(left)
            return True


# --- Transports -------------------------------------------------------------------------


class Session:
    """One host connection: a way to send bytes and packets."""

    def __init__(self, name):
        self.name = name
        self.send_lock = threading.Lock()
        self.alive = True

    def send_raw(self, data):
        raise NotImplementedError

    def send_packet(self, packet):
        self.send_raw(packet.image())


class TcpSession(Session):
    """A TCP connection. Only its reader thread closes the socket (a close from another
    thread would not wake the blocked reader, and nothing would go out on the wire)."""

    def __init__(self, sock):
        super().__init__("tcp")
        self.sock = sock
        self.close_mode = None  # "rst" or "fin" once asked to close
        self.closed = threading.Event()

    def send_raw(self, data):
        with self.send_lock:
            if not self.alive:
                return
            try:
                self.sock.sendall(data)
            except OSError:
                self.alive = False

    def close(self, reset=True):
        """Asks the reader to close the connection and waits until it has."""
        self.close_mode = "rst" if reset else "fin"
        self.alive = False
        self.closed.wait(2.0)

    def finish(self):
        """Called by the reader thread: closes the socket the way that was asked."""
        with self.send_lock:
            self.alive = False
            try:
                if self.close_mode == "rst":
                    self.sock.setsockopt(
                        socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0)
                    )
                elif self.close_mode == "fin":
                    self.sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            try:
                self.sock.close()
            except OSError:
                pass
        self.closed.set()


class PtySession(Session):
    def __init__(self, master):
        super().__init__("pty")
        self.master = master

    def send_raw(self, data):
        # The master is non-blocking: a host that does not read must not stall the peer.
        with self.send_lock:
            deadline = time.monotonic() + 1.0
            while data:
                try:
                    data = data[os.write(self.master, data) :]
                except BlockingIOError:
                    left = deadline - time.monotonic()
                    if left <= 0:
                        return
                    select.select([], [self.master], [], left)
                except OSError:
                    return

    def send_packet(self, packet, bad_crc=False):
        self.send_raw(frame_packet(packet.image(), bad_crc))


class TcpTransport:
    """Listens on 127.0.0.1; each accepted connection is a session of its own."""

    def __init__(self, peer, port):
        self.peer = peer
        self.port = port
        self.listener = None
        self.sessions = []
        self.lock = threading.Lock()
        self.connections = 0
        self.listen()

    def listen(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", self.port))
        s.listen(8)
        self.port = s.getsockname()[1]
        self.listener = s
        threading.Thread(target=self._accept_loop, args=(s,), daemon=True).start()

    def _accept_loop(self, listener):
        while True:
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            session = TcpSession(conn)
            with self.lock:
                self.sessions.append(session)
                self.connections += 1
            threading.Thread(target=self._read_loop, args=(session,), daemon=True).start()

    def _read_loop(self, session):
        parser = StreamParser()
        while session.alive:
            try:
                ready, _, _ = select.select([session.sock], [], [], 0.02)
                if not ready:
                    continue
                data = session.sock.recv(65536)
            except OSError:
                break
            if not data:
                break
            for packet in parser.feed(data):
                self.peer.on_packet(session, packet)
        with self.lock:
            if session in self.sessions:
                self.sessions.remove(session)
        session.finish()

    def live_sessions(self):
        with self.lock:
            return [s for s in self.sessions if s.alive]

    def drop(self, reset=True):
        with self.lock:
            sessions, self.sessions = self.sessions, []
        for s in sessions:
            s.close(reset)
        return len(sessions)

    def close_listener(self):
        if self.listener:
            try:
                self.listener.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            self.listener.close()
            self.listener = None


class PtyTransport:
    """A pseudo-terminal in raw mode; the host opens the slave path."""

    def __init__(self, peer):
        self.peer = peer
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave, termios.TCSANOW)
        tty.setraw(self.master, termios.TCSANOW)
        os.set_blocking(self.master, False)
        self.path = os.ttyname(self.slave)
        self.session = PtySession(self.master)
        self.parser = FrameParser()
        threading.Thread(target=self._read_loop, daemon=True).start()

    def _read_loop(self):
        while True:
            select.select([self.master], [], [], 0.5)
            try:
                data = os.read(self.master, 4096)
            except BlockingIOError:
                continue
            except OSError:
                time.sleep(0.01)
                continue
            if not data:
                time.sleep(0.01)
                continue
            for packet in self.parser.feed(data):
                self.peer.on_packet(self.session, packet)

    def live_sessions(self):
        return [self.session]


# --- The module -------------------------------------------------------------------------


class Heartbeat:
    """Sends heartbeats (address, 2, 0, n) and checks the answers (address, 2, 0, n + 2)."""

    def __init__(self, peer):
        self.peer = peer
        self.lock = threading.Lock()
        self.interval = 0.0
        self.outstanding = []  # n of each heartbeat sent and not answered yet
        self.sent = 0
        self.ok = 0
        self.bad = 0
        self.next_n = 0
        self.wake = threading.Event()
        threading.Thread(target=self._loop, daemon=True).start()

    def set_interval(self, ms):
        self.interval = ms / 1000.0
        self.wake.set()

    def send(self, n=None):
        with self.lock:
            if n is None:
                n = self.next_n
                self.next_n ^= 1
            sessions = self.peer.live_sessions()
            if not sessions:
                return False
            self.outstanding.append(n)
            self.sent += 1
        for s in sessions:
            s.send_packet(Packet(self.peer.module.address, bytes([0, n])))
        return True

    def on_answer(self, value):
        with self.lock:
            if not self.outstanding:
                self.bad += 1
                return
            n = self.outstanding.pop(0)
            if value == n + 2:
                self.ok += 1
            else:
                self.bad += 1

    def _loop(self):
        while True:
            interval = self.interval
            self.wake.wait(interval if interval > 0 else None)
            self.wake.clear()
            if self.interval > 0 and not self.peer.silent:
                self.send()


class Module:
    """One module: its identity and its handlers keyed by the first data byte."""

    def __init__(self, peer, serial, address, model):
        self.peer = peer
        self.serial = serial
        self.address = address
        self.model = model
        self.handlers = {0x00: self.handle_heartbeat_answer}

    def handle_heartbeat_answer(self, session, packet):
        if len(packet.data) == 2:
            self.peer.heartbeat.on_answer(packet.data[1])
        return True

    def handle(self, session, packet):
        handler = self.handlers.get(packet.data[0]) if packet.data else None
        if handler and handler(session, packet):
            return
        if self.peer.echo:
            session.send_packet(packet)


class Peer:
    def __init__(self, args):
        self.silent = False
        self.echo = args.echo
        self.sync_answer = None  # raw bytes instead of the empty packet
        self.replies = []  # (prefix bytes, reply packet)
        self.routed = {}  # module address -> module behind this one (router.py)
        self.lock = threading.Lock()
        self.counters = {"rx": 0, "sync": 0, "route": 0, "replies": 0}
        self.log = PacketLog(args.rx_log)
        self.module = Module(self, args.serial, args.address, args.model)
        self.heartbeat = Heartbeat(self)
        self.tcp = None
        self.pty = None
        self.quit = threading.Event()
        self.control_commands = {
            "status": self.cmd_status,
            "log-clear": self.cmd_log_clear,
            "wait-rx": self.cmd_wait_rx,
            "heartbeat": self.cmd_heartbeat,
            "heartbeat-now": self.cmd_heartbeat_now,
            "silent": self.cmd_silent,
            "echo": self.cmd_echo,
            "reply": self.cmd_reply,
            "reply-clear": self.cmd_reply_clear,
            "sync-answer": self.cmd_sync_answer,
            "send": self.cmd_send,
            "send-packet": self.cmd_send_packet,
            "send-bad-crc": self.cmd_send_bad_crc,
            "drop": self.cmd_drop,
            "drop-listen": self.cmd_drop_listen,
            "quit": self.cmd_quit,
        }
        if args.tcp is not None:
            self.tcp = TcpTransport(self, args.tcp)
        if args.pty:
            self.pty = PtyTransport(self)
        if args.heartbeat:
            self.heartbeat.set_interval(args.heartbeat)

    def live_sessions(self):
        sessions = []
        if self.tcp:
            sessions += self.tcp.live_sessions()
        if self.pty:
            sessions += self.pty.live_sessions()
        return sessions

    def count(self, key):
        with self.lock:
            self.counters[key] += 1

    # Everything received comes through here, from any transport thread.
    def on_packet(self, session, packet):
        self.log.add(packet)
        self.count("rx")
        if packet.address == SYNC_ADDRESS:
            self.count("sync")
            if not packet.data and not self.silent:
                # The module answers with an empty packet from its own address.
                if self.sync_answer is not None:
                    session.send_raw(self.sync_answer)
                else:
                    session.send_packet(Packet(self.module.address))
            return
        if packet.address == ROUTE_ADDRESS:
            self.count("route")
            return
        if self.silent:
            return
        image = packet.image()
        with self.lock:
            replies = [r for p, r in self.replies if image.startswith(p)]
        if replies:
            for r in replies:
                session.send_packet(r)
            self.count("replies")
            return
        if packet.address == self.module.address:
            self.module.handle(session, packet)
        elif packet.address in self.routed:
            self.routed[packet.address].handle(session, packet)

    # --- control commands: each takes the word list and returns the answer text ---

    def cmd_status(self, words):
        with self.lock:
            c = dict(self.counters)
        hb = self.heartbeat
        with hb.lock:
            c.update(hb_sent=hb.sent, hb_ok=hb.ok, hb_bad=hb.bad, hb_open=len(hb.outstanding))
        c["sessions"] = len(self.tcp.live_sessions()) if self.tcp else 0
        c["connections"] = self.tcp.connections if self.tcp else 0
        c["logged"] = self.log.count
        if self.pty:
            c["bad_frames"] = self.pty.parser.bad_frames
        return " ".join("%s=%d" % kv for kv in sorted(c.items()))

    def cmd_log_clear(self, words):
        self.log.clear()
        return ""

    def cmd_wait_rx(self, words):
        count, ms = int(words[1]), int(words[2])
        if not self.log.wait(count, ms / 1000.0):
            raise RuntimeError("timeout logged=%d" % self.log.count)
        return "logged=%d" % self.log.count

    def cmd_heartbeat(self, words):
        self.heartbeat.set_interval(int(words[1]))
        return ""

    def cmd_heartbeat_now(self, words):
        if not self.heartbeat.send(int(words[1]) if len(words) > 1 else None):
            raise RuntimeError("no connection")
        return ""

    def cmd_silent(self, words):
        self.silent = words[1] == "on"
        return ""

    def cmd_echo(self, words):
        self.echo = words[1] == "on"
        return ""

    def cmd_reply(self, words):
        reply = Packet.from_image(unhex(words[2]))
        if reply is None:
            raise ValueError("bad reply packet")
        with self.lock:
            self.replies.append((unhex(words[1]), reply))
        return ""

    def cmd_reply_clear(self, words):
        with self.lock:
            self.replies = []
        return ""

    def cmd_sync_answer(self, words):
        self.sync_answer = None if words[1] == "default" else unhex(words[1])
        return ""

    def _sessions_or_fail(self):
        sessions = self.live_sessions()
        if not sessions:
            raise RuntimeError("no connection")
        return sessions

    def cmd_send(self, words):
        data = unhex("".join(words[1:]))
        for s in self._sessions_or_fail():
            s.send_raw(data)
        return ""

    def cmd_send_packet(self, words):
        packet = Packet.from_image(unhex("".join(words[1:])))
        if packet is None:
            raise ValueError("bad packet")
        for s in self._sessions_or_fail():
            s.send_packet(packet)
        return ""

    def cmd_send_bad_crc(self, words):
        if not self.pty:
            raise RuntimeError("no pty")
        packet = Packet.from_image(unhex("".join(words[1:])))
        if packet is None:
            raise ValueError("bad packet")
        self.pty.session.send_packet(packet, bad_crc=True)
        return ""

    def cmd_drop(self, words):
        if not self.tcp:
            raise RuntimeError("no tcp")
        return "dropped=%d" % self.tcp.drop(reset=(len(words) < 2 or words[1] == "rst"))

    def cmd_drop_listen(self, words):
        if not self.tcp:
            raise RuntimeError("no tcp")
        ms = int(words[1])
        self.tcp.close_listener()
        dropped = self.tcp.drop(reset=True)

        def relisten():
            time.sleep(ms / 1000.0)
            self.tcp.listen()

        threading.Thread(target=relisten, daemon=True).start()
        return "dropped=%d" % dropped

    def cmd_quit(self, words):
        self.quit.set()
        return ""

    # --- control port ---

    def serve_control(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", 0))
        s.listen(4)
        self.control_port = s.getsockname()[1]

        def loop():
            while True:
                conn, _ = s.accept()
                threading.Thread(target=self._control_session, args=(conn,), daemon=True).start()

        threading.Thread(target=loop, daemon=True).start()

    def _control_session(self, conn):
        with conn, conn.makefile("rwb", buffering=0) as f:
            for raw in f:
                words = raw.decode("ascii", "replace").split()
                if not words:
                    continue
                command = self.control_commands.get(words[0])
                try:
                    if command is None:
                        raise ValueError("unknown command " + words[0])
                    answer = command(words)
                    line = ("OK " + answer).rstrip()
                except (ValueError, IndexError, RuntimeError, OSError) as e:
                    line = "ERR " + str(e)
                f.write((line + "\n").encode())
                if words[0] == "quit":
                    return


def parse_number(text):
    return int(text, 0)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--tcp", type=int, default=None, help="TCP port on 127.0.0.1 (0 = any)")
    ap.add_argument("--pty", action="store_true", help="serve a COBS-framed pseudo-terminal")
    ap.add_argument("--serial", type=parse_number, default=0x12345678)
    ap.add_argument("--address", type=parse_number, default=6)
    ap.add_argument("--model", type=parse_number, default=0x13)
    ap.add_argument("--heartbeat", type=int, default=0, help="heartbeat period in ms (0 = none)")
    ap.add_argument("--echo", action="store_true", help="echo packets sent to the module")
    ap.add_argument("--rx-log", default=None, help="file that receives one hex line per packet")
    ap.add_argument("--info-file", default=None, help="file for the start-up report")
    ap.add_argument("--discovery", action="store_true",
                    help="answer TCP/IP discovery requests (test network namespace only)")
    # Roles: system entity, module queries and echo; router with modules behind it.
    import router
    import system_entity
    import upgrade_entity

    system_entity.add_arguments(ap)
    router.add_arguments(ap)
    upgrade_entity.add_arguments(ap)
    args = ap.parse_args()
    if args.tcp is None and not args.pty:
        ap.error("give --tcp PORT and/or --pty")
    if args.address == 0 or args.address & 1:
        ap.error("a module address is even and nonzero")

    peer = Peer(args)
    system_entity.attach(peer, args)
    router.attach(peer, args)
    upgrade_entity.attach(peer, args)  # after the system entity: it extends its queries
    peer.serve_control()
    if args.discovery:
        # Announces the TCP port; see discovery_responder.py.
        from discovery_responder import DiscoveryResponder

        if not peer.tcp:
            ap.error("--discovery needs --tcp")
        peer.discovery = DiscoveryResponder(args.serial, args.address, args.model, peer.tcp.port)
    # A test that dies must not leave its peer behind.
    parent = os.getppid()

    def watch_parent():
        while os.getppid() == parent:
            time.sleep(0.2)
        os._exit(0)

    threading.Thread(target=watch_parent, daemon=True).start()
    info = "control_port=%d\npid=%d\n" % (peer.control_port, os.getpid())
    if peer.tcp:
        info += "tcp_port=%d\n" % peer.tcp.port
    if peer.pty:
        info += "pty=%s\n" % peer.pty.path
    if args.info_file:
        tmp = args.info_file + ".tmp"
        with open(tmp, "w") as f:
            f.write(info)
        os.rename(tmp, args.info_file)
    sys.stdout.write(info)
    sys.stdout.flush()
    peer.quit.wait()


if __name__ == "__main__":
    main()
