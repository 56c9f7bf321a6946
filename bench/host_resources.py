#!/usr/bin/env python3
"""What the bridge host's connections and calls cost, and whether normal calls
get through while slow clients hold what they can: a measurement, not a test.
Starts dravbridge on 127.0.0.1 (a fresh one per figure), attacks it with
every loop bounded in count and time, and prints one line per figure.

  host_resources.py DRAVBRIDGE [idle|answers|slow-bodies|all]

  idle         resident KiB per idle connection: plain after a small call,
               plain after a 16 KB head of 4000 empty fields, TLS after a
               small call and after that head, TLS before its hello
  answers      peak resident MiB while 16 clients take 64 MiB answers at
               once, and while 8 clients ask for one each and never read
  slow-bodies  p50/p99 of normal calls (and of /healthz) while 16 clients
               trickle 2 GiB bodies at 20 KiB/s, while 16 heads with
               "Expect: 100-continue" never send their body, and while 16
               (and 100) heads of 1 MiB bodies never send theirs
"""
import os
import select
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time

MIB = 1024 * 1024


def rss_kib(pid, field="VmRSS"):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


class Host:
    """dravbridge with a configuration file of its own; ended on exit."""

    def __init__(self, program, limits="", cert=None):
        self.work = tempfile.mkdtemp(prefix="host_resources.")
        config = os.path.join(self.work, "host.toml")
        with open(config, "w") as f:
            f.write("[limits]\n" + limits)
        args = [program, "--port", "0", "--config", config]
        if cert:
            args += ["--cert", cert[0], "--key", cert[1]]
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.port = 0
        deadline = time.monotonic() + 10
        while not self.port and time.monotonic() < deadline:
            line = self.process.stdout.readline()
            if line.startswith("dravbridge: listening on port "):
                self.port = int(line.split()[-1])
        if not self.port:
            raise SystemExit("dravbridge did not start")
        threading.Thread(target=self.process.stdout.read, daemon=True).start()
        time.sleep(0.3)

    def rss(self, field="VmRSS"):
        return rss_kib(self.process.pid, field)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.process.terminate()
        try:
            self.process.wait(15)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def int_args(*values):
    """A DRAVArgs of Int values, as the client library encodes it."""
    body = b"\x01" + struct.pack(">I", len(values))
    for value in values:
        body += struct.pack(">Hi", 1, value)
    return body


def call_head(method, args_size, blob_size=0, extra=""):
    return (f"POST /bridges/sample HTTP/1.1\r\nHost: 127.0.0.1\r\nDRAVBridgeName: sample\r\n"
            f"DRAVMethodName: {method}\r\nDRAVArgs-Size: {args_size}\r\nDRAVExtraBlob-Size: {blob_size}\r\n"
            f"Content-Length: {args_size + blob_size}\r\n{extra}\r\n").encode()


def call_request(method, args=b""):
    return call_head(method, len(args)) + args


def connect(port, timeout=10):
    sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


def read_answer(sock, limit=200 * MIB):
    """Status of one answer (Content-Length or chunked), its body dropped; 0 when cut."""
    data = b""
    try:
        while b"\r\n\r\n" not in data:
            piece = sock.recv(65536)
            if not piece:
                return 0
            data += piece
        head, _, rest = data.partition(b"\r\n\r\n")
        lines = head.split(b"\r\n")
        fields = {l.partition(b":")[0].strip().lower(): l.partition(b":")[2].strip() for l in lines[1:]}
        if b"content-length" in fields:
            left = int(fields[b"content-length"]) - len(rest)
            while left > 0:
                piece = sock.recv(min(left, 1 << 20))
                if not piece:
                    return 0
                left -= len(piece)
        else:  # chunked: read until the last chunk
            seen = rest
            while not seen.endswith(b"0\r\n\r\n") and len(seen) < limit:
                piece = sock.recv(1 << 20)
                if not piece:
                    return 0
                seen = seen[-16:] + piece
        return int(lines[0].split(b" ")[1])
    except OSError:
        return 0


def percentiles(samples):
    samples = sorted(samples)
    at = lambda p: samples[min(len(samples) - 1, int(p * len(samples)))] * 1000
    return f"p50 {at(0.5):.1f} ms  p99 {at(0.99):.1f} ms  max {samples[-1] * 1000:.1f} ms  ({len(samples)} calls)"


# --- idle connections --------------------------------------------------------

def open_idle(port, count, request, wrap=None):
    held = []
    for _ in range(count):
        sock = connect(port)
        if request is None:  # a connection that never says a word, not even a TLS hello
            held.append(sock)
            continue
        if wrap:
            sock = wrap(sock)
        sock.sendall(request)
        if read_answer(sock) != 200:
            raise SystemExit("an idle connection's request was not answered 200")
        held.append(sock)
    return held


def idle_cost(program, label, count, request, cert=None):
    with Host(program, cert=cert) as host:
        wrap = None
        if cert:
            context = ssl.create_default_context(cafile=cert[0])
            context.check_hostname = False
            wrap = lambda s: context.wrap_socket(s)
        warm = open_idle(host.port, 50, request, wrap)  # the pool's buffers and threads, once
        for sock in warm:
            sock.close()
        time.sleep(0.5)
        before = host.rss()
        held = open_idle(host.port, count, request, wrap)
        time.sleep(0.5)
        grown = host.rss() - before
        print(f"idle {label}: {grown / count:.1f} KiB per connection ({count} connections, +{grown} KiB)",
              flush=True)
        for sock in held:
            sock.close()


def idle(program):
    small = call_request("sum")
    fat = b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n" + b"a:\r\n" * 4000 + b"\r\n"
    idle_cost(program, "plain, after a small call", 2000, small)
    idle_cost(program, "plain, after a head of 4000 empty fields", 2000, fat)
    work = tempfile.mkdtemp(prefix="host_resources_tls.")
    cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    idle_cost(program, "TLS, after a small call", 1000, small, (cert, key))
    idle_cost(program, "TLS, after a head of 4000 empty fields", 1000, fat, (cert, key))
    idle_cost(program, "TLS, before its hello", 1000, None, (cert, key))


# --- answers -----------------------------------------------------------------

def peak_during(host, work, seconds):
    """The peak resident KiB above the start while `work` runs in threads."""
    before = host.rss()
    peak = before
    threads = [threading.Thread(target=w, daemon=True) for w in work]
    for t in threads:
        t.start()
    end = time.monotonic() + seconds
    while time.monotonic() < end and any(t.is_alive() for t in threads):
        peak = max(peak, host.rss())
        time.sleep(0.02)
    for t in threads:
        t.join(max(0.0, end - time.monotonic()))
    return (peak - before) / 1024


def answers(program):
    request = call_request("generateBinary", int_args(64 * MIB))
    with Host(program) as host:
        statuses = []

        def take():
            sock = connect(host.port, 60)
            sock.sendall(request)
            statuses.append(read_answer(sock))
            sock.close()

        grown = peak_during(host, [take] * 16, 60)
        print(f"answers: 16 concurrent 64 MiB answers, peak +{grown:.0f} MiB, statuses {sorted(statuses)}", flush=True)
    with Host(program) as host:
        stuck = []

        def never_read():
            sock = connect(host.port)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            sock.sendall(request)
            stuck.append(sock)

        grown = peak_during(host, [never_read] * 8, 4)
        time.sleep(2)
        print(f"answers: 8 clients that never read, peak +{grown:.0f} MiB, "
              f"+{host.rss() / 1024 - grown:.0f} MiB resident after 2 s more", flush=True)
        for sock in stuck:
            sock.close()


# --- slow bodies -------------------------------------------------------------

def normal_calls(port, seconds, path_request):
    """Latencies of calls, each on a connection of its own, for `seconds`."""
    samples, failures = [], 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        start = time.monotonic()
        try:
            sock = connect(port, 5)
            sock.sendall(path_request)
            ok = read_answer(sock) == 200
            sock.close()
        except OSError:
            ok = False
        if ok:
            samples.append(time.monotonic() - start)
        else:
            failures += 1
        time.sleep(0.02)
    return samples, failures


def under_attack(program, label, attackers, seconds=6):
    with Host(program) as host:
        stop = threading.Event()
        threads = [threading.Thread(target=a, args=(host.port, stop), daemon=True) for a in attackers]
        for t in threads:
            t.start()
        time.sleep(1.5)  # the attack has taken what it can
        health = []
        probe = threading.Thread(target=lambda: health.append(normal_calls(
            host.port, seconds, b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")), daemon=True)
        probe.start()
        samples, failures = normal_calls(host.port, seconds, call_request("sum"))
        probe.join()
        stop.set()
        for t in threads:
            t.join(5)
        print(f"slow bodies, {label}: normal calls {percentiles(samples) if samples else 'none answered'}, "
              f"{failures} failed; /healthz {percentiles(health[0][0]) if health[0][0] else 'none answered'}",
              flush=True)


def trickler(port, stop):
    sock = connect(port)
    sock.sendall(call_head("checksumExtraBlob", 5, 2 * 1024 * MIB - 6) + int_args()[:5])  # the largest body
    piece = b"b" * 1024
    while not stop.is_set():  # 20 KiB/s
        start = time.monotonic()
        try:
            for _ in range(20):
                sock.sendall(piece)
                if stop.wait(0.05):
                    break
        except OSError:
            return
        time.sleep(max(0.0, 1.0 - (time.monotonic() - start)))


def silent_body(extra, size):
    def attack(port, stop):
        sock = connect(port)
        sock.sendall(call_head("checksumExtraBlob", 5, size - 5, extra))
        stop.wait(30)
        sock.close()
    return attack


def slow_bodies(program):
    under_attack(program, "16 clients trickling 2 GiB at 20 KiB/s", [trickler] * 16)
    under_attack(program, "16 heads with Expect: 100-continue, no body",
                 [silent_body("Expect: 100-continue\r\n", 1024 * 1024)] * 16)
    under_attack(program, "16 heads of 1 MiB bodies, no body", [silent_body("", 1024 * 1024)] * 16)
    # More than the running slots and client waits together (16 + 64).
    under_attack(program, "100 heads of 1 MiB bodies, no body", [silent_body("", 1024 * 1024)] * 100)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    program, what = sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else "all"
    for name, run in (("idle", idle), ("answers", answers), ("slow-bodies", slow_bodies)):
        if what in (name, "all"):
            run(program)


if __name__ == "__main__":
    main()
