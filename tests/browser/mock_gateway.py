#!/usr/bin/env python3
"""A stand-in for the gateway's web port, for working on web/ without the
gateway: serves the page and speaks its JSON protocol on /live with made-up
traffic. Standard library only; its WebSocket is the least that a
browser needs (text frames, ping, close).

    python3 tests/browser/mock_gateway.py --port 8080            # key "test-key"
    python3 tests/browser/mock_gateway.py --port 8080 --no-key   # read-only
"""

import argparse
import base64
import hashlib
import http.server
import json
import os
import random
import socket
import struct
import threading
import time

WEB_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "web")
FILES = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/monitor.js": ("monitor.js", "text/javascript; charset=utf-8"),
    "/monitor.css": ("monitor.css", "text/css; charset=utf-8"),
}
# The policy the gateway sends, so that the page breaks here as it would there.
CSP = ("default-src 'self'; connect-src 'self'; img-src 'self' data:; style-src 'self'; "
       "script-src 'self'; frame-ancestors 'none'")
WS_GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
MAX_ROWS = 500
SAMPLES = 111

# A few frames of a small installation: hex code, source text, colour, icon.
FRAMES = [
    ("0FFB0140B504", "$01 Scan", "#149614", "bus"),
    ("0FF8010201F704", "$01 Button pressed", "#149614", "bus"),
    ("0FF8020400000904", "$02 Relay status", "#149614", "bus"),
    ("0FFB2440D904", "$24 Scan", "#149614", "bus"),
    ("0FFB0F020FF8E104", "$0F Memory block", "#149614", "bus"),
    ("0FF8110300FF01E904", "$11 Dimmer status", "#149614", "bus"),
    ("0FFB010202FB04", "192.168.1.20:50611", "#1414C8", "client"),
    ("0FF80502AA0104", "$05 Bad checksum", "#C81414", "bus_bad"),
    ("0FFB03AB", "192.168.1.21:50720 Short frame", "#C81414", "client_bad"),
]


def now_text(with_hundredths=True):
    t = time.time()
    s = time.strftime("%H:%M:%S", time.localtime(t))
    return s + ".%02d" % int((t % 1) * 100) if with_hundredths else s


def date_text():
    return time.strftime("%Y-%m-%d %H:%M:%S")


class WebSocket:
    """One accepted browser connection: text frames out, text frames in."""

    def __init__(self, sock, rfile):
        self.sock = sock
        self.rfile = rfile
        self.lock = threading.Lock()
        self.closed = False

    def _send_frame(self, opcode, payload):
        head = bytes([0x80 | opcode])
        n = len(payload)
        if n < 126:
            head += bytes([n])
        elif n < 65536:
            head += bytes([126]) + struct.pack("!H", n)
        else:
            head += bytes([127]) + struct.pack("!Q", n)
        with self.lock:
            if self.closed:
                return
            try:
                self.sock.sendall(head + payload)
            except OSError:
                self.closed = True

    def send(self, obj):
        self._send_frame(0x1, json.dumps(obj).encode())

    def close(self, code=1000):
        self._send_frame(0x8, struct.pack("!H", code))
        self.drop()

    def drop(self):
        """Gone without a word, as a broken link looks to the browser."""
        with self.lock:
            self.closed = True
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def _read(self, n):
        data = self.rfile.read(n)
        if len(data) < n:
            raise EOFError
        return data

    def receive(self):
        """The next text message, or None once the browser has gone."""
        message = b""
        try:
            while True:
                b0, b1 = self._read(2)
                opcode = b0 & 0x0F
                n = b1 & 0x7F
                if n == 126:
                    n = struct.unpack("!H", self._read(2))[0]
                elif n == 127:
                    n = struct.unpack("!Q", self._read(8))[0]
                mask = self._read(4) if b1 & 0x80 else b"\0\0\0\0"
                payload = bytes(c ^ mask[i % 4] for i, c in enumerate(self._read(n)))
                if opcode == 0x8:
                    self.close()
                    return None
                if opcode == 0x9:
                    self._send_frame(0xA, payload)
                    continue
                if opcode in (0x0, 0x1, 0x2):
                    message += payload
                    if b0 & 0x80:
                        return message.decode("utf-8", "replace")
        except (EOFError, OSError, ValueError):
            self.drop()
            return None


class MockGateway:
    def __init__(self, port=0, key="test-key", row_interval=0.1, host="127.0.0.1"):
        self.key = key  # None: no AuthKey, read-only browsers
        self.row_interval = row_interval
        self.lock = threading.RLock()
        self.title = "Quillon 3.25"
        self.rows = []  # newest first
        self.clients = [
            {"id": 17, "icon": "live", "address": "192.168.1.20:50611",
             "start": date_text(), "end": "", "errors": "0"},
            {"id": 18, "icon": "live", "address": "192.168.1.21:50720",
             "start": date_text(), "end": "", "errors": "2"},
            {"id": 12, "icon": "ended", "address": "192.168.1.30:49152",
             "start": "2026-12-08 09:12:40", "end": "2026-12-08 09:20:02", "errors": "0"},
        ]
        self.status = ["UpTime: 0y 0m 0d and 00:00:00", "V:0", "N:2", "/dev/ttyACM0 (38400)",
                       "Ethernet port 6000", now_text(False), "A:0"]
        self.rates = {"rx": "0.0", "tx": "0.0"}
        self.history = [[0, 0] for _ in range(SAMPLES)]
        self.controls = {"delay": False, "debug": False}
        self.views = set()  # connections that had their state
        self.bus_frames = 0
        self.started = time.time()
        self.stopping = threading.Event()
        self.random = random.Random(1)
        self.rows.insert(0, {"icon": "none", "time": now_text(), "hex": "", "ln": "", "cs": "",
                             "source": "Quillon started", "colour": "#000000", "background": False})
        for _ in range(8):
            self.rows.insert(0, self._made_row())

        gateway = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                path = self.path.split("?", 1)[0]
                if path == "/live":
                    gateway._serve_socket(self)
                elif path == "/save":
                    gateway._serve_save(self)
                elif path in FILES:
                    name, kind = FILES[path]
                    with open(os.path.join(WEB_DIR, name), "rb") as f:
                        body = f.read()
                    self._reply(200, kind, body)
                else:
                    self._reply(404, "text/plain; charset=utf-8", b"not found\n")

            def _reply(self, code, kind, body, extra=()):
                self.send_response(code)
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Content-Security-Policy", CSP)
                self.send_header("X-Content-Type-Options", "nosniff")
                self.send_header("Cache-Control", "no-store")
                for name, value in extra:
                    self.send_header(name, value)
                self.end_headers()
                self.wfile.write(body)

        class Server(http.server.ThreadingHTTPServer):
            daemon_threads = True
            allow_reuse_address = True

        self.server = Server((host, port), Handler)
        self.port = self.server.server_address[1]
        self.url = "http://%s:%d/" % (host, self.port)

    # ---- life ----

    def start(self):
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        threading.Thread(target=self._traffic, daemon=True).start()
        return self

    def stop(self):
        if self.stopping.is_set():
            return
        self.stopping.set()
        self.drop_all()
        self.server.shutdown()
        self.server.server_close()

    # ---- what a test may do to the browsers ----

    def broadcast(self, message):
        with self.lock:
            for view in list(self.views):
                view.send(message)

    def drop_all(self):
        with self.lock:
            views = list(self.views)
            self.views.clear()
        for view in views:
            view.drop()

    def set_title(self, text):
        with self.lock:
            self.title = text
            self.broadcast({"type": "title", "text": text})

    def message(self, title, text, icon="information"):
        self.broadcast({"type": "message", "title": title, "text": text, "icon": icon})

    # ---- the page's connection ----

    def _state(self):
        return {"type": "state", "title": self.title, "authorised": self.key is not None,
                "rows": list(self.rows), "clients": list(self.clients),
                "status": list(self.status), "rates": dict(self.rates),
                "history": [list(s) for s in self.history], "controls": dict(self.controls)}

    def _serve_socket(self, handler):
        h = handler.headers
        key = h.get("Sec-WebSocket-Key")
        if "websocket" not in h.get("Upgrade", "").lower() or not key:
            handler._reply(400, "text/plain; charset=utf-8", b"a WebSocket is expected here\n")
            return
        accept = base64.b64encode(hashlib.sha1((key + WS_GUID).encode()).digest()).decode()
        handler.send_response(101)
        handler.send_header("Upgrade", "websocket")
        handler.send_header("Connection", "Upgrade")
        handler.send_header("Sec-WebSocket-Accept", accept)
        handler.end_headers()
        handler.close_connection = True
        ws = WebSocket(handler.connection, handler.rfile)
        ws.send({"type": "hello", "key_required": self.key is not None})
        if self.key is not None:
            first = ws.receive()
            try:
                given = json.loads(first)["key"] if first else None
            except (ValueError, KeyError, TypeError):
                given = None
            if given != self.key:
                ws.send({"type": "refused", "reason": "wrong key"})
                ws.close(1008)
                return
        with self.lock:
            # The state and the joining happen under one lock: no row is lost between.
            ws.send(self._state())
            self.views.add(ws)
        while True:
            text = ws.receive()
            if text is None:
                break
            try:
                self._control(json.loads(text))
            except (ValueError, TypeError, KeyError):
                pass
        with self.lock:
            self.views.discard(ws)

    def _control(self, m):
        if self.key is None:
            return  # read-only browsers change nothing
        what = m.get("control")
        with self.lock:
            if what == "clear":
                self.rows = []
                self.broadcast({"type": "clear"})
            elif what == "save":
                self.message("Save", "The list was saved to Quillon.log.")
            elif what in ("delay", "debug"):
                self.controls[what] = m.get("checked") is True
                self.broadcast({"type": "control", "name": what, "checked": self.controls[what]})
            elif what in ("disconnect", "disconnect_all"):
                for c in self.clients:
                    if c["icon"] == "live" and (what == "disconnect_all" or c["id"] == m.get("client")):
                        c["icon"] = "ended"
                        c["end"] = date_text()
                self.broadcast({"type": "clients", "clients": list(self.clients)})

    def _serve_save(self, handler):
        if self.key is not None and handler.headers.get("Authorization") != "Bearer " + self.key:
            handler._reply(401, "text/plain; charset=utf-8", b"a key is needed\n")
            return
        with self.lock:
            lines = ["%s\t%s\t%s\t%s\t%s" % (r["time"], r["hex"], r["ln"], r["cs"], r["source"])
                     for r in reversed(self.rows)]
        body = ("\r\n".join(lines) + "\r\n").encode()
        name = "Quillon_%s.log" % time.strftime("%Y%m%d_%H%M%S")
        handler._reply(200, "text/plain; charset=utf-8", body,
                       [("Content-Disposition", 'attachment; filename="%s"' % name)])

    # ---- made-up traffic ----

    def _made_row(self):
        r = self.random.random()
        if r < 0.03:
            return {"icon": "none", "time": now_text(), "hex": "", "ln": "", "cs": "",
                    "source": "No bus activity for 10 s", "colour": "#C81414", "background": True}
        if r < 0.06:
            return {"icon": "none", "time": now_text(), "hex": "", "ln": "", "cs": "",
                    "source": "Client 192.168.1.20:50611 connected", "colour": "#000000",
                    "background": False}
        hexcode, source, colour, icon = self.random.choice(FRAMES)
        return {"icon": icon, "time": now_text(), "hex": hexcode, "ln": str(len(hexcode) // 2),
                "cs": hexcode[-4:-2], "source": source, "colour": colour, "background": False}

    def _traffic(self):
        next_second = time.time() + 1
        while not self.stopping.wait(self.row_interval):
            with self.lock:
                row = self._made_row()
                self.rows.insert(0, row)
                del self.rows[MAX_ROWS:]
                self.bus_frames += 1
                self.broadcast({"type": "row", "row": row})
                if time.time() >= next_second:
                    next_second += 1
                    self._each_second()

    def _each_second(self):
        rx = self.random.randint(200, 1400)
        tx = self.random.randint(0, 300)
        sample = [rx * 25 // 1500, tx * 25 // 1500]
        self.history.append(sample)
        del self.history[:-SAMPLES]
        self.rates = {"rx": "%d.0" % rx, "tx": "%d.0" % tx}
        up = int(time.time() - self.started)
        self.status[0] = "UpTime: 0y 0m 0d and %02d:%02d:%02d" % (up // 3600, up // 60 % 60, up % 60)
        self.status[1] = "V:%d" % self.bus_frames
        self.status[5] = now_text(False)
        self.broadcast({"type": "sample", "rx": sample[0], "tx": sample[1]})
        self.broadcast({"type": "rates", **self.rates})
        for field in (0, 1, 5):
            self.broadcast({"type": "status", "field": field, "text": self.status[field]})


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, default=8080)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--key", default="test-key")
    parser.add_argument("--no-key", action="store_true", help="a gateway without AuthKey")
    parser.add_argument("--interval", type=float, default=0.1, help="seconds between rows")
    args = parser.parse_args()
    gateway = MockGateway(args.port, None if args.no_key else args.key, args.interval, args.host)
    gateway.start()
    print("mock gateway at %s (key: %s)" % (gateway.url, "none" if args.no_key else args.key), flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        gateway.stop()


if __name__ == "__main__":
    main()
