"""Router mode of a peer module, for tests: one peer process plays a router module with
several modules behind it on its I2C device network.

Plugs into module_peer.py: `attach(peer, args)` gives the peer's module an I2C entity
(command 0x08) and makes each module behind it answer the packets addressed to its module
address, with a system entity of its own (system_entity.py), while the router routes to the
host (system option 20 "route to me" set to 1).

I2C entity wire forms (data bytes; the status byte has bit 7 set on failure, its other bits
then being the error code):
    write     08, index, address, length, speed, bytes...  ->  08, index, address, 0, status
    read      08, index, address | 1, length, speed          ->  08, index, address | 1,
                                                                 count, status, bytes...
    pull-up   08, index, 1, on                               ->  08, index, 1, on, status
A write to an address where a module sits succeeds; elsewhere nothing acknowledges it and
the status is 0x86 (I/O error).

Options: --behind ADDR:SERIAL[:MODEL[:VERSION[:BUILD[:NAME]]]] (repeatable) turns router
mode on. --router-forward lets the modules behind hear their packets whatever route-to-me
says (a router that always forwards what is addressed to its modules). Control commands:
    router on|off               I2C entity and routing on or off
    router-add ADDR SERIAL [MODEL [VERSION [BUILD [NAME]]]]
    router-probes               the addresses written to, in order, as hex bytes
    router-probes-clear
    i2c-status N|natural        status byte of every transfer (natural: as above)
    i2c-data HEX                bytes that reads return
    i2c-last                    the data bytes of the last I2C request, as hex
"""

import sys
import threading

from system_entity import SystemEntity, OPT

I2C = 0x08
STATUS_NACK = 0x86
PULLUP = 1


class RoutedModule:
    """A module behind the router; it hears its packets only while the router routes."""

    def __init__(self, router, module, entity):
        self.router = router
        self.module = module
        self.entity = entity

    def handle(self, session, packet):
        if self.router.enabled and self.router.routing():
            self.module.handle(session, packet)


class Router:
    def __init__(self, peer, enabled=False):
        self.peer = peer
        self.module = peer.module
        self.Packet = sys.modules[type(peer.module).__module__].Packet
        self.ModuleClass = type(peer.module)
        self.enabled = enabled
        self.lock = threading.Lock()
        self.probes = []
        self.forward = False
        self.forced_status = None
        self.read_data = b""
        self.last_request = b""
        self.pullup = 0
        if not hasattr(peer, "routed"):
            peer.routed = {}
        self.module.handlers[I2C] = self.handle_i2c

    def routing(self):
        if self.forward:
            return True
        system = getattr(self.peer, "system", None)
        return system is not None and system.value(OPT["route_to_me"]) == 1

    def add(self, address, serial, model=0x13, version="2.10.4", build=1000, name=""):
        if address == 0 or address & 1:
            raise ValueError("a module address is even and nonzero")
        module = self.ModuleClass(self.peer, serial, address, model)
        entity = SystemEntity(module, version=version, build=build, name=name.encode(),
                              router=self.module.address, enabled=True)
        self.peer.routed[address] = RoutedModule(self, module, entity)

    def status_for(self, natural):
        with self.lock:
            return natural if self.forced_status is None else self.forced_status

    def send(self, session, data):
        session.send_packet(self.Packet(self.module.address, bytes(data)))

    def handle_i2c(self, session, packet):
        if not self.enabled:
            return False
        d = packet.data
        with self.lock:
            self.last_request = bytes(d)
        if len(d) < 4:
            return True
        index, address = d[1], d[2]
        bad_index = 0 if index == 0 else 0x80 | 28  # invalid entity
        if len(d) == 4 and address == PULLUP:
            self.pullup = d[3]
            self.send(session, [I2C, index, PULLUP, d[3], self.status_for(bad_index)])
        elif address & 1 and len(d) == 5:
            with self.lock:
                data = self.read_data[: d[3]]
            status = self.status_for(bad_index)
            self.send(session, [I2C, index, address, len(data), status] + list(data))
        elif len(d) >= 5 and len(d) == 5 + d[3]:
            with self.lock:
                self.probes.append(address)
            present = address in self.peer.routed
            natural = bad_index or (0 if present else STATUS_NACK)
            self.send(session, [I2C, index, address, 0, self.status_for(natural)])
        return True


def parse_behind(text):
    parts = text.split(":")
    if len(parts) < 2:
        raise ValueError("--behind ADDR:SERIAL[:MODEL[:VERSION[:BUILD[:NAME]]]]")
    address, serial = int(parts[0], 0), int(parts[1], 0)
    model = int(parts[2], 0) if len(parts) > 2 and parts[2] else 0x13
    version = parts[3] if len(parts) > 3 and parts[3] else "2.10.4"
    build = int(parts[4], 0) if len(parts) > 4 and parts[4] else 1000
    name = ":".join(parts[5:]) if len(parts) > 5 else ""
    return address, serial, model, version, build, name


def add_arguments(ap):
    ap.add_argument("--behind", action="append", default=[],
                    help="a module behind this router: ADDR:SERIAL[:MODEL[:VERSION[:BUILD"
                         "[:NAME]]]] (router mode)")
    ap.add_argument("--router-forward", action="store_true",
                    help="modules behind hear their packets also while route-to-me is 0")


def attach(peer, args):
    router = Router(peer, enabled=bool(args.behind))
    router.forward = args.router_forward
    peer.router = router
    for text in args.behind:
        router.add(*parse_behind(text))

    def cmd_router(words):
        router.enabled = words[1] == "on"
        return ""

    def cmd_add(words):
        address, serial = int(words[1], 0), int(words[2], 0)
        model = int(words[3], 0) if len(words) > 3 else 0x13
        version = words[4] if len(words) > 4 else "2.10.4"
        build = int(words[5], 0) if len(words) > 5 else 1000
        name = " ".join(words[6:]) if len(words) > 6 else ""
        router.add(address, serial, model, version, build, name)
        return ""

    def cmd_probes(words):
        with router.lock:
            return " ".join("%02X" % a for a in router.probes)

    def cmd_probes_clear(words):
        with router.lock:
            router.probes = []
        return ""

    def cmd_status(words):
        with router.lock:
            router.forced_status = None if words[1] == "natural" else int(words[1], 0) & 0xFF
        return ""

    def cmd_data(words):
        with router.lock:
            router.read_data = bytes.fromhex("".join(words[1:]))
        return ""

    def cmd_last(words):
        with router.lock:
            return " ".join("%02X" % b for b in router.last_request)

    peer.control_commands.update({
        "router": cmd_router,
        "router-add": cmd_add,
        "router-probes": cmd_probes,
        "router-probes-clear": cmd_probes_clear,
        "i2c-status": cmd_status,
        "i2c-data": cmd_data,
        "i2c-last": cmd_last,
    })
    return router
