#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Turns the benchmark's JSON output (and the memory program's JSON lines)
into the table of scenario, raw, library and ratio, and plots round-trip time
against message size for the library and raw libzmq as an SVG.

    bench/report.py BENCH_JSON [--memory MEMORY_JSONL] [--svg PLOT.svg]

Times are the medians over the repetitions (run with
--benchmark_report_aggregates_only or without; only medians are read).
Python 3 standard library only.
"""

import argparse
import json
import math
import sys
from collections import OrderedDict

SIZES = OrderedDict([("16B", 16), ("1KiB", 1024), ("64KiB", 65536), ("1MiB", 1048576)])


def read_medians(paths):
    """{scenario: {"lib": entry, "raw": entry}} from the median aggregates of every file."""
    entries = []
    for path in paths:
        with open(path) as handle:
            entries += json.load(handle)["benchmarks"]
    pairs = OrderedDict()
    for entry in entries:
        if entry.get("aggregate_name") != "median":
            continue
        name = entry["run_name"]
        if name.endswith("/real_time"):
            name = name[: -len("/real_time")]
        scenario, _, implementation = name.rpartition("/")
        pairs.setdefault(scenario, {})[implementation] = entry
    # Random interleaving shuffles the output; list in a fixed order.
    return OrderedDict(sorted(pairs.items(), key=lambda item: scenario_order(item[0])))


GROUPS = ["ack_round_trip", "noack_round_trip", "poller_round_trip", "pubsub_stream", "pubsub_buffer",
          "curve_ack_round_trip", "curve_pubsub_stream",
          "publish_send", "build_json", "rebrdcst"]


def scenario_order(scenario):
    parts = scenario.split("/")
    group = GROUPS.index(parts[0]) if parts[0] in GROUPS else len(GROUPS)
    transport = parts[1] if len(parts) > 1 else ""
    size = SIZES.get(parts[-1], 0)
    return (group, transport, size, scenario)


def nanoseconds(entry):
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[entry.get("time_unit", "ns")]
    return entry["real_time"] * scale


def format_time(ns):
    if ns >= 1e6:
        return "%.2f ms" % (ns / 1e6)
    if ns >= 1e3:
        return "%.2f µs" % (ns / 1e3)
    return "%.0f ns" % ns


def format_rate(per_second):
    return "%.0f k msg/s" % (per_second / 1e3)


def timing_rows(pairs):
    rows = []
    for scenario, both in pairs.items():
        if "lib" not in both or "raw" not in both:
            continue
        library, raw = both["lib"], both["raw"]
        ratio = nanoseconds(library) / nanoseconds(raw)
        if "items_per_second" in library:
            # Delivered messages: the higher the better, so the ratio is
            # raw rate over library rate (the same as time over time).
            rows.append((scenario, format_rate(raw["items_per_second"]),
                         format_rate(library["items_per_second"]), ratio))
        else:
            rows.append((scenario, format_time(nanoseconds(raw)), format_time(nanoseconds(library)), ratio))
    return rows


def memory_rows(path):
    by_scenario = OrderedDict()
    with open(path) as handle:
        for line in handle:
            line = line.strip()
            if line:
                record = json.loads(line)
                by_scenario.setdefault(record["scenario"], {}).setdefault(record["implementation"], []).append(record)
    rows = []
    for scenario, both in by_scenario.items():
        if "lib" not in both or "raw" not in both:
            continue

        def median(records, key):
            values = sorted(r[key] for r in records)
            return values[len(values) // 2]

        def growth(records, after, before):
            values = sorted(r[after] - r[before] for r in records)
            return values[len(values) // 2]

        lib_rss = growth(both["lib"], "rss_after_kib", "rss_before_kib")
        raw_rss = growth(both["raw"], "rss_after_kib", "rss_before_kib")
        lib_fds = growth(both["lib"], "fds_after", "fds_before")
        raw_fds = growth(both["raw"], "fds_after", "fds_before")
        # Growth of a few pages is allocator noise, not a ratio to report.
        ratio = lib_rss / raw_rss if raw_rss >= 256 else None
        rows.append((scenario + ": RSS growth", "%+d KiB" % raw_rss, "%+d KiB" % lib_rss, ratio))
        rows.append((scenario + ": open fds growth", "%+d" % raw_fds, "%+d" % lib_fds,
                     lib_fds / raw_fds if raw_fds > 0 else None))
        if scenario.startswith("acknowledged_exchanges"):
            rows.append((scenario + ": RSS after", "%d KiB" % median(both["raw"], "rss_after_kib"),
                         "%d KiB" % median(both["lib"], "rss_after_kib"), None))
    return rows


def print_table(rows, out):
    header = ("scenario", "raw", "library", "ratio")
    cells = [header] + [(s, r, l, "%.3f" % q if q is not None else "-") for s, r, l, q in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(4)]
    out.write("| " + " | ".join(header[i].ljust(widths[i]) for i in range(4)) + " |\n")
    out.write("|" + "|".join("-" * (widths[i] + 2) if i == 0 else "-" * (widths[i] + 1) + ":" for i in range(4))
              + "|\n")
    for row in cells[1:]:
        out.write("| " + row[0].ljust(widths[0]) + " | "
                  + " | ".join(row[i].rjust(widths[i]) for i in range(1, 4)) + " |\n")


def replace_table(path, rows):
    import io
    with open(path) as handle:
        text = handle.read()
    begin, end = "<!-- table -->\n", "<!-- /table -->"
    if begin not in text or end not in text:
        sys.exit("%s has no table markers" % path)
    table = io.StringIO()
    print_table(rows, table)
    head, rest = text.split(begin, 1)
    _, tail = rest.split(end, 1)
    with open(path, "w") as handle:
        handle.write(head + begin + table.getvalue() + end + tail)


def write_svg(pairs, path):
    series = []  # (label, colour, dashed, [(bytes, ns)])
    colours = {"ack_round_trip/ipc": "#1f77b4", "ack_round_trip/tcp": "#2ca02c",
               "noack_round_trip/ipc": "#d62728", "noack_round_trip/tcp": "#9467bd"}
    for prefix, colour in colours.items():
        for implementation, dashed in (("lib", False), ("raw", True)):
            points = []
            for size_name, size in SIZES.items():
                entry = pairs.get(prefix + "/" + size_name, {}).get(implementation)
                if entry:
                    points.append((size, nanoseconds(entry)))
            if points:
                label = "%s %s" % (prefix.replace("_round_trip", "").replace("noack", "no ack"),
                                   "library" if implementation == "lib" else "raw libzmq")
                series.append((label, colour, dashed, points))
    if not series:
        return

    width, height = 760, 480
    left, right, top, bottom = 80, 220, 40, 60
    all_times = [t for s in series for _, t in s[3]]
    y_low = 10 ** math.floor(math.log10(min(all_times)))
    y_high = 10 ** math.ceil(math.log10(max(all_times)))
    x_low, x_high = math.log2(16), math.log2(1048576)

    def x_of(size):
        return left + (math.log2(size) - x_low) / (x_high - x_low) * (width - left - right)

    def y_of(ns):
        fraction = (math.log10(ns) - math.log10(y_low)) / (math.log10(y_high) - math.log10(y_low))
        return height - bottom - fraction * (height - top - bottom)

    parts = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" font-family="sans-serif" '
             'font-size="12">' % (width, height),
             '<rect width="100%" height="100%" fill="white"/>',
             '<text x="%d" y="22" font-size="15">Round-trip time against message size (median)</text>' % left]
    decade = y_low
    while decade <= y_high * 1.0001:
        y = y_of(decade)
        parts.append('<line x1="%d" y1="%.1f" x2="%d" y2="%.1f" stroke="#ddd"/>' % (left, y, width - right, y))
        parts.append('<text x="%d" y="%.1f" text-anchor="end">%s</text>' % (left - 6, y + 4, format_time(decade)))
        decade *= 10
    for size_name, size in SIZES.items():
        x = x_of(size)
        parts.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#ddd"/>' % (x, top, x, height - bottom))
        parts.append('<text x="%.1f" y="%d" text-anchor="middle">%s</text>' % (x, height - bottom + 18, size_name))
    parts.append('<text x="%d" y="%d" text-anchor="middle">message size (log scale)</text>'
                 % ((left + width - right) / 2, height - 18))
    parts.append('<text x="18" y="%d" transform="rotate(-90 18 %d)" text-anchor="middle">time per round trip '
                 '(log scale)</text>' % ((top + height - bottom) / 2, (top + height - bottom) / 2))
    parts.append('<rect x="%d" y="%d" width="%d" height="%d" fill="none" stroke="#444"/>'
                 % (left, top, width - left - right, height - top - bottom))
    for index, (label, colour, dashed, points) in enumerate(series):
        coordinates = " ".join("%.1f,%.1f" % (x_of(s), y_of(t)) for s, t in points)
        dash = ' stroke-dasharray="6 4"' if dashed else ""
        parts.append('<polyline points="%s" fill="none" stroke="%s" stroke-width="2"%s/>' % (coordinates, colour, dash))
        for s, t in points:
            if dashed:
                parts.append('<rect x="%.1f" y="%.1f" width="7" height="7" fill="white" stroke="%s"/>'
                             % (x_of(s) - 3.5, y_of(t) - 3.5, colour))
            else:
                parts.append('<circle cx="%.1f" cy="%.1f" r="3.5" fill="%s"/>' % (x_of(s), y_of(t), colour))
        legend_y = top + 10 + index * 20
        legend_x = width - right + 14
        parts.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="%s" stroke-width="2"%s/>'
                     % (legend_x, legend_y, legend_x + 28, legend_y, colour, dash))
        parts.append('<text x="%d" y="%d">%s</text>' % (legend_x + 34, legend_y + 4, label))
    parts.append("</svg>\n")
    with open(path, "w") as handle:
        handle.write("\n".join(parts))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("bench_json", nargs="+", help="Google Benchmark JSON outputs, read as one run")
    parser.add_argument("--memory", help="JSON lines written by vorzmq_memory")
    parser.add_argument("--svg", help="where to write the round-trip plot")
    parser.add_argument("--markdown", help="a file whose table between the markers <!-- table --> and "
                                           "<!-- /table --> is replaced")
    arguments = parser.parse_args()

    pairs = read_medians(arguments.bench_json)
    rows = timing_rows(pairs)
    if arguments.memory:
        rows += memory_rows(arguments.memory)
    print_table(rows, sys.stdout)
    if arguments.markdown:
        replace_table(arguments.markdown, rows)
    if arguments.svg:
        write_svg(pairs, arguments.svg)
    worst = max((q for _, _, _, q in rows[: len(timing_rows(pairs))]), default=None)
    if worst is not None:
        print("\nhighest time ratio (library / raw): %.3f" % worst)


if __name__ == "__main__":
    main()
