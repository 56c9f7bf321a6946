#!/usr/bin/env python3
"""Prints the peer benchmark's table from run.sh's results.

    table.py RESULTS

Each line of RESULTS is one measurement: round=R framework=F variant=V
measure=M and the figures the client printed (or failed=1). A cell is the
median over the rounds of that figure; the ratios are ours over the peer's.
"""
import collections
import statistics
import sys

PAYLOAD_64M = 64 * 1048576 / 1e6  # MB

# (measure, variant, figure, row label, format)
ROWS = [
    ("small", "default", "calls_per_s", "small calls, 1 connection: calls/s", "{:.0f}"),
    ("small", "default", "p50_us", "  p50 latency (us)", "{:.0f}"),
    ("small", "default", "p99_us", "  p99 latency (us)", "{:.0f}"),
    ("small", "default", "client_cpu_us", "  client CPU per call (us)", "{:.1f}"),
    ("small", "default", "server_cpu_us", "  server CPU per call (us)", "{:.1f}"),
    ("threads", "default", "calls_per_s", "small calls, 16 client threads: calls/s", "{:.0f}"),
]
for variant, title in (("default", "default settings"), ("off", "compression off")):
    for kind in ("random", "text"):
        ROWS += [
            (f"echo1m.{kind}", variant, "mb_per_s", f"echo 1 MiB {kind}, {title}: MB/s", "{:.0f}"),
            (f"echo1m.{kind}", variant, "wire_bytes", "  bytes on the wire per echo (MB)", "mb3"),
            (f"echo64m.{kind}", variant, "mb_per_s", f"echo 64 MiB {kind}, {title}: MB/s", "{:.0f}"),
            (f"echo64m.{kind}", variant, "wire_bytes", "  bytes on the wire per echo (MB)", "mb1"),
            (f"echo64m.{kind}", variant, "server_peak_mb", "  server peak above idle (MB, x payload)", "peak"),
            (f"echo64m.{kind}", variant, "client_peak_mb", "  client peak above idle (MB, x payload)", "peak"),
        ]

# Column titles; "before" (another version of ours) only when measured.
TITLES = {"drav": "ours", "grpc": "gRPC", "thrift": "Thrift", "before": "before"}


def read(path):
    """figures[(measure, variant)][framework][figure] -> list of values."""
    figures = collections.defaultdict(lambda: collections.defaultdict(lambda: collections.defaultdict(list)))
    with open(path) as f:
        for line in f:
            fields = dict(item.split("=", 1) for item in line.split())
            cell = figures[(fields["measure"], fields["variant"])][fields["framework"]]
            for name, value in fields.items():
                if name not in ("round", "framework", "variant", "measure"):
                    cell[name].append(float(value))
    return figures


def show(value, form):
    if value is None:
        return "failed"
    if form == "mb3":
        return f"{value / 1e6:.3f}"
    if form == "mb1":
        return f"{value / 1e6:.1f}"
    if form == "peak":
        return f"{value:.0f} ({value / PAYLOAD_64M:.1f}x)"
    return form.format(value)


def main():
    figures = read(sys.argv[1])
    measured = {framework for cells in figures.values() for framework in cells}
    frameworks = [f for f in TITLES if f in ("drav", "grpc", "thrift") or f in measured]
    peers = frameworks[1:]
    header = ("", *(TITLES[f] for f in frameworks), *(f"ours/{TITLES[p]}" for p in peers))
    lines = []
    for measure, variant, figure, label, form in ROWS:
        cells = figures[(measure, variant)]
        medians = {}
        for framework in frameworks:
            values = cells[framework][figure]
            medians[framework] = statistics.median(values) if values else None
        ours = medians["drav"]
        ratios = []
        for peer in peers:
            theirs = medians[peer]
            ratios.append(f"{ours / theirs:.2f}x" if ours is not None and theirs else "-")
        lines.append((label, *(show(medians[f], form) for f in frameworks), *ratios))
    widths = [max(len(row[i]) for row in [header] + lines) for i in range(len(header))]
    for row in [header] + lines:
        print(row[0].ljust(widths[0]) + "".join("  " + cell.rjust(width) for cell, width in zip(row[1:], widths[1:])))
    print("ratios: ours / peer (calls/s, MB/s: above 1 is faster; latency, CPU, bytes, memory: below 1 is less)")


if __name__ == "__main__":
    main()
