"""The system entity of a peer module, its module queries and the echo test, for tests.

Plugs into module_peer.py: `attach(peer, args)` gives `peer.module` a SystemEntity (command
0x03), answers module queries (command 0x49) and the echo test (command 0x17), and registers
the control commands below. The entity only answers while it is on (--system, or the control
command "system on"); a module without it answers none of these commands.

Wire forms (data bytes of a packet from / to the module's address):
    get      03, option + 0x40, index + 0x20 [, subindex]   ->  03, option, index, value
    set      03, option + 0x80, index + 0x20, value          ->  03, option + 0xC0, index
    refusal  the reply above with bit 7 of the index byte set and one byte: the error code
    strings  pieces of up to 24 value bytes, each followed by a sequence byte (bit 7: more
             follow, bits 0..6: number), in both directions
    values   16-bit and 32-bit values most significant byte first
    queries  49 FF -> 49 FF build(4); 49 01 c o i f -> 49 01 c o i verdict;
             49 04 c -> 49 04 c n; 49 05 c i -> 49 05 c i n; 49 06 c i -> 49 06 c i group
    echo     17 data... -> 17 data...

Control commands:
    system on|off               answers system, query and echo commands (or stays silent)
    sys-set KEY VALUE           sets a value (keys: see VALUE_KEYS; version as 2.10.4 or a
                                number; name as text, "-" for empty; uid as four numbers)
    sys-get KEY                 the value
    sys-refuse OPTION CODE      refuses the option with CODE (0 stops refusing)
    sys-ack-delay MS            waits MS before acknowledging a set
    sys-count                   counters: resets, saves, sets, gets
"""

import struct
import sys
import threading
import time

SYSTEM = 0x03
MODULE_QUERY = 0x49
ECHO = 0x17
ENTITY_STORE = 0x5C

ERR_MEMORY = 1
ERR_INVALID_OPTION = 29
ERR_INVALID_ENTITY = 28

GET = 0x40
SET = 0x80
ACK = 0xC0
REQUEST = 0x20
ERROR = 0x80
CHUNK = 24

# Option codes.
OPT = {
    "module": 1, "router": 2, "hb_interval": 3, "led": 4, "boot_slot": 6, "version": 7,
    "model": 8, "serial": 9, "save": 10, "reset": 11, "input_voltage": 12,
    "hardware_offset": 13, "base_address": 14, "software_offset": 15, "router_setting": 16,
    "route_to_me": 20, "input_current": 21, "uptime": 22, "max_temperature": 23,
    "log_events": 24, "unregulated_voltage": 25, "unregulated_current": 26,
    "temperature": 27, "min_temperature": 28, "power_source": 29, "power_behavior": 30,
    "power_behavior_config": 31, "name": 32, "power_limit": 33, "power_limit_max": 34,
    "power_limit_state": 35, "factory_reset": 37, "link_interface": 38, "uid": 39,
    "hardware_version": 40, "errors": 41, "led_max_brightness": 42, "build": 43,
    "protocol_features": 45,
}

BYTE_OPTIONS = {1, 2, 3, 4, 6, 8, 13, 14, 15, 16, 20, 29, 30, 38, 42}
INT_OPTIONS = {7, 9, 12, 21, 22, 23, 25, 26, 27, 28, 33, 34, 35, 40, 41, 43, 45}
CALL_OPTIONS = {10, 11, 24, 37}
STRING_OPTIONS = {31, 32}
SETTABLE = {2, 3, 4, 6, 15, 20, 30, 31, 32, 34, 38, 42}

VALUE_KEYS = sorted(k for k, o in OPT.items() if o not in CALL_OPTIONS)


def pack_version(major, minor, patch):
    """The packed 32-bit version: legacy layout up to 2.14, current layout (0x2F tag) after."""
    if major > 2 or (major == 2 and minor > 14):
        return 0x2F000000 | (major & 0xFF) << 16 | (minor & 0xFF) << 8 | (patch & 0xFF)
    return (major & 0x0F) << 28 | (minor & 0x0F) << 24 | (patch & 0xFF)


def parse_version(text):
    if "." in text:
        major, minor, patch = (int(x) for x in text.split("."))
        return pack_version(major, minor, patch)
    return int(text, 0) & 0xFFFFFFFF


def string_pieces(data):
    """A byte string as the value parts of its packets, each with its sequence byte."""
    pieces = []
    number = 0
    offset = 0
    while True:
        chunk = data[offset:offset + CHUNK]
        offset += len(chunk)
        more = offset < len(data)
        pieces.append(bytes(chunk) + bytes([(number & 0x7F) | (0x80 if more else 0)]))
        number = (number + 1) & 0x7F
        if not more:
            return pieces


class SystemEntity:
    """One module's system entity with its values; also answers module queries and echo."""

    def __init__(self, module, version="2.10.4", build=1000, name=b"", router=None,
                 protocol_features=0, enabled=False):
        self.module = module
        # The peer's packet class: one with an address, data bytes and image().
        self.Packet = sys.modules[type(module).__module__].Packet
        self.enabled = enabled
        self.lock = threading.Lock()
        self.values = {o: 0 for o in BYTE_OPTIONS | INT_OPTIONS}
        self.values[OPT["version"]] = parse_version(version)
        self.values[OPT["build"]] = build & 0xFFFFFFFF
        self.values[OPT["protocol_features"]] = protocol_features & 0xFFFFFFFF
        self.values[OPT["router"]] = module.address if router is None else router
        self.values[OPT["temperature"]] = 25000
        self.strings = {OPT["name"]: bytes(name), OPT["power_behavior_config"]: b""}
        self.uid = [0x11111111, 0x22222222, 0x33333333, 0x44444444]
        self.refusals = {}
        self.ack_delay = 0.0
        self.incoming = {}  # option -> (expected sequence, bytes so far) of a string being set
        self.counts = {"resets": 0, "saves": 0, "sets": 0, "gets": 0, "stores": 0}
        module.handlers[SYSTEM] = self.handle_system
        module.handlers[MODULE_QUERY] = self.handle_query
        module.handlers[ECHO] = self.handle_echo
        module.handlers[ENTITY_STORE] = self.handle_store

    # Live values that follow the module's own identity.
    def value(self, option):
        if option == OPT["module"]:
            return self.module.address
        if option == OPT["serial"]:
            return self.module.serial
        if option == OPT["model"]:
            return self.module.model
        return self.values.get(option, 0)

    def send(self, session, data):
        session.send_packet(self.Packet(self.module.address, bytes(data)))

    def refuse(self, session, command, option_byte, index, code):
        self.send(session, [command, option_byte, (index & 0x1F) | ERROR, code & 0xFF])

    # --- system entity ---

    def handle_system(self, session, packet):
        if not self.enabled:
            return False
        data = packet.data
        if len(data) < 3:
            return True
        option_byte, index = data[1], data[2] & 0x1F
        option = option_byte & 0x3F
        kind = option_byte & 0xC0
        if kind == GET:
            self.on_get(session, option, index, data[3:])
        elif kind == SET:
            self.on_set(session, option, index, data[3:])
        return True

    def on_get(self, session, option, index, rest):
        with self.lock:
            self.counts["gets"] += 1
            refusal = self.refusals.get(option)
        if index != 0:
            return self.refuse(session, SYSTEM, option, index, ERR_INVALID_ENTITY)
        if refusal:
            return self.refuse(session, SYSTEM, option, index, refusal)
        head = [SYSTEM, option, index]
        if option in BYTE_OPTIONS:
            self.send(session, head + [self.value(option) & 0xFF])
        elif option in INT_OPTIONS:
            self.send(session, head + list(struct.pack(">I", self.value(option) & 0xFFFFFFFF)))
        elif option == OPT["uid"] and len(rest) == 1 and rest[0] < 4:
            self.send(session, head + list(struct.pack(">I", self.uid[rest[0]])))
        elif option in STRING_OPTIONS:
            for piece in string_pieces(self.strings[option]):
                self.send(session, head + list(piece))
        else:
            self.refuse(session, SYSTEM, option, index, ERR_INVALID_OPTION)

    def on_set(self, session, option, index, rest):
        ack = option | ACK
        with self.lock:
            refusal = self.refusals.get(option)
        if index != 0:
            return self.refuse(session, SYSTEM, ack, index, ERR_INVALID_ENTITY)
        if option in STRING_OPTIONS:
            if not rest:
                return
            sequence = rest[-1]
            expected, so_far = self.incoming.get(option, (0, b""))
            if (sequence & 0x7F) != expected:
                self.incoming.pop(option, None)
                return self.refuse(session, SYSTEM, ack, index, ERR_MEMORY)
            so_far += bytes(rest[:-1])
            if sequence & 0x80:
                self.incoming[option] = ((expected + 1) & 0x7F, so_far)
                return
            self.incoming.pop(option, None)
            if not refusal:
                with self.lock:
                    self.strings[option] = so_far
        elif refusal:
            pass
        elif option in CALL_OPTIONS:
            with self.lock:
                if option == OPT["reset"]:
                    self.counts["resets"] += 1
                elif option == OPT["save"]:
                    self.counts["saves"] += 1
        elif option in SETTABLE and option in BYTE_OPTIONS and len(rest) == 1:
            with self.lock:
                self.values[option] = rest[0]
        elif option in SETTABLE and option in INT_OPTIONS and len(rest) == 4:
            with self.lock:
                self.values[option] = struct.unpack(">I", bytes(rest))[0]
        else:
            refusal = ERR_INVALID_OPTION
        with self.lock:
            self.counts["sets"] += 1
            delay = self.ack_delay
        if delay:
            time.sleep(delay)
        if refusal:
            return self.refuse(session, SYSTEM, ack, index, refusal)
        self.send(session, [SYSTEM, ack, index])

    # --- entity store (save, reset, load of one entity) ---

    def handle_store(self, session, packet):
        if not self.enabled:
            return False
        data = packet.data
        if len(data) == 7 and data[1] & 0xC0 == SET:
            with self.lock:
                self.counts["stores"] += 1
            self.send(session, [ENTITY_STORE, (data[1] & 0x3F) | ACK, data[2] & 0x1F])
        return True

    # --- module queries and echo ---

    def handle_query(self, session, packet):
        if not self.enabled:
            return False
        d = packet.data
        if len(d) == 2 and d[1] == 0xFF:
            self.send(session, [MODULE_QUERY, 0xFF] + list(struct.pack(">I", self.value(43))))
        elif len(d) == 6 and d[1] == 1:
            command, option, index, flags = d[2], d[3], d[4], d[5]
            known = command == SYSTEM and index == 0 and option in set(OPT.values())
            if flags == SET:
                known = known and (option in SETTABLE or option in CALL_OPTIONS)
            verdict = 0 if known else ERR_INVALID_OPTION
            self.send(session, list(d[:5]) + [verdict])
        elif len(d) == 3 and d[1] == 4:
            self.send(session, list(d) + [1 if d[2] == SYSTEM else 0])
        elif len(d) == 4 and d[1] == 5:
            self.send(session, list(d) + [0])
        elif len(d) == 4 and d[1] == 6:
            self.send(session, list(d) + [d[2]])
        return True

    def handle_echo(self, session, packet):
        if not self.enabled:
            return False
        self.send(session, packet.data)
        return True

    # --- control commands ---

    def set_key(self, key, words):
        if key not in OPT or OPT[key] in CALL_OPTIONS:
            raise ValueError("unknown key " + key)
        option = OPT[key]
        with self.lock:
            if key == "version":
                self.values[option] = parse_version(words[0])
            elif key == "name":
                self.strings[option] = b"" if words[0] == "-" else " ".join(words).encode()
            elif key == "power_behavior_config":
                self.strings[option] = bytes.fromhex("".join(words))
            elif key == "uid":
                self.uid = [int(w, 0) & 0xFFFFFFFF for w in words[:4]]
            elif key == "module":
                self.module.address = int(words[0], 0)
            elif key == "serial":
                self.module.serial = int(words[0], 0) & 0xFFFFFFFF
            elif key == "model":
                self.module.model = int(words[0], 0) & 0xFF
            else:
                self.values[option] = int(words[0], 0) & 0xFFFFFFFF

    def get_key(self, key):
        if key not in OPT:
            raise ValueError("unknown key " + key)
        option = OPT[key]
        with self.lock:
            if option in STRING_OPTIONS:
                return self.strings[option].hex().upper() or "-"
            if key == "uid":
                return " ".join("0x%08X" % w for w in self.uid)
            return "%d" % self.value(option)


def add_arguments(ap):
    ap.add_argument("--system", action="store_true",
                    help="answer the system entity, module queries and the echo test")
    ap.add_argument("--fw-version", default="2.10.4", help="firmware version (2.10.4 or packed)")
    ap.add_argument("--build", type=lambda t: int(t, 0), default=1000, help="firmware build")
    ap.add_argument("--name", default="", help="device name stored in the module")


def attach(peer, args):
    """Gives the peer's module a system entity and registers its control commands."""
    entity = SystemEntity(peer.module, version=args.fw_version, build=args.build,
                          name=args.name.encode(), enabled=args.system)
    peer.system = entity

    def cmd_system(words):
        entity.enabled = words[1] == "on"
        return ""

    def cmd_set(words):
        entity.set_key(words[1], words[2:])
        return ""

    def cmd_get(words):
        return entity.get_key(words[1])

    def cmd_refuse(words):
        option, code = int(words[1], 0), int(words[2], 0)
        with entity.lock:
            if code:
                entity.refusals[option] = code
            else:
                entity.refusals.pop(option, None)
        return ""

    def cmd_ack_delay(words):
        with entity.lock:
            entity.ack_delay = int(words[1]) / 1000.0
        return ""

    def cmd_count(words):
        with entity.lock:
            return " ".join("%s=%d" % kv for kv in sorted(entity.counts.items()))

    peer.control_commands.update({
        "system": cmd_system,
        "sys-set": cmd_set,
        "sys-get": cmd_get,
        "sys-refuse": cmd_refuse,
        "sys-ack-delay": cmd_ack_delay,
        "sys-count": cmd_count,
    })
    return entity
