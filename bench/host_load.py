#!/usr/bin/env python3
"""Crowds of cheap clients for bench/host_load.sh, on 127.0.0.1 only, each run
bounded in time:

  host_load.py idle PORT COUNT HOLD_SECONDS REQUEST_FILE
      opens COUNT keep-alive connections, makes one call on each (REQUEST_FILE
      holds the raw request), prints "ready ..." and holds them idle for
      HOLD_SECONDS, then says how many the server still kept open.
  host_load.py slowloris PORT COUNT SECONDS
      keeps COUNT connections each trickling one byte of a request head a
      second (reconnecting those the server drops), prints "ready ..." once
      they are open, and stops after SECONDS.
"""
import selectors
import socket
import sys
import time

BATCH = 200  # connections opened at once: well under the listen backlog


def connect(port):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.settimeout(5)
    sock.connect(("127.0.0.1", port))
    return sock


def read_answer(sock):
    """The status of one answer with Content-Length; 0 when the connection ended."""
    data = b""
    try:
        while b"\r\n\r\n" not in data:
            piece = sock.recv(65536)
            if not piece:
                return 0
            data += piece
        head, _, body = data.partition(b"\r\n\r\n")
        length = 0
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value.strip())
        while len(body) < length:
            piece = sock.recv(65536)
            if not piece:
                return 0
            body += piece
        return int(head.split(b" ")[1])
    except OSError:
        return 0


def still_open(sockets):
    alive = 0
    for sock in sockets:
        sock.setblocking(False)
        try:
            if sock.recv(1) != b"":
                alive += 1  # bytes unasked for, but open
        except BlockingIOError:
            alive += 1
        except OSError:
            pass
    return alive


def idle(port, count, hold, request_file):
    with open(request_file, "rb") as f:
        request = f.read()
    held, refused, failed = [], 0, 0
    deadline = time.monotonic() + 60
    while len(held) + refused + failed < count and time.monotonic() < deadline:
        batch = []
        for _ in range(min(BATCH, count - len(held) - refused - failed)):
            try:
                sock = connect(port)
                sock.sendall(request)
                batch.append(sock)
            except OSError:
                failed += 1
        for sock in batch:
            status = read_answer(sock)
            if status == 200:
                held.append(sock)
            else:
                refused += 1
                sock.close()
    print(f"ready answered={len(held)} refused={refused} failed={failed}", flush=True)
    time.sleep(hold)
    print(f"held open by the server after {hold} s: {still_open(held)} of {len(held)}", flush=True)


def slowloris(port, count, seconds):
    head = b"POST /bridges/sample HTTP/1.1\r\nHost: 127.0.0.1\r\nDRAVBridgeName: sample\r\n" + b"X-Pad: y\r\n" * 2000
    selector = selectors.DefaultSelector()
    sent = {}
    reconnects = 0
    ready = False

    def open_one():
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setblocking(False)
        sock.connect_ex(("127.0.0.1", port))
        selector.register(sock, selectors.EVENT_READ)
        sent[sock] = 0

    def drop(sock):
        selector.unregister(sock)
        del sent[sock]
        sock.close()

    end = time.monotonic() + seconds
    for i in range(count):
        open_one()
        if i % BATCH == BATCH - 1:
            time.sleep(0.01)
    while time.monotonic() < end:
        tick = time.monotonic()
        for sock in list(sent):
            try:
                sock.send(head[sent[sock]:sent[sock] + 1])
                sent[sock] = (sent[sock] + 1) % len(head)
            except (BlockingIOError, InterruptedError):
                pass
            except OSError:
                drop(sock)
        # Whatever the server answers (a refusal, say) ends that connection for us.
        for key, _ in selector.select(timeout=0):
            drop(key.fileobj)
        missing = count - len(sent)
        for _ in range(missing):
            open_one()
        reconnects += missing
        if not ready:
            print(f"ready open={len(sent)}", flush=True)
            ready = True
        time.sleep(max(0.0, 1.0 - (time.monotonic() - tick)))
    print(f"{count} connections trickling, {reconnects} reconnects after drops in {seconds} s", flush=True)


def main():
    mode, port, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    if mode == "idle":
        idle(port, count, float(sys.argv[4]), sys.argv[5])
    elif mode == "slowloris":
        slowloris(port, count, float(sys.argv[4]))
    else:
        sys.exit("usage: host_load.py idle|slowloris PORT COUNT ...")


if __name__ == "__main__":
    main()
