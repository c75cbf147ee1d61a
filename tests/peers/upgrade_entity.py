"""The upgrade entity (command 0x5F) of a peer module over a simulated flash, for tests.

Plugs into module_peer.py: `attach(peer, args)` registers the 0x5F handler on the peer's
module, answers the module queries about it (command 0x49), and adds the control commands
below. The entity answers only while it is on (--upgrade, or "upgrade on").

The module runs either its application ("app", the start state unless --upgrade-mode loader)
or its loader ("loader"). LOAD restarts it into the loader, REBOOT into the new firmware.

Wire forms (data bytes of packets from / to the module's address; numbers big-endian):
    INIT      5F 00                  ->  5F 00 base(4)              load base (--upgrade-base)
    DATA      5F 01 bytes(1..26)     ->  5F 01 count                count = bytes accepted
    LOAD      5F 02                  ->  5F 02                      then restarts into the loader
    PREPARE   5F 03 flags addr(4)    ->  5F 07 status size(2)       size = block size
    SUM       5F 04                  ->  5F 07 status sum(4)
    WRITE     5F 05 count(2)         ->  5F 07 status
    REBOOT    5F 06                  ->  (nothing)                  restarts into the new firmware
    UEI bytes 5F 8A 20 chunk(<=24) seq  (one byte string in sequenced packets; seq bit 7 = more)
                                     ->  5F CA 00 once the last packet arrived
              refused:               ->  5F CA 80 1D  (UEI data off: error 29, invalid option)
                                         5F CA 80 01  (a sequence gap: error 1, memory)
    hasUEI    49 01 5F 0A 00 80      ->  49 01 5F 0A 00 verdict     00 while UEI data is on, else
                                                                    1D (29, invalid option)
    classes   49 04 5F               ->  49 04 5F 01
Status bytes: 0 done, 1 PREPARE refused, 2 failure (injected, or WRITE before LOAD),
3 malformed request or WRITE of more bytes than are pending.

Where the bytes go:
    - PREPARE sets the transfer address and forgets pending bytes and the running sum.
    - Accepted data (DATA pieces and whole UEI byte strings) is added to the running sum. In the
      application it goes straight into RAM at the transfer address (the loader image); in the
      loader it waits, pending, until WRITE commits the first COUNT pending bytes to flash at
      the transfer address, which then advances by COUNT.
    - SUM answers the sum of the bytes accepted since the last PREPARE or SUM (32 bits,
      wrapping) and starts a new sum. A data packet answered with a wrong count (see
      upgrade-short-count) is dropped whole: the host sends it again and it counts once.
    - WRITE in the application is refused (status 2): the running firmware cannot replace
      itself. Use --upgrade-mode loader to play a live loader that takes firmware at once.

Restarts (LOAD, REBOOT) over TCP: after the drop delay the module closes its listener and
connections (reset), waits the down time, and listens again on the same port. After LOAD it
runs the loader, under the serial number 0xDEADDEAD when that is switched on. After REBOOT it
runs the application again with its own serial number and reports the next identity (build,
version) through the system entity (options 43 and 7) and the build query (49 FF); the system
entity must be on (--system) for the host to ask. A pseudo-terminal link is not dropped; the
upgrade entity only ignores requests for the drop and down times. A module behind the router
(router.py, --behind) gets an upgrade entity of its own with "upgrade-behind ADDR": it
restarts the same way without dropping the router's link, and keeps its serial number.

Command-line options (added to module_peer.py):
    --upgrade                   answer the upgrade entity
    --upgrade-mode app|loader   start state (loader: a live loader that accepts firmware)
    --upgrade-base N            load base reported by INIT (default 0x10000000)
    --upgrade-block-size N      block size reported by PREPARE (default 1024; 0 allowed)
    --upgrade-uei               accept data as UEI byte strings of option 10
    --upgrade-pooled            report protocol feature bit 31 (pooled packets accepted)
    --upgrade-deaddead          come back after LOAD under the serial number 0xDEADDEAD
    --upgrade-next-build N      build reported after REBOOT (default: unchanged)
    --upgrade-next-version V    version reported after REBOOT (2.12.4 or packed; default: same)
    --upgrade-drop-ms MS        time from LOAD reply / REBOOT to the drop (default 20)
    --upgrade-down-ms MS        time without a listener during a restart (default 200)

Control commands (answers start with OK or ERR; N counts the next N events, default 1):
    upgrade on|off              answer the upgrade entity or stay silent
    upgrade-behind ADDR|self    gives the module behind the router at ADDR an upgrade entity
                                (on, with this one's base, block size, UEI and timing) and
                                points all the commands below at it; "self" points them back
    upgrade-mode app|loader     set the running program at once, as if it had restarted into
                                it (without dropping the link)
    upgrade-base N              load base reported by INIT
    upgrade-block-size N        block size reported by PREPARE
    upgrade-uei on|off          UEI byte strings of option 10 accepted (and hasUEI says so)
    upgrade-pooled on|off       protocol feature bit 31 set or clear in the system entity
    upgrade-deaddead on|off     come back after LOAD as 0xDEADDEAD
    upgrade-next-identity BUILD VERSION   identity reported after the next REBOOT
    upgrade-timing DROP_MS DOWN_MS        restart timing
    upgrade-load-reply now|never|after-reconnect|late MS
                                now: answer LOAD at once, then restart;
                                never: restart without an answer;
                                after-reconnect: restart without an answer and send the answer
                                  on the first connection after the restart, 50 ms after its
                                  first sync packet was answered;
                                late MS: answer after MS ms on every connection open then,
                                  then restart
    upgrade-refuse-prepare [N]  the next N PREPAREs get status 1 (N = -1: all of them)
    upgrade-corrupt-sum [N]     the next N SUM answers carry the sum plus one
    upgrade-short-count [N]     the next N DATA pieces are answered with their length minus
                                one, and dropped
    upgrade-short-write [N]     the next N WRITEs are answered with 5F 07 only, not committed
    upgrade-fail-block ADDR|* N sum|write
                                the first N attempts (PREPAREs) of the block at ADDR (* = of
                                whatever block is prepared next) fail: their first SUM answers
                                status 2 (the right sum), or their first WRITE answers status
                                2 and commits nothing
    upgrade-misbehave-clear     forgets all of the above misbehaviours
    upgrade-status              counters and state as key=value words (see Counters)
    upgrade-trace               the exchange since the last clear, one word per request:
                                I, P<addr hex>, D<n>, U<n> (UEI string of n bytes), S, W<n>,
                                L, R (at most 20000 words, oldest dropped first)
    upgrade-clear               zeroes the counters and the trace
    flash-dump PATH             writes the flash from its lowest to its highest written byte,
                                gaps as 0xFF; answers base=0x... length=N extents=K
    ram-dump PATH               the same for the RAM (loader images)
    flash-read ADDR LEN         LEN bytes of flash as hex (unwritten bytes read as FF)
    ram-read ADDR LEN           the same for the RAM
    flash-extents, ram-extents  the written ranges as ADDR:LEN words (hex address, decimal)
    flash-clear                 erases flash and RAM

Counters (upgrade-status): init, prepare, prepare_refused, data (DATA packets), data_bytes,
data_short, sum (SUM requests), sum_bad (sums answered with a non-zero status or a wrong
sum), write, write_bytes, write_failed, load, reboot, uei_strings, uei_packets, uei_bytes,
uei_refused, replies (answers sent: round trips), restarts, and the state words mode, serial,
build, version, pending (bytes not yet written), address (transfer address).

Standard library only; it never calls the program under test.
"""

import bisect
import collections
import struct
import sys
import threading
import time

UPGRADE = 0x5F
MODULE_QUERY = 0x49
SYSTEM_BUILD = 43
SYSTEM_VERSION = 7
SYSTEM_FEATURES = 45
POOLED_BIT = 0x80000000

INIT, DATA, LOAD, PREPARE, SUM, WRITE, REBOOT, STATUS = range(8)
DATA_UEI = 10
UEI_SET = 0x80
UEI_ACK = 0xC0
UEI_ERROR = 0x80
ERR_MEMORY = 1
ERR_INVALID_OPTION = 29

ST_OK, ST_REFUSED, ST_FAILED, ST_BAD = 0, 1, 2, 3
DEADDEAD = 0xDEADDEAD
MAX_PIECE = 26
TRACE_LIMIT = 20000

COUNTERS = ("init", "prepare", "prepare_refused", "data", "data_bytes", "data_short", "sum",
            "sum_bad", "write", "write_bytes", "write_failed", "load", "reboot", "uei_strings",
            "uei_packets", "uei_bytes", "uei_refused", "replies", "restarts")


class Memory:
    """Sparse memory: sorted, non-touching extents of (start address, bytearray)."""

    def __init__(self):
        self.starts = []
        self.chunks = []

    def write(self, address, data):
        if not data:
            return
        end = address + len(data)
        # Extents that overlap or touch [address, end) merge into one.
        i = bisect.bisect_left(self.starts, address)
        if i > 0 and self.starts[i - 1] + len(self.chunks[i - 1]) >= address:
            i -= 1
        j = i
        while j < len(self.starts) and self.starts[j] <= end:
            j += 1
        if j == i + 1 and self.starts[i] <= address:
            chunk = self.chunks[i]
            at = address - self.starts[i]
            chunk[at:at + len(data)] = data  # extends the extent when it runs past its end
            return
        new_start = min([address] + self.starts[i:j])
        new_end = max([end] + [s + len(c) for s, c in zip(self.starts[i:j], self.chunks[i:j])])
        merged = bytearray(b"\xFF") * (new_end - new_start)
        for s, c in zip(self.starts[i:j], self.chunks[i:j]):
            merged[s - new_start:s - new_start + len(c)] = c
        merged[address - new_start:end - new_start] = data
        self.starts[i:j] = [new_start]
        self.chunks[i:j] = [merged]

    def read(self, address, length, fill=0xFF):
        out = bytearray([fill]) * length
        for s, c in zip(self.starts, self.chunks):
            lo, hi = max(s, address), min(s + len(c), address + length)
            if lo < hi:
                out[lo - address:hi - address] = c[lo - s:hi - s]
        return bytes(out)

    def extents(self):
        return [(s, len(c)) for s, c in zip(self.starts, self.chunks)]

    def image(self, fill=0xFF):
        """(base, bytes) from the lowest to the highest written byte, gaps filled."""
        if not self.starts:
            return 0, b""
        base = self.starts[0]
        end = self.starts[-1] + len(self.chunks[-1])
        return base, self.read(base, end - base, fill)

    def clear(self):
        self.starts, self.chunks = [], []


class UpgradeEntity:
    def __init__(self, peer, enabled=False, mode="app", base=0x10000000, block_size=1024,
                 uei=False, deaddead=False, next_build=None, next_version=None,
                 drop_ms=20, down_ms=200, module=None, system=None, drops_link=True):
        self.peer = peer
        self.module = module or peer.module
        self.system_entity = system
        # A module behind a router restarts without dropping the router's link.
        self.drops_link = drops_link
        self.Packet = sys.modules[type(self.module).__module__].Packet
        self.lock = threading.RLock()
        self.enabled = enabled
        self.mode = mode
        self.base = base
        self.block_size = block_size
        self.uei = uei
        self.deaddead = deaddead
        self.next_build = next_build
        self.next_version = next_version
        self.drop_ms = drop_ms
        self.down_ms = down_ms
        self.own_serial = peer.module.serial
        self.flash = Memory()
        self.ram = Memory()
        self.counts = dict.fromkeys(COUNTERS, 0)
        self.trace = collections.deque(maxlen=TRACE_LIMIT)
        self.trace_dropped = 0
        # Transfer state.
        self.address = 0
        self.prepared_address = None
        self.pending = bytearray()
        self.sum = 0
        self.uei_expected = 0
        self.uei_buffer = bytearray()
        # Misbehaviours.
        self.load_reply = ("now", 0)
        self.pending_load_reply = False
        self.restarting = False
        self.clear_misbehaviours()
        module = self.module
        self.query_fallback = module.handlers.get(MODULE_QUERY)
        module.handlers[UPGRADE] = self.handle
        module.handlers[MODULE_QUERY] = self.handle_query

    def clear_misbehaviours(self):
        with self.lock:
            self.refuse_prepare = 0
            self.corrupt_sum = 0
            self.short_count = 0
            self.short_write = 0
            self.fail_rules = []  # [address or None, attempts left, "sum" | "write"]
            self.block_fault = None  # the fault armed by the current PREPARE

    # --- helpers ---

    def count(self, key, n=1):
        self.counts[key] += n

    def note(self, word):
        if len(self.trace) == TRACE_LIMIT:
            self.trace_dropped += 1
        self.trace.append(word)

    def send(self, session, data):
        with self.lock:
            self.count("replies")
        session.send_packet(self.Packet(self.module.address, bytes(data)))

    def status(self, session, status, extra=b""):
        self.send(session, bytes([UPGRADE, STATUS, status]) + bytes(extra))

    def system(self):
        return self.system_entity or getattr(self.peer, "system", None)

    # --- the 0x5F command ---

    def handle(self, session, packet):
        if not self.enabled or self.restarting:
            return self.enabled
        d = packet.data
        if len(d) < 2:
            return True
        if d[1] & 0xC0:
            self.on_uei(session, d)
            return True
        sub = d[1]
        body = bytes(d[2:])
        if sub == INIT:
            with self.lock:
                self.count("init")
                self.note("I")
            self.send(session, struct.pack(">BBI", UPGRADE, INIT, self.base & 0xFFFFFFFF))
        elif sub == DATA:
            self.on_data(session, body)
        elif sub == LOAD:
            self.on_load(session)
        elif sub == PREPARE:
            self.on_prepare(session, body)
        elif sub == SUM:
            self.on_sum(session)
        elif sub == WRITE:
            self.on_write(session, body)
        elif sub == REBOOT:
            with self.lock:
                self.count("reboot")
                self.note("R")
            self.restart("app")
        return True

    def on_prepare(self, session, body):
        with self.lock:
            self.count("prepare")
            if len(body) != 5:
                self.note("P?")
                answer = (ST_BAD, 0)
            else:
                address = struct.unpack(">I", body[1:])[0]
                self.note("P%X" % address)
                if self.refuse_prepare:
                    if self.refuse_prepare > 0:
                        self.refuse_prepare -= 1
                    self.count("prepare_refused")
                    answer = (ST_REFUSED, 0)
                else:
                    self.address = address
                    self.prepared_address = address
                    self.pending = bytearray()
                    self.sum = 0
                    self.uei_expected, self.uei_buffer = 0, bytearray()
                    self.block_fault = None
                    for rule in self.fail_rules:
                        if rule[1] > 0 and rule[0] in (None, address):
                            rule[1] -= 1
                            self.block_fault = rule[2]
                            if rule[0] is None:
                                rule[0] = address  # "*" sticks to the block it met first
                            break
                    answer = (ST_OK, self.block_size)
        self.status(session, answer[0], struct.pack(">H", answer[1] & 0xFFFF))

    def accept(self, data):
        """Bytes the device took: into the running sum, and into RAM or pending."""
        self.sum = (self.sum + sum(data)) & 0xFFFFFFFF
        if self.mode == "app":
            self.ram.write(self.address, data)
            self.address += len(data)
        else:
            self.pending += data

    def on_data(self, session, body):
        with self.lock:
            self.count("data")
            self.note("D%d" % len(body))
            if self.short_count and body:
                self.short_count -= 1
                self.count("data_short")
                answer = len(body) - 1
            else:
                self.count("data_bytes", len(body))
                self.accept(body)
                answer = len(body)
        self.send(session, [UPGRADE, DATA, answer & 0xFF])

    def on_sum(self, session):
        with self.lock:
            self.count("sum")
            self.note("S")
            value, status = self.sum, ST_OK
            if self.block_fault == "sum":
                self.block_fault = None
                status = ST_FAILED
            if self.corrupt_sum:
                self.corrupt_sum -= 1
                value = (value + 1) & 0xFFFFFFFF
            if status != ST_OK or value != self.sum:
                self.count("sum_bad")
            self.sum = 0
        self.status(session, status, struct.pack(">I", value))

    def on_write(self, session, body):
        with self.lock:
            self.count("write")
            if len(body) != 2:
                self.note("W?")
                status = ST_BAD
            else:
                n = struct.unpack(">H", body)[0]
                self.note("W%d" % n)
                if self.short_write:
                    self.short_write -= 1
                    self.count("write_failed")
                    status = None
                elif self.block_fault == "write":
                    self.block_fault = None
                    status = ST_FAILED
                elif self.mode != "loader":
                    status = ST_FAILED
                elif n > len(self.pending):
                    status = ST_BAD
                else:
                    self.flash.write(self.address, bytes(self.pending[:n]))
                    del self.pending[:n]
                    self.address += n
                    self.count("write_bytes", n)
                    status = ST_OK
                if status not in (None, ST_OK):
                    self.count("write_failed")
        if status is None:
            self.send(session, [UPGRADE, STATUS])
        else:
            self.status(session, status)

    def on_uei(self, session, d):
        option_byte = d[1]
        index = d[2] & 0x1F if len(d) > 2 else 0
        ack = (option_byte & 0x3F) | UEI_ACK
        if option_byte != (DATA_UEI | UEI_SET) or len(d) < 4 or index != 0:
            with self.lock:
                self.count("uei_refused")
            reply_option = ack if option_byte & UEI_SET else option_byte & 0x3F
            self.send(session, [UPGRADE, reply_option, index | UEI_ERROR, ERR_INVALID_OPTION])
            return
        chunk, sequence = bytes(d[3:-1]), d[-1]
        with self.lock:
            self.count("uei_packets")
            if not self.uei:
                error = ERR_INVALID_OPTION if not sequence & 0x80 else None
                self.uei_expected, self.uei_buffer = 0, bytearray()
            elif (sequence & 0x7F) != self.uei_expected:
                error = ERR_MEMORY
                self.uei_expected, self.uei_buffer = 0, bytearray()
            else:
                error = None
                self.uei_buffer += chunk
                self.uei_expected = (self.uei_expected + 1) & 0x7F
                if sequence & 0x80:
                    return  # more packets follow
                data = bytes(self.uei_buffer)
                self.uei_expected, self.uei_buffer = 0, bytearray()
                self.count("uei_strings")
                self.count("uei_bytes", len(data))
                self.note("U%d" % len(data))
                self.accept(data)
            if error is not None:
                self.count("uei_refused")
        if not self.uei and error is None:
            return  # refused once, when the last packet of the string arrives
        if error is not None:
            self.send(session, [UPGRADE, ack, UEI_ERROR, error])
        else:
            self.send(session, [UPGRADE, ack, 0])

    # --- module queries about the upgrade entity ---

    def handle_query(self, session, packet):
        d = packet.data
        if self.enabled and not self.restarting and len(d) >= 3 and d[2] == UPGRADE:
            if len(d) == 6 and d[1] == 1:
                supported = self.uei and d[3] == DATA_UEI and d[4] == 0 and d[5] == UEI_SET
                self.send(session, list(d[:5]) + [0 if supported else ERR_INVALID_OPTION])
                return True
            if len(d) == 3 and d[1] == 4:
                self.send(session, list(d) + [1])
                return True
        if self.query_fallback:
            return self.query_fallback(session, packet)
        return False

    # --- LOAD and restarts ---

    def on_load(self, session):
        with self.lock:
            self.count("load")
            self.note("L")
            how, ms = self.load_reply
        if how == "now":
            self.send(session, [UPGRADE, LOAD])
            self.restart("loader")
        elif how == "never":
            self.restart("loader")
        elif how == "after-reconnect":
            self.restart("loader", load_reply_after=True)
        else:  # late

            def late():
                time.sleep(ms / 1000.0)
                for s in self.peer.live_sessions():
                    self.send(s, [UPGRADE, LOAD])
                self.restart("loader")

            threading.Thread(target=late, daemon=True).start()

    def restart(self, into, load_reply_after=False):
        """Drops the link and comes back running `into` (on a thread of its own: the reader
        thread that received the command must not wait for its own end)."""
        with self.lock:
            self.count("restarts")
            self.restarting = True
            drop, down = self.drop_ms / 1000.0, self.down_ms / 1000.0

        def run():
            time.sleep(drop)
            tcp = self.peer.tcp if self.drops_link else None
            if tcp:
                tcp.close_listener()
                tcp.drop(reset=True)
            self.enter(into, load_reply_after)
            time.sleep(down)
            # Nothing can connect before the listener is back, so the flag may drop first.
            with self.lock:
                self.restarting = False
            if tcp:
                tcp.listen()

        threading.Thread(target=run, daemon=True).start()

    def enter(self, into, load_reply_after=False):
        """The state of the program the module comes back with."""
        with self.lock:
            self.mode = into
            self.pending = bytearray()
            self.sum = 0
            self.prepared_address = None
            self.block_fault = None
            self.uei_expected, self.uei_buffer = 0, bytearray()
            self.pending_load_reply = load_reply_after
            if self.module.serial != DEADDEAD:
                self.own_serial = self.module.serial
            if into == "loader":
                serial = DEADDEAD if self.deaddead else self.own_serial
            else:
                serial = self.own_serial
                build, version = self.next_build, self.next_version
            self.module.serial = serial
        responder = getattr(self.peer, "discovery", None) if self.drops_link else None
        if responder is not None:
            answer = bytearray(responder.answer)
            answer[4:8] = struct.pack("<I", serial)
            responder.answer = bytes(answer)
        system = self.system()
        if into == "app" and system is not None:
            with system.lock:
                if build is not None:
                    system.values[SYSTEM_BUILD] = build & 0xFFFFFFFF
                if version is not None:
                    system.values[SYSTEM_VERSION] = version & 0xFFFFFFFF

    def on_sync_answered(self, session):
        """After a restart, the first connection that syncs gets the held LOAD answer."""
        with self.lock:
            if not self.pending_load_reply or self.restarting:
                return
            self.pending_load_reply = False

        def later():
            time.sleep(0.05)
            self.send(session, [UPGRADE, LOAD])

        threading.Thread(target=later, daemon=True).start()

    # --- control ---

    def status_words(self):
        with self.lock:
            c = dict(self.counts)
            words = ["%s=%d" % (k, c[k]) for k in COUNTERS]
            system = self.system()
            build = version = 0
            if system is not None:
                build = system.value(SYSTEM_BUILD)
                version = system.value(SYSTEM_VERSION)
            words += ["mode=%s" % self.mode, "serial=%08X" % self.module.serial,
                      "build=%d" % build, "version=0x%08X" % version,
                      "pending=%d" % len(self.pending), "address=0x%X" % self.address]
        return " ".join(words)

    def set_pooled(self, on):
        system = self.system()
        if system is None:
            raise RuntimeError("no system entity")
        with system.lock:
            value = system.values.get(SYSTEM_FEATURES, 0)
            value = value | POOLED_BIT if on else value & ~POOLED_BIT
            system.values[SYSTEM_FEATURES] = value & 0xFFFFFFFF


def _number(text):
    return int(text, 0)


def _count_word(words, position=1):
    return int(words[position], 0) if len(words) > position else 1


def _on(words):
    if len(words) < 2 or words[1] not in ("on", "off"):
        raise ValueError("on or off")
    return words[1] == "on"


def _version(text):
    from system_entity import parse_version

    return parse_version(text)


def add_arguments(ap):
    ap.add_argument("--upgrade", action="store_true", help="answer the upgrade entity (0x5F)")
    ap.add_argument("--upgrade-mode", choices=("app", "loader"), default="app",
                    help="start in the application or in a live loader")
    ap.add_argument("--upgrade-base", type=_number, default=0x10000000,
                    help="load base reported by INIT")
    ap.add_argument("--upgrade-block-size", type=_number, default=1024,
                    help="block size reported by PREPARE")
    ap.add_argument("--upgrade-uei", action="store_true",
                    help="accept data as UEI byte strings of option 10")
    ap.add_argument("--upgrade-pooled", action="store_true",
                    help="report protocol feature bit 31 (pooled packets accepted)")
    ap.add_argument("--upgrade-deaddead", action="store_true",
                    help="come back after LOAD under the serial number 0xDEADDEAD")
    ap.add_argument("--upgrade-next-build", type=_number, default=None,
                    help="build reported after REBOOT")
    ap.add_argument("--upgrade-next-version", default=None,
                    help="version reported after REBOOT (2.12.4 or packed)")
    ap.add_argument("--upgrade-drop-ms", type=int, default=20,
                    help="time from LOAD answer / REBOOT to the drop")
    ap.add_argument("--upgrade-down-ms", type=int, default=200,
                    help="time without a listener during a restart")


def attach(peer, args):
    """Gives the peer's module an upgrade entity and registers its control commands."""
    entity = UpgradeEntity(
        peer, enabled=args.upgrade, mode=args.upgrade_mode, base=args.upgrade_base,
        block_size=args.upgrade_block_size, uei=args.upgrade_uei,
        deaddead=args.upgrade_deaddead, next_build=args.upgrade_next_build,
        next_version=None if args.upgrade_next_version is None
        else _version(args.upgrade_next_version),
        drop_ms=args.upgrade_drop_ms, down_ms=args.upgrade_down_ms)
    peer.upgrade = entity
    if args.upgrade_pooled:
        entity.set_pooled(True)

    target = [entity]  # the entity the control commands act on
    behind = {}  # module address -> entity of a module behind the router

    # A held LOAD answer goes out once a new connection has synced.
    original = peer.on_packet

    def on_packet(session, packet):
        original(session, packet)
        if packet.address == 0xAD and not packet.data and not peer.silent:
            for e in [entity] + list(behind.values()):
                e.on_sync_answered(session)

    peer.on_packet = on_packet

    def cmd_behind(words):
        if words[1] == "self":
            target[0] = entity
            return ""
        address = int(words[1], 0)
        if address not in behind:
            routed = peer.routed.get(address)
            if routed is None:
                raise ValueError("no module behind the router at %d" % address)
            behind[address] = UpgradeEntity(
                peer, enabled=True, base=entity.base, block_size=entity.block_size,
                uei=entity.uei, drop_ms=entity.drop_ms, down_ms=entity.down_ms,
                module=routed.module, system=routed.entity, drops_link=False)
        target[0] = behind[address]
        return ""

    def locked(setter):
        def command(words):
            with target[0].lock:
                setter(words)
            return ""
        return command

    def cmd_upgrade(words):
        target[0].enabled = _on(words)
        return ""

    def cmd_mode(words):
        if words[1] not in ("app", "loader"):
            raise ValueError("app or loader")
        target[0].enter(words[1])
        return ""

    def cmd_load_reply(words):
        how = words[1]
        if how not in ("now", "never", "after-reconnect", "late"):
            raise ValueError("now, never, after-reconnect or late MS")
        ms = int(words[2]) if how == "late" else 0
        with target[0].lock:
            target[0].load_reply = (how, ms)
        return ""

    def cmd_next_identity(words):
        build, version = int(words[1], 0), _version(words[2])
        with target[0].lock:
            target[0].next_build, target[0].next_version = build, version
        return ""

    def cmd_fail_block(words):
        address = None if words[1] == "*" else int(words[1], 0)
        times, where = int(words[2], 0), words[3]
        if where not in ("sum", "write"):
            raise ValueError("sum or write")
        with target[0].lock:
            target[0].fail_rules.append([address, times, where])
        return ""

    def cmd_pooled(words):
        target[0].set_pooled(_on(words))
        return ""

    def cmd_status(words):
        return target[0].status_words()

    def cmd_trace(words):
        with target[0].lock:
            head = ["..."] if target[0].trace_dropped else []
            return " ".join(head + list(target[0].trace))

    def cmd_clear(words):
        with target[0].lock:
            target[0].counts = dict.fromkeys(COUNTERS, 0)
            target[0].trace.clear()
            target[0].trace_dropped = 0
        return ""

    def memory(words):
        return target[0].ram if words[0].startswith("ram") else target[0].flash

    def cmd_dump(words):
        with target[0].lock:
            mem = memory(words)
            base, data = mem.image()
            extents = len(mem.extents())
        with open(words[1], "wb") as f:
            f.write(data)
        return "base=0x%X length=%d extents=%d" % (base, len(data), extents)

    def cmd_read(words):
        address, length = int(words[1], 0), int(words[2], 0)
        with target[0].lock:
            return memory(words).read(address, length).hex().upper()

    def cmd_extents(words):
        with target[0].lock:
            return " ".join("%X:%d" % e for e in memory(words).extents())

    def cmd_flash_clear(words):
        with target[0].lock:
            target[0].flash.clear()
            target[0].ram.clear()
        return ""

    def cmd_misbehave_clear(words):
        target[0].clear_misbehaviours()
        return ""

    def setter(attribute, convert):
        def set_value(words):
            setattr(target[0], attribute, convert(words))
        return locked(set_value)

    peer.control_commands.update({
        "upgrade": cmd_upgrade,
        "upgrade-behind": cmd_behind,
        "upgrade-mode": cmd_mode,
        "upgrade-base": setter("base", lambda w: int(w[1], 0)),
        "upgrade-block-size": setter("block_size", lambda w: int(w[1], 0)),
        "upgrade-uei": setter("uei", _on),
        "upgrade-pooled": cmd_pooled,
        "upgrade-deaddead": setter("deaddead", _on),
        "upgrade-next-identity": cmd_next_identity,
        "upgrade-timing": locked(lambda w: (setattr(target[0], "drop_ms", int(w[1])),
                                            setattr(target[0], "down_ms", int(w[2])))),
        "upgrade-load-reply": cmd_load_reply,
        "upgrade-refuse-prepare": setter("refuse_prepare", _count_word),
        "upgrade-corrupt-sum": setter("corrupt_sum", _count_word),
        "upgrade-short-count": setter("short_count", _count_word),
        "upgrade-short-write": setter("short_write", _count_word),
        "upgrade-fail-block": cmd_fail_block,
        "upgrade-misbehave-clear": cmd_misbehave_clear,
        "upgrade-status": cmd_status,
        "upgrade-trace": cmd_trace,
        "upgrade-clear": cmd_clear,
        "flash-dump": cmd_dump,
        "ram-dump": cmd_dump,
        "flash-read": cmd_read,
        "ram-read": cmd_read,
        "flash-extents": cmd_extents,
        "ram-extents": cmd_extents,
        "flash-clear": cmd_flash_clear,
    })
    return entity
