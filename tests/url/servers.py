"""Loopback servers for the address tests: HTTP, HTTPS with a certificate of
a test authority (which the tests trust), HTTPS with one of an authority
nobody trusts, anonymous read-only FTP over WORK_DIR/ftp, and a port whose
connections are never taken (STUCK). Besides well-behaved resources the
HTTP servers misbehave as real ones do: bodies cut short, replies that are
no HTTP, redirects in a loop or to where they should not lead, silence and
trickles; the FTP server ends "aborted.bin" halfway with a 426 reply. Where
the machine has an IPv6 loopback address, a twin of the plain HTTP server
listens on ::1 (HTTP6).

Usage: servers.py WORK_DIR
The authorities, certificates and revocation lists are made here with
openssl: each server certificate names a revocation list on the HTTP server,
so that the system's revocation check can succeed and only the trust in the
authority decides. When every server listens, "WORK_DIR/ports" is written
with one NAME=PORT line per server; the trusted authority is in
WORK_DIR/trusted-ca.der. The servers stop on SIGTERM, when the parent process
goes away, or after ten minutes at the latest.
"""
import errno
import http.server
import logging
import os
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.ioloop import IOLoop
from pyftpdlib.servers import FTPServer, ThreadedFTPServer

WORK = sys.argv[1]
LIFETIME = int(os.environ.get("BYTORA_SERVERS_LIFETIME", "600"))

TEXT = "Grüße aus dem Netz: hex dump over HTTP.\r\n".encode("utf-8")


def pattern(n):
    """n bytes 00 01 .. FF 00 01 .. (the large body is sent from memory)."""
    block = bytes(range(256)) * 4096
    whole, rest = divmod(n, len(block))
    return block * whole + block[:rest]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def send_body(self, status, body, content_type="application/octet-stream"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        path = self.path.split("?")[0]
        if self.address_case(path):
            return
        try:
            if path == "/text.txt":
                self.send_body(200, TEXT, "text/plain; charset=utf-8")
            elif path == "/agent":
                self.send_body(200, self.headers.get("User-Agent", "").encode("utf-8"), "text/plain")
            elif path.endswith(".crl") and path[1:-4] in ("trusted", "untrusted"):
                with open(os.path.join(WORK, path[1:]), "rb") as f:
                    self.send_body(200, f.read(), "application/pkix-crl")
            elif path == "/empty":
                self.send_body(200, b"")
            elif path == "/redirect":
                self.send_response(302)
                self.send_header("Location", "/text.txt")
                self.send_header("Content-Length", "0")
                self.end_headers()
            elif path == "/500":
                self.send_body(500, b"broken\r\n", "text/plain")
            elif path.startswith("/bytes/"):
                # /bytes/N: N bytes of the pattern, written in large pieces.
                n = int(path[len("/bytes/"):])
                self.send_response(200)
                self.send_header("Content-Type", "application/octet-stream")
                self.send_header("Content-Length", str(n))
                self.end_headers()
                piece = memoryview(pattern(1 << 20))
                left = n
                while left > 0:
                    step = min(left, len(piece))
                    self.wfile.write(piece[:step])
                    left -= step
            elif path == "/cut":
                # Announces 100000 bytes, sends 1000 and closes.
                self.send_response(200)
                self.send_header("Content-Length", "100000")
                self.end_headers()
                self.wfile.write(pattern(1000))
                self.wfile.flush()
                self.close_connection = True
                self.connection.shutdown(socket.SHUT_RDWR)
            elif path == "/slow" or path.startswith("/slow/"):
                # A long download: 1 KiB every 20 ms until the client leaves,
                # or for 15 s at most (then it is cut short of its length).
                # /slow/MARKER sends MARKER first, to tell its file apart.
                self.send_response(200)
                self.send_header("Content-Length", str(1 << 30))
                self.end_headers()
                self.wfile.write(path[len("/slow/"):].encode())
                piece = pattern(1024)
                for _ in range(750):
                    self.wfile.write(piece)
                    self.wfile.flush()
                    time.sleep(0.02)
                self.close_connection = True
                self.connection.shutdown(socket.SHUT_RDWR)
            elif path.startswith("/marked/"):
                # MARKER and 1 MiB of zeros, at once.
                body = path[len("/marked/"):].encode() + bytes(1 << 20)
                self.send_body(200, body)
            elif path.startswith("/chunked/"):
                self.chunked(path[len("/chunked/"):])
            elif path == "/silent-close":
                # Takes the request and closes without a byte.
                self.hang_up()
            elif path == "/not-http":
                self.wfile.write(b"THIS IS NOT HTTP\r\n\r\n" + TEXT)
                self.hang_up()
            elif path in REDIRECTS:
                status, location = REDIRECTS[path]
                if location and location.startswith("plain:"):
                    location = f"http://127.0.0.1:{PORTS['HTTP']}{location[6:]}"
                if path == "/slow-loop":
                    time.sleep(0.3)
                self.send_response(status)
                if location:
                    self.send_header("Location", location)
                self.send_header("Content-Length", "8")
                self.end_headers()
                self.wfile.write(b"moved\r\n")
            elif path == "/hang":
                # Takes the request and never answers.
                self.wait_for_client()
            elif path.startswith("/stall/"):
                # /stall/N: N bytes of the 2N announced, then silence.
                n = int(path[len("/stall/"):])
                self.send_response(200)
                self.send_header("Content-Length", str(2 * n))
                self.end_headers()
                self.wfile.write(pattern(n))
                self.wfile.flush()
                self.wait_for_client()
            elif path.startswith("/drip/"):
                # /drip/N: N bytes, one every 0.4 s: slow but alive.
                n = int(path[len("/drip/"):])
                self.send_response(200)
                self.send_header("Content-Length", str(n))
                self.end_headers()
                for byte in pattern(n):
                    self.wfile.write(bytes([byte]))
                    self.wfile.flush()
                    time.sleep(0.4)
            else:
                self.send_body(404, b"not here\r\n", "text/plain")
        except (ConnectionError, OSError):
            self.close_connection = True

    def address_case(self, path):
        """Addresses as they reach the server; False for other paths.
        /e/...: the request target, exactly as received, is the body; with
        "to=REF" in the query the answer is a 302 to REF instead ({HTTP} and
        {HTTP6} in it stand for those servers' ports), with "grow=N" a 302 to
        "?" and N letters q. /hops/N: a 302 to /hops/N-1, and /hops/0 is
        the target."""
        query = urllib.parse.parse_qs(self.path.partition("?")[2])
        try:
            if path.startswith("/e/") and "to" in query:
                location = query["to"][0]
                for name in ("HTTP", "HTTP6"):
                    location = location.replace("{%s}" % name, str(PORTS.get(name)))
                self.moved(location)
            elif path.startswith("/e/") and "grow" in query:
                self.moved("?" + "q" * int(query["grow"][0]))
            elif path.startswith("/hops/") and int(path[len("/hops/"):]) > 0:
                self.moved("/hops/%d" % (int(path[len("/hops/"):]) - 1))
            elif path.startswith("/e/") or path.startswith("/hops/"):
                self.send_body(200, self.path.encode("latin-1"), "text/plain")
            else:
                return False
        except (ConnectionError, OSError):
            self.close_connection = True
        return True

    def moved(self, location):
        self.send_response(302)
        self.send_header("Location", location)
        self.send_header("Content-Length", "7")
        self.end_headers()
        self.wfile.write(b"moved\r\n")

    def hang_up(self):
        self.wfile.flush()
        self.close_connection = True
        self.connection.shutdown(socket.SHUT_RDWR)

    def wait_for_client(self, seconds=60):
        """Silence until the client goes away (or a minute passes)."""
        self.connection.settimeout(seconds)
        try:
            self.connection.recv(1)
        except OSError:
            pass
        self.close_connection = True

    def chunked(self, how):
        """300000 bytes of the pattern in chunks of 50000: "whole" ends with
        the last (empty) chunk; "cut" closes after 150000 bytes instead,
        "inside" closes in the middle of the fourth chunk; "whole-close" and
        "cut-close" say first that the connection closes after the reply."""
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Transfer-Encoding", "chunked")
        if how.endswith("-close"):
            self.send_header("Connection", "close")
            how = how[:-len("-close")]
            self.close_connection = True
        self.end_headers()
        body = pattern(300000)
        for i in range(6):
            piece = body[i * 50000:(i + 1) * 50000]
            if how == "cut" and i == 3:
                return self.hang_up()
            if how == "inside" and i == 3:
                self.wfile.write(b"%x\r\n" % len(piece) + piece[:20000])
                return self.hang_up()
            self.wfile.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
        self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()


class BodyEdges(Handler):
    """Bodies at their edges, on a server of their own (EDGES):
    /over/N/close and /over/N/open announce N bytes, send "HELLO WORLD!"
    and close or keep the connection; /burst-trickle sends 64 KiB at once,
    then 1 KiB every 0.3 s eight times (longer in all than the tests'
    shortened silence limit); /framing/NAME replies as FRAMING says."""

    def do_GET(self):
        parts = self.path.split("/")
        try:
            if len(parts) == 4 and parts[1] == "over":
                self.send_response(200)
                self.send_header("Content-Length", parts[2])
                self.end_headers()
                self.wfile.write(b"HELLO WORLD!")
                if parts[3] == "open":
                    self.wait_for_client()
                else:
                    self.hang_up()
            elif len(parts) == 3 and parts[1] == "framing" and parts[2] in FRAMING:
                self.framing(*FRAMING[parts[2]])
            elif self.path == "/burst-trickle":
                body = pattern(65536 + 8 * 1024)
                self.send_response(200)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body[:65536])
                for start in range(65536, len(body), 1024):
                    self.wfile.flush()
                    time.sleep(0.3)
                    self.wfile.write(body[start:start + 1024])
            else:
                super().do_GET()
        except (ConnectionError, OSError):
            self.close_connection = True

    def framing(self, status_line, headers, body, keep_open):
        """A reply written as it stands: the status line, the headers, the
        body; then the connection is kept until the client leaves, or closed."""
        head = status_line + "".join("\r\n" + h for h in headers) + "\r\n\r\n"
        self.wfile.write(head.encode("latin-1") + body)
        if keep_open:
            self.wfile.flush()
            self.wait_for_client()
        else:
            self.hang_up()


# /framing/NAME on EDGES: replies whose headers frame "HELLO WORLD!" lawfully
# or not. NAME -> (status line, header lines, body, keep the connection).
HELLO = b"HELLO WORLD!"
CHUNKS = b"5\r\nHELLO\r\n7\r\n WORLD!\r\n0\r\n\r\n"
TYPE = "Content-Type: text/plain"
FRAMING = {
    "length": ("HTTP/1.1 200 OK", [TYPE, "Content-Length: 12"], HELLO, True),
    "chunked": ("HTTP/1.1 200 OK", [TYPE, "Transfer-Encoding: chunked"], CHUNKS, True),
    "chunked-caps": ("HTTP/1.1 200 OK", [TYPE, "Transfer-Encoding: CHUNKED"], CHUNKS, True),
    "both": ("HTTP/1.1 200 OK", [TYPE, "Content-Length: 3", "Transfer-Encoding: chunked"], CHUNKS, True),
    "equal-list": ("HTTP/1.1 200 OK", [TYPE, "Content-Length: 12, 12"], HELLO, True),
    "equal-lines": ("HTTP/1.1 200 OK", [TYPE, "Content-Length: 12", "Content-Length: 12"], HELLO, True),
    "unsized": ("HTTP/1.1 200 OK", [TYPE, "Connection: close"], HELLO, False),
    "old-unsized": ("HTTP/1.0 200 OK", [TYPE], HELLO, False),
    "no-content": ("HTTP/1.1 204 No Content", [TYPE, "Content-Length: 5"], b"", True),
    "gzip-chunked": ("HTTP/1.1 200 OK", [TYPE, "Transfer-Encoding: gzip, chunked"], b"5\r\nHELLO\r\n0\r\n\r\n", False),
    "coding-lines": ("HTTP/1.1 200 OK", [TYPE, "Transfer-Encoding: gzip", "Transfer-Encoding: chunked"],
                     b"5\r\nHELLO\r\n0\r\n\r\n", True),
    "old-chunked": ("HTTP/1.0 200 OK", [TYPE, "Transfer-Encoding: chunked"], CHUNKS, False),
    "length-letters": ("HTTP/1.1 200 OK", [TYPE, "Content-Length: 5abc"], HELLO, False),
    "length-sign": ("HTTP/1.1 200 OK", [TYPE, "Content-Length: +5"], HELLO, False),
    "length-list": ("HTTP/1.1 200 OK", [TYPE, "Content-Length: 5, 12"], HELLO, False),
    "length-lines": ("HTTP/1.1 200 OK", [TYPE, "Content-Length: 5", "Content-Length: 12"], HELLO, False),
}


class Endless(Handler):
    """Replies whose bodies do not end, on a server of their own (ENDLESS):
    /endless/STATUS?KEY answers STATUS (302: a redirect to itself) with a
    body of 1 GiB announced and sent as fast as it is read, until the client
    closes the connection or 20 s have passed; /sent?KEY then tells how many
    bytes went out and whether the client closed ("BYTES closed" or "BYTES
    open"; "BYTES sending" while it still sends)."""

    sent = {}

    def do_GET(self):
        path, _, key = self.path.partition("?")
        try:
            if path == "/sent":
                bytes_sent, state = Endless.sent.get(key, (0, "unknown"))
                self.send_body(200, b"%d %s" % (bytes_sent, state.encode()), "text/plain")
            elif path.startswith("/endless/"):
                self.endless(int(path[len("/endless/"):]), key)
            else:
                super().do_GET()
        except (ConnectionError, OSError):
            self.close_connection = True

    def endless(self, status, key):
        self.send_response(status)
        self.send_header("Content-Length", str(1 << 30))
        if status == 302:
            self.send_header("Location", self.path)
        self.end_headers()
        piece, sent, state = bytes(1 << 16), 0, "open"
        deadline = time.monotonic() + 20
        Endless.sent[key] = (0, "sending")
        # A client that neither reads nor closes holds the connection open.
        self.connection.settimeout(20)
        try:
            while sent < 1 << 30 and time.monotonic() < deadline:
                self.wfile.write(piece)
                sent += len(piece)
                Endless.sent[key] = (sent, "sending")
        except TimeoutError:
            pass
        except (ConnectionError, OSError):
            state = "closed"
        Endless.sent[key] = (sent, state)
        self.close_connection = True


# Redirects: path -> (status, Location); "plain:" means the plain HTTP
# server's address of the path after it.
REDIRECTS = {
    "/308": (308, "/text.txt"),
    "/308-nowhere": (308, None),
    "/300": (300, "/text.txt"),
    "/to-file": (302, "file:///C:/windows/win.ini"),
    "/loop-a": (302, "/loop-b"),
    "/loop-b": (301, "/loop-a"),
    "/slow-loop": (307, "/slow-loop"),
    "/to-plain": (302, "plain:/text.txt"),
}
PORTS = {}


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 64


def serve(server, certfile=None, keyfile=None):
    if certfile:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(certfile, keyfile)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


CA_CONFIG = """[ca]
default_ca = test
[test]
database = {dir}/{name}-index.txt
crlnumber = {dir}/{name}-crlnumber
default_md = sha256
default_crl_days = 2
"""


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def certificates(name, crl_url):
    """NAME-ca.pem/.der (the authority), NAME-chain.pem and NAME.key (the server's), NAME.crl."""
    base = os.path.join(WORK, name)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
            "-subj", f"/CN=Bytora test authority ({name})", "-keyout", base + "-ca.key", "-out", base + "-ca.pem",
            "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
            "-keyout", base + ".key", "-out", base + ".csr")
    with open(base + ".ext", "w") as f:
        # The name is the common name alone: the system's check compares it
        # with the address's host, and takes no IP entries of an alternative-name list.
        f.write(f"extendedKeyUsage=serverAuth\ncrlDistributionPoints=URI:{crl_url}\n")
    openssl("x509", "-req", "-in", base + ".csr", "-CA", base + "-ca.pem", "-CAkey", base + "-ca.key",
            "-CAcreateserial", "-days", "2", "-extfile", base + ".ext", "-out", base + ".pem")
    open(base + "-index.txt", "w").close()
    with open(base + "-crlnumber", "w") as f:
        f.write("01\n")
    with open(base + "-ca.cnf", "w") as f:
        f.write(CA_CONFIG.format(dir=WORK, name=name))
    openssl("ca", "-config", base + "-ca.cnf", "-gencrl", "-keyfile", base + "-ca.key", "-cert", base + "-ca.pem",
            "-out", base + "-crl.pem")
    openssl("crl", "-in", base + "-crl.pem", "-outform", "DER", "-out", base + ".crl")
    # The server sends its authority along, as servers do: the client then
    # finds the issuer and only the trust in it decides.
    with open(base + "-chain.pem", "w") as chain:
        for part in (base + ".pem", base + "-ca.pem"):
            with open(part) as f:
                chain.write(f.read())
    openssl("x509", "-in", base + "-ca.pem", "-outform", "DER", "-out", base + "-ca.der")


class BreakingFile:
    """A file whose reading fails after its first 65536 bytes."""

    def __init__(self, f):
        self.f, self.given = f, 0
        self.name, self.closed = f.name, False

    def read(self, n=-1):
        if self.given >= 65536:
            raise OSError(errno.EIO, "disk gone")
        data = self.f.read(min(n, 65536 - self.given) if n >= 0 else 65536 - self.given)
        self.given += len(data)
        return data

    def close(self):
        self.closed = True
        self.f.close()

    def __getattr__(self, name):
        return getattr(self.f, name)


class FileSystem(AbstractedFS):
    """The FTP root; "aborted.bin" is sent in part, then the server answers
    426 (transfer aborted)."""

    def open(self, filename, mode):
        f = super().open(filename, mode)
        return BreakingFile(f) if os.path.basename(filename) == "aborted.bin" else f


def long_commands(self, data):
    """The FTP server's input without its 2048-byte limit on a command:
    an address of 8191 characters may carry a password nearly that long."""
    self._in_buffer.append(data)
    self._in_buffer_len += len(data)
    if self._in_buffer_len > 65536:
        self.respond_w_warning("500 Command too long.")
        self._in_buffer, self._in_buffer_len = [], 0


def ipv6_server():
    """The plain HTTP server's twin on the IPv6 loopback address, or None
    where the machine has none."""
    class Server6(Server):
        address_family = socket.AF_INET6
    try:
        return serve(Server6(("::1", 0), Handler))
    except OSError:
        return None


def ftp_server():
    with open(os.path.join(WORK, "ftp", "aborted.bin"), "wb") as f:
        f.write(pattern(300000))
    authorizer = DummyAuthorizer()
    authorizer.add_anonymous(os.path.join(WORK, "ftp"), perm="elr")
    handler = type("Handler", (FTPHandler,), {"authorizer": authorizer, "permit_foreign_addresses": False,
                                              "abstracted_fs": FileSystem, "use_sendfile": False})
    handler.collect_incoming_data = long_commands
    # A loop of its own: by default every server shares one, and two
    # threads running it at once lose connections.
    server = FTPServer(("127.0.0.1", 0), handler, ioloop=IOLoop())
    threading.Thread(target=server.serve_forever, kwargs={"timeout": 0.2, "blocking": True}, daemon=True).start()
    return server


class PausedFile(BreakingFile):
    """A file sent in pieces with a pause before each: (seconds, bytes)
    pairs, the bytes from the pattern; bytes None: the server gives up
    (426)."""

    def __init__(self, f, plan):
        super().__init__(f)
        self.plan, self.sent = list(plan), 0

    def read(self, n=-1):
        if not self.plan:
            return b""
        pause, size = self.plan.pop(0)
        time.sleep(pause)
        if size is None:
            raise OSError(errno.EIO, "disk gone")
        data = pattern(self.sent + size)[self.sent:]
        self.sent += size
        return data


# The FTP files that pause (FTP_PAUSED): 1000 bytes, then 1000 more after
# each of 10 ms, 100 ms, 300 ms and 1 s; a first byte 0.5 s late; the
# same, after which the server gives up on the file; and 1000 bytes, then
# silence for two minutes.
PAUSES = {
    "steps.bin": [(0, 1000), (0.01, 1000), (0.1, 1000), (0.3, 1000), (1.0, 1000)],
    "late.bin": [(0.5, 1000), (0, 4000)],
    "late-aborted.bin": [(0.5, 1000), (0, None)],
    "stalled.bin": [(0, 1000), (120, 1000)],
}


class PausingFileSystem(AbstractedFS):
    def open(self, filename, mode):
        f = super().open(filename, mode)
        plan = PAUSES.get(os.path.basename(filename))
        return PausedFile(f, plan) if plan else f


def paused_ftp_server():
    """Anonymous FTP over WORK_DIR/ftp-paused, a thread for each client, so
    that one file's pauses hold up no other client."""
    root = os.path.join(WORK, "ftp-paused")
    os.makedirs(root, exist_ok=True)
    for name, plan in PAUSES.items():
        with open(os.path.join(root, name), "wb") as f:
            f.write(pattern(sum(size or 0 for _, size in plan)))
    authorizer = DummyAuthorizer()
    authorizer.add_anonymous(root, perm="elr")
    handler = type("PausingHandler", (FTPHandler,), {"authorizer": authorizer, "permit_foreign_addresses": False,
                                                     "abstracted_fs": PausingFileSystem, "use_sendfile": False})
    server = ThreadedFTPServer(("127.0.0.1", 0), handler, ioloop=IOLoop())
    threading.Thread(target=server.serve_forever, kwargs={"timeout": 0.2, "blocking": True}, daemon=True).start()
    return server


def main():
    logging.getLogger("pyftpdlib").setLevel(logging.ERROR)
    # The HTTP server first: its port goes into the certificates.
    plain = Server(("127.0.0.1", 0), Handler)
    port = plain.server_address[1]
    for name in ("trusted", "untrusted"):
        certificates(name, f"http://127.0.0.1:{port}/{name}.crl")
    servers = {"HTTP": serve(plain)}
    for key, name in (("HTTPS", "trusted"), ("UNTRUSTED", "untrusted")):
        base = os.path.join(WORK, name)
        servers[key] = serve(Server(("127.0.0.1", 0), Handler), base + "-chain.pem", base + ".key")
    servers["EDGES"] = serve(Server(("127.0.0.1", 0), BodyEdges))
    servers["ENDLESS"] = serve(Server(("127.0.0.1", 0), Endless))
    ftp = ftp_server()
    if ipv6 := ipv6_server():
        servers["HTTP6"] = ipv6
    ports = PORTS
    ports["FTP_PAUSED"] = paused_ftp_server().address[1]
    ports.update({name: s.server_address[1] for name, s in servers.items()})
    ports["FTP"] = ftp.address[1]
    # A server that never takes a connection: its queue is full, so further
    # connections are never even answered.
    stuck = socket.socket()
    stuck.bind(("127.0.0.1", 0))
    stuck.listen(0)
    queued = []
    for _ in range(3):
        c = socket.socket()
        c.setblocking(False)
        c.connect_ex(stuck.getsockname())
        queued.append(c)
    ports["STUCK"] = stuck.getsockname()[1]
    # A port that was free a moment ago and that nobody listens on.
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    ports["CLOSED"] = probe.getsockname()[1]
    probe.close()

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    with open(os.path.join(WORK, "ports.tmp"), "w") as f:
        for name, port in ports.items():
            f.write(f"{name}={port}\n")
    os.replace(os.path.join(WORK, "ports.tmp"), os.path.join(WORK, "ports"))

    parent = os.getppid()
    deadline = time.monotonic() + LIFETIME
    while not stop.wait(0.5):
        if os.getppid() != parent or time.monotonic() > deadline:
            break
    # The serving threads are daemons: leaving ends them with their sockets.


if __name__ == "__main__":
    main()
