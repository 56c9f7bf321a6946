"""A TCP relay on 127.0.0.1 that records both directions of every connection
it carries, and writes them as a capture file (pcap, raw IPv4) with each
connection's real ports, its handshake and its close: what a capture on the
loopback interface would hold, made without capture privileges."""

import socket
import struct
import threading
import time

_LINKTYPE_RAW = 101  # packets begin with the IP header
_SEGMENT = 16000     # payload bytes per packet: under IPv4's 64 KiB, as TSO would cut them


class CaptureRelay:
    def __init__(self, upstream_port):
        self._upstream = ("127.0.0.1", upstream_port)
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(16)
        self.port = self._listener.getsockname()[1]
        self._lock = threading.Lock()
        self._events = []  # (time, connection, kind, data); kind: open, c2s, s2c, close-c, close-s
        self._threads = []
        self._connections = 0
        accept = threading.Thread(target=self._accept, daemon=True)
        accept.start()

    def _record(self, connection, kind, data=b""):
        with self._lock:
            self._events.append((time.time(), connection, kind, data))

    def _accept(self):
        while True:
            try:
                client, address = self._listener.accept()
            except OSError:
                return
            upstream = socket.create_connection(self._upstream, timeout=30)
            with self._lock:
                self._connections += 1
                connection = (self._connections, address[1])
            self._record(connection, "open")
            for source, sink, kind in ((client, upstream, "c2s"), (upstream, client, "s2c")):
                pump = threading.Thread(target=self._pump, args=(connection, source, sink, kind), daemon=True)
                pump.start()
                self._threads.append(pump)

    def _pump(self, connection, source, sink, kind):
        while True:
            try:
                data = source.recv(65536)
            except OSError:
                data = b""
            if not data:
                self._record(connection, "close-" + kind[0])
                try:
                    sink.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
                return
            self._record(connection, kind, data)
            try:
                sink.sendall(data)
            except OSError:
                self._record(connection, "close-" + kind[0])
                return

    def close(self, wait=5.0):
        """Stops accepting and waits (bounded) for the connections to end."""
        self._listener.close()
        deadline = time.time() + wait
        for pump in self._threads:
            pump.join(max(0.0, deadline - time.time()))

    def write_pcap(self, path):
        with self._lock:
            events = list(self._events)
        writer = _PcapWriter(path)
        flows = {}
        for stamp, connection, kind, data in events:
            if kind == "open":
                flows[connection] = flow = _Flow(connection[1], self.port)
                flow.handshake(writer, stamp)
            elif kind in ("c2s", "s2c"):
                flows[connection].send(writer, stamp, kind == "c2s", data)
            else:
                flows[connection].finish(writer, stamp, kind == "close-c")
        writer.close()


def write_exchanges(path, exchanges, start=1700000000.0):
    """A capture of made-up connections, one per exchange: each a list of
    (from_client, bytes) in the order they travel, 1 ms apart."""
    writer = _PcapWriter(path)
    stamp = start
    for number, exchange in enumerate(exchanges):
        flow = _Flow(20000 + number, 8080)
        flow.handshake(writer, stamp)
        for from_client, data in exchange:
            stamp += 0.001
            flow.send(writer, stamp, from_client, data)
        stamp += 0.001
        flow.finish(writer, stamp, True)
        flow.finish(writer, stamp, False)
    writer.close()


class _Flow:
    """One TCP connection's sequence numbers, client and server side."""

    def __init__(self, client_port, server_port):
        self.ports = (client_port, server_port)
        self.seq = {True: 1000, False: 5000}  # True: from the client
        self.fin = {True: False, False: False}

    def _packet(self, writer, stamp, from_client, flags, payload=b""):
        src, dst = (self.ports[0], self.ports[1]) if from_client else (self.ports[1], self.ports[0])
        ack = self.seq[not from_client] if flags & 0x10 else 0
        tcp = struct.pack("!HHIIBBHHH", src, dst, self.seq[from_client], ack, 5 << 4, flags, 65535, 0, 0)
        writer.packet(stamp, _ipv4(tcp + payload))
        self.seq[from_client] = (self.seq[from_client] + len(payload) + (1 if flags & 0x03 else 0)) & 0xFFFFFFFF

    def handshake(self, writer, stamp):
        self._packet(writer, stamp, True, 0x02)   # SYN
        self._packet(writer, stamp, False, 0x12)  # SYN, ACK
        self._packet(writer, stamp, True, 0x10)   # ACK

    def send(self, writer, stamp, from_client, data):
        for at in range(0, len(data), _SEGMENT):
            self._packet(writer, stamp, from_client, 0x18, data[at:at + _SEGMENT])  # PSH, ACK

    def finish(self, writer, stamp, from_client):
        if not self.fin[from_client]:
            self.fin[from_client] = True
            self._packet(writer, stamp, from_client, 0x11)  # FIN, ACK


def _ipv4(segment):
    loopback = socket.inet_aton("127.0.0.1")
    head = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(segment), 0, 0x4000, 64, 6, 0, loopback, loopback)
    total = sum(struct.unpack("!10H", head))
    total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return head[:10] + struct.pack("!H", ~total & 0xFFFF) + head[12:] + segment


class _PcapWriter:
    def __init__(self, path):
        self._file = open(path, "wb")
        self._file.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 262144, _LINKTYPE_RAW))

    def packet(self, stamp, data):
        seconds = int(stamp)
        micros = int((stamp - seconds) * 1e6)
        self._file.write(struct.pack("<IIII", seconds, micros, len(data), len(data)) + data)

    def close(self):
        self._file.close()
