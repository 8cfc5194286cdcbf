#!/usr/bin/env python3
"""Medians, ratios and goals of one bench/http run.

summary.py RESULTS.tsv RUNS "IDLE RSS_BEFORE_KIB RSS_AFTER_KIB"
RESULTS.tsv: server, scenario, run, then wrk's key=value figures (bench/http/report.lua).
"""
import statistics
import sys

FILE_BYTES = 1048576
SCENARIOS = [
    ("keepalive64", "keep-alive, 64 connections", "req/s"),
    ("close64", "close per request, 64 connections", "req/s"),
    ("file1m8", "1 MiB file, 8 connections", "MB/s"),
    ("keepalive256", "keep-alive, 256 connections", "req/s"),
]
SERVERS = ["velmora", "nginx", "httplib", "blocking"]


def load(path):
    figures = {}
    with open(path) as rows:
        for row in rows:
            server, scenario, _run, fields = row.rstrip("\n").split("\t")
            values = dict(item.split("=") for item in fields.split())
            values = {key: int(value) for key, value in values.items()}
            seconds = values["duration_us"] / 1e6
            rate = values["requests"] / seconds if seconds > 0 else 0.0
            if scenario == "file1m8":
                rate = rate * FILE_BYTES / 1e6
            errors = sum(values[k] for k in ("connect", "read", "write", "status", "timeout"))
            figures.setdefault((server, scenario), []).append(
                (rate, values["p50_us"] / 1000, values["p99_us"] / 1000, errors, values["requests"]))
    return figures


def main():
    figures = load(sys.argv[1])
    memory = sys.argv[3].split() if len(sys.argv) > 3 else []
    medians = {}
    for key, runs in figures.items():
        medians[key] = (statistics.median(r[0] for r in runs), statistics.median(r[1] for r in runs),
                        statistics.median(r[2] for r in runs), sum(r[3] for r in runs), sum(r[4] for r in runs),
                        len(runs))

    print()
    print(f"{'scenario':<36} {'server':<9} {'rate':>14} {'p50':>11} {'p99':>11} {'errors':>8}  velmora/peer")
    for scenario, title, unit in SCENARIOS:
        velmora = medians.get(("velmora", scenario))
        for index, server in enumerate(SERVERS):
            figure = medians.get((server, scenario))
            label = title if index == 0 else ""
            if figure is None:
                print(f"{label:<36} {server:<9} {'(no run)':>12}")
                continue
            rate, p50, p99, errors, _requests, _n = figure
            ratio = ""
            if server != "velmora" and velmora and rate > 0:
                ratio = f"{velmora[0] / rate:.2f}x"
            print(f"{label:<36} {server:<9} {rate:>9.0f} {unit:<5}{p50:>8.2f} ms{p99:>8.2f} ms{errors:>9}  {ratio}")
    print("errors: wrk's connect, read, write, timeout and non-2xx counts, summed over the runs. A server that")
    print("closes a connection without a \"Connection: close\" field counts as a read error each time (wrk")
    print("took the connection for a persistent one); the request itself was answered.")

    def ratio(scenario, peer):
        mine, theirs = medians.get(("velmora", scenario)), medians.get((peer, scenario))
        if not mine or not theirs or theirs[0] <= 0:
            return None
        return mine[0] / theirs[0]

    goals = []
    for scenario, peer, target, text in [
        ("keepalive64", "nginx", 0.75, "keep-alive 64 vs nginx"),
        ("keepalive64", "httplib", 2.5, "keep-alive 64 vs cpp-httplib"),
        ("close64", "nginx", 0.65, "close per request 64 vs nginx"),
        ("keepalive256", "nginx", 0.65, "keep-alive 256 vs nginx"),
        ("file1m8", "nginx", 1.3, "1 MiB file 8 vs nginx"),
    ]:
        value = ratio(scenario, peer)
        goals.append((text, None if value is None else f"{value:.2f}x", f">= {target}x",
                      value is not None and value >= target))
    p99 = medians.get(("velmora", "keepalive256"))
    goals.append(("keep-alive 256 p99 of velmora", None if p99 is None else f"{p99[2]:.2f} ms", "<= 10 ms",
                  p99 is not None and p99[2] <= 10))
    # Not a goal: how close Velmora comes to the ceiling of its own design on this machine.
    for scenario, _title, _unit in SCENARIOS:
        value = ratio(scenario, "blocking")
        if value is not None:
            goals.append((f"{scenario} vs the minimal blocking server (reference)", f"{value:.2f}x", "-", None))
    if len(memory) == 3:
        idle, before, after = (int(v) for v in memory)
        per = (after - before) / idle
        goals.append((f"memory per idle keep-alive connection ({idle} open)", f"{per:.1f} KiB", "<= 64 KiB",
                      per <= 64))
        print(f"velmora-demo resident memory: {before} KiB fresh, {after} KiB with {idle} idle keep-alive "
              f"connections")
    else:
        goals.append(("memory per idle keep-alive connection", None, "<= 64 KiB", False))

    print()
    print(f"{'goal':<52} {'measured':>10}  {'target':<10} result")
    for text, measured, target, passed in goals:
        verdict = "" if passed is None else "PASS" if passed else "MISS"
        print(f"{text:<52} {measured or 'n/a':>10}  {target:<10} {verdict}")


if __name__ == "__main__":
    main()
