#!/usr/bin/env python3
"""A stand-in update server for tests: answers the query protocol over HTTP.

Every request is a GET on the base path (default "/cgi/u") with the operation in the
"op" key of the query string; every answer is lines of text, the first "ok" on success.

    update_server.py --data devices.json [--birds DIR] [--log requests.log]
                     [--port 0] [--port-file FILE] [--misbehave OP=MODE ...]
                     [--tls-cert CERT --tls-key KEY]

devices.json:
    {
      "devices": {
        "40F5849A": {
          "firmware": "CVT-HUB8",             # firmware identifier (op=qu line 3)
          "latest": "99528558",               # current build (op=qu line 2)
          "builds": {"99528558": "2.12.4"},   # op=builds entries "build;version"
          "build_lines": ["100;2.0.1"],       # or: raw lines instead of "builds"
          "jwt": "aa.bb.cc"                   # op=ent_jwt line 2
        }
      },
      "recovery": {                           # op=fix, keyed by the fingerprint words
        "00000001 00000002 00000003 00000004": {"serial": "40F5849A", "build": "99528558"}
      }
    }

op=bird answers with the Base64 of DIR/<bld>.bird when the device exists and "fw" names
its firmware identifier (builds the list does not offer are served too).

Misbehaviour, per operation ("hi", "qu", "bird", "builds", "fix", "ent_jwt") or "*":
    500       status 500 with the body "ok"
    404       status 404 with the body "not here"
    nook      status 200, first line "error"
    okay      the proper answer with its first line "okay"
    OK        the proper answer with its first line "OK"
    empty     status 200, empty body
    pieces    the proper answer, sent in several pieces with pauses
    truncate  the proper answer with its second line one character short
    stall     status 200 and the headers of the answer, then silence
    slow      the proper answer at --rate bytes per second

Every request line (path and query, exactly as received) is appended to the log file, one
per line, before it is answered. The chosen port is printed as "PORT <n>" on the standard
output and written to --port-file when given.
"""

import argparse
import base64
import json
import os
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import unquote


def parse_query(query):
    """Splits a query string at "&" and "=" and undoes URL escapes in the values."""
    params = {}
    for part in query.split("&"):
        if not part:
            continue
        key, _, value = part.partition("=")
        params[unquote(key)] = unquote(value)
    return params


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address, args):
        super().__init__(address, Handler)
        self.args = args
        with open(args.data, "r", encoding="utf-8") as f:
            self.data = json.load(f)
        self.misbehave = {}
        for item in args.misbehave or []:
            op, _, mode = item.partition("=")
            self.misbehave[op] = mode
        self.log_lock = threading.Lock()

    def mode_for(self, op):
        return self.misbehave.get(op, self.misbehave.get("*", ""))

    def log_request_line(self, line):
        if not self.args.log:
            return
        with self.log_lock:
            with open(self.args.log, "a", encoding="utf-8") as f:
                f.write(line + "\n")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, format, *args):  # keep the test output quiet
        pass

    def do_GET(self):
        server = self.server
        server.log_request_line(self.path)
        path, _, query = self.path.partition("?")
        if path != server.args.path:
            self.send_body(404, b"not here\n")
            return
        params = parse_query(query)
        op = params.get("op", "")
        status, body = self.answer(op, params)
        self.deliver(server.mode_for(op), status, body)

    # -- answers -----------------------------------------------------------------------

    def device(self, params):
        return self.server.data.get("devices", {}).get(params.get("sn", ""))

    def answer(self, op, params):
        if op == "hi":
            return 200, "ok\n"
        if op == "qu":
            dev = self.device(params)
            if dev is None:
                return 200, "error unknown device\n"
            return 200, "ok\n%s\n%s\n" % (dev.get("latest", ""), dev.get("firmware", ""))
        if op == "builds":
            dev = self.device(params)
            if dev is None:
                return 200, "error unknown device\n"
            if "build_lines" in dev:
                lines = dev["build_lines"]
            else:
                lines = ["%s;%s" % (b, v) for b, v in dev.get("builds", {}).items()]
            return 200, "ok\n" + "".join(line + "\n" for line in lines)
        if op == "bird":
            dev = self.device(params)
            if dev is None:
                return 200, "error unknown device\n"
            if params.get("fw") != dev.get("firmware"):
                return 200, "error wrong firmware\n"
            if params.get("no_cal") not in ("true", "false"):
                return 200, "error bad no_cal\n"
            name = os.path.join(self.server.args.birds or ".", "%s.bird" % params.get("bld", ""))
            if not params.get("bld", "").isdigit() or not os.path.isfile(name):
                return 200, "error no such build\n"
            with open(name, "rb") as f:
                data = f.read()
            return 200, "ok\n" + base64.b64encode(data).decode("ascii") + "\n"
        if op == "fix":
            rec = self.server.data.get("recovery", {}).get(params.get("fp", ""))
            if rec is None or params.get("brief") != "true":
                return 200, "error unknown chip\n"
            return 200, "ok\n%s\n%s\n" % (rec.get("serial", ""), rec.get("build", ""))
        if op == "ent_jwt":
            dev = self.device(params)
            if dev is None or "jwt" not in dev:
                return 200, "error no token\n"
            return 200, "ok\n%s\n" % dev["jwt"]
        return 200, "error unknown operation\n"

    # -- delivery ----------------------------------------------------------------------

    def send_head(self, status, length):
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(length))
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True

    def send_body(self, status, data):
        self.send_head(status, len(data))
        self.wfile.write(data)
        self.wfile.flush()

    def deliver(self, mode, status, body):
        args = self.server.args
        if mode == "500":
            self.send_body(500, b"ok\n")
        elif mode == "404":
            self.send_body(404, b"not here\n")
        elif mode == "nook":
            self.send_body(200, b"error\n")
        elif mode in ("okay", "OK"):
            rest = body.split("\n", 1)[1] if "\n" in body else ""
            self.send_body(status, (mode + "\n" + rest).encode("ascii"))
        elif mode == "empty":
            self.send_body(200, b"")
        elif mode == "truncate":
            lines = body.split("\n")
            if len(lines) > 1 and lines[1]:
                lines[1] = lines[1][:-1]
            self.send_body(status, "\n".join(lines).encode("ascii"))
        elif mode == "pieces":
            data = body.encode("ascii")
            self.send_head(status, len(data))
            self.wfile.flush()
            step = max(1, (len(data) + 3) // 4)
            for i in range(0, len(data), step):
                self.wfile.write(data[i:i + step])
                self.wfile.flush()
                time.sleep(0.05)
        elif mode == "stall":
            data = body.encode("ascii")
            self.send_head(status, len(data))
            self.wfile.flush()
            time.sleep(args.stall_seconds)
        elif mode == "slow":
            data = body.encode("ascii")
            self.send_head(status, len(data))
            chunk = max(1, args.rate // 20)
            for i in range(0, len(data), chunk):
                self.wfile.write(data[i:i + chunk])
                self.wfile.flush()
                time.sleep(0.05)
        else:
            self.send_body(status, body.encode("ascii"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--data", required=True)
    parser.add_argument("--birds")
    parser.add_argument("--log")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file")
    parser.add_argument("--path", default="/cgi/u")
    parser.add_argument("--misbehave", action="append", metavar="OP=MODE")
    parser.add_argument("--stall-seconds", type=float, default=60.0)
    parser.add_argument("--rate", type=int, default=1 << 20, help="bytes per second for 'slow'")
    parser.add_argument("--tls-cert", help="serve HTTPS with this certificate (PEM)")
    parser.add_argument("--tls-key", help="private key of --tls-cert (PEM)")
    args = parser.parse_args()

    server = Server(("127.0.0.1", args.port), args)
    if args.tls_cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls_cert, args.tls_key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    port = server.server_address[1]
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w", encoding="ascii") as f:
            f.write("%d\n" % port)
        os.replace(tmp, args.port_file)
    print("PORT %d" % port, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
