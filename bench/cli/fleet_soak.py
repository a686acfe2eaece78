#!/usr/bin/env python3
"""A long run of zelvoflash fleet against simulated network docks that go away.

    bench/cli/fleet_soak.py --build build [--docks 16] [--minutes 30] [--seed N]

Starts DOCKS `zelvo-sim serve-dock` processes on loopback addresses
(127.88.x.y) and `zelvoflash fleet` over all of them, without --once. Every
minute a dock chosen at random is power-cycled: its process stopped (SIGTERM,
or SIGKILL one time in three) and started again on the same address. It comes
back with the instrument it held (still to be flashed, or now up to date), or
with another one put in meanwhile; now and then the instrument is swapped in
the dock itself (--swap-at-release). Each instrument put in has an identity of
its own, its firmware version and type letter (9.00 B, 9.07 K, ...), which
the fleet's records name; the fleet runs with --force so that every one of
them is flashed to the file's 9.12 A.

After MINUTES the power-cycling stops, the docks are given time to finish,
and the fleet is interrupted. Checked then: every instrument put in was
flashed (a completed record) or has a failed record; none is lost. The
program's memory (VmRSS, VmHWM) and CPU (share of one core over a window of
five minutes) are printed at the start and at the end. Exit status 0 when no
instrument was lost.

Not part of the tests: it takes MINUTES of wall time.
"""

import argparse
import json
import os
import random
import signal
import subprocess
import sys
import tempfile
import threading
import time

FILE_VERSION, FILE_TYPE = "9.12", "A"


def proc_status(pid):
    fields = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            fields[key] = value.strip()
    return fields


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        parts = f.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return (int(parts[11]) + int(parts[12])) / ticks  # utime, stime


class Identities:
    """Instrument identities not used before: (version, type letter)."""

    def __init__(self):
        self.free = [(f"9.{v:02d}", t) for t in "BCDEFGHIJKLMNOPQRSTUVWXYZ" for v in range(12)]
        self.swaps = [f"9.{v:02d}" for v in range(12)]  # swapped in with the letter the dock's last one had

    def new(self):
        return self.free.pop(0)


class Dock:
    def __init__(self, build, address, instrument, log):
        self.build, self.address, self.log = build, address, log
        self.instrument = instrument  # (version, type) now in the dock
        self.process = None
        self.swap = None

    def start(self, swap=None):
        version, letter = self.instrument
        args = [os.path.join(self.build, "src/sim/zelvo-sim"), "serve-dock", "--address", self.address,
                "--version", version, "--type", letter, "--restart", "1"]
        self.swap = swap
        if swap:
            args += ["--swap-at-release", swap]
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=self.log, text=True)
        line = self.process.stdout.readline()
        if not line.startswith(self.address):
            raise RuntimeError(f"zelvo-sim serve-dock on {self.address} did not start")

    def stop(self, kill):
        self.process.send_signal(signal.SIGKILL if kill else signal.SIGTERM)
        self.process.wait(timeout=30)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build")
    parser.add_argument("--docks", type=int, default=16)
    parser.add_argument("--minutes", type=float, default=30)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--keep", help="directory for the logs (default: a temporary one)")
    options = parser.parse_args()
    rng = random.Random(options.seed)
    work = options.keep or tempfile.mkdtemp(prefix="fleet-soak-")
    os.makedirs(work, exist_ok=True)
    print(f"seed {options.seed}, logs in {work}", flush=True)

    firmware = os.path.join(work, "ng.bin")
    subprocess.run([os.path.join(options.build, "src/sim/zelvo-sim"), "make-firmware", "--ng", "--version",
                    FILE_VERSION, "--type", FILE_TYPE, "-o", firmware], check=True)
    identities = Identities()
    sim_log = open(os.path.join(work, "docks.log"), "w")
    base = (os.getpid() * 7) % 200
    docks = []
    put_in = []  # (address, identity) of every instrument put in
    for n in range(options.docks):
        dock = Dock(options.build, f"127.88.{base}.{n + 1}", identities.new(), sim_log)
        dock.start()
        put_in.append((dock.address, dock.instrument))
        docks.append(dock)

    board = open(os.path.join(work, "board.log"), "w")
    fleet = subprocess.Popen([os.path.join(options.build, "src/cli/zelvoflash"), "fleet", firmware, "--yes", "--force",
                              "--json"] + [a for d in docks for a in ("--dock-net", d.address)],
                             stdout=subprocess.PIPE, stderr=board, text=True)
    records = []

    def read_records():
        for line in fleet.stdout:
            records.append(json.loads(line))

    reader = threading.Thread(target=read_records, daemon=True)
    reader.start()

    def completed(address, identity):
        return any(r["dock"] == address and r["outcome"] == "completed" and r["instrument"]
                   and (r["instrument"]["version"], r["instrument"]["type_letter"]) == identity for r in records)

    def figures(label, window_start):
        status = proc_status(fleet.pid)
        now, cpu = time.monotonic(), cpu_seconds(fleet.pid)
        share = (cpu - window_start[1]) / (now - window_start[0])
        print(f"{label}: VmRSS {status['VmRSS']}, VmHWM {status['VmHWM']}, threads {status['Threads']}, "
              f"CPU {cpu:.1f} s in all, {100 * share:.1f} % of a core over the last "
              f"{(now - window_start[0]) / 60:.1f} min", flush=True)

    started = time.monotonic()
    window = (started, 0.0)
    reported_start = False
    cycles = 0
    while time.monotonic() - started < options.minutes * 60:
        time.sleep(60)
        if not reported_start and time.monotonic() - started >= 5 * 60:
            figures("start (first 5 min)", window)
            reported_start = True
        if options.minutes * 60 - (time.monotonic() - started) < 5 * 60 + 30 and window[0] == started:
            window = (time.monotonic(), cpu_seconds(fleet.pid))  # the last five minutes
        dock = rng.choice(docks)
        kill = rng.random() < 1 / 3
        dock.stop(kill)
        cycles += 1
        # The instrument in it: one swapped in by the dock at its first
        # release (of the up-to-date one it started with) took the place of
        # that one; flashed meanwhile, it now runs the file's firmware.
        if dock.swap:
            dock.instrument = (dock.swap, FILE_TYPE)
        if completed(dock.address, dock.instrument):
            dock.instrument = (FILE_VERSION, FILE_TYPE)
        choice = rng.random()
        swap = None
        if dock.instrument == (FILE_VERSION, FILE_TYPE):
            if choice < 0.4:
                dock.instrument = identities.new()  # another one put in while the dock was off
                put_in.append((dock.address, dock.instrument))
            elif choice < 0.7 and identities.swaps:
                swap = identities.swaps.pop(0)
                put_in.append((dock.address, (swap, FILE_TYPE)))
        dock.start(swap)
        print(f"{time.monotonic() - started:7.0f} s: {dock.address} {'killed' if kill else 'stopped'}, back with "
              f"{' '.join(dock.instrument)}{', swap to ' + swap if swap else ''}", flush=True)

    # The instruments still in the docks are given their time.
    def in_dock(dock):
        return (dock.swap, FILE_TYPE) if dock.swap else dock.instrument

    deadline = time.monotonic() + 180
    while time.monotonic() < deadline:
        if all(in_dock(d) == (FILE_VERSION, FILE_TYPE) or completed(d.address, in_dock(d)) for d in docks):
            break
        time.sleep(5)
    figures("end (last 5 min)", window)
    fleet.send_signal(signal.SIGINT)
    fleet.wait(timeout=60)
    reader.join(timeout=10)
    for dock in docks:
        dock.stop(False)

    lost, flashed, failed_only = [], 0, 0
    for address, identity in put_in:
        if identity == (FILE_VERSION, FILE_TYPE):
            continue
        mine = [r for r in records if r["dock"] == address and r["instrument"]
                and (r["instrument"]["version"], r["instrument"]["type_letter"]) == identity]
        if any(r["outcome"] == "completed" for r in mine):
            flashed += 1
        elif mine:
            failed_only += 1
        else:
            lost.append((address, identity))
    outcomes = {}
    for r in records:
        outcomes[r["outcome"]] = outcomes.get(r["outcome"], 0) + 1
    print(f"{cycles} power cycles; {len(put_in)} instruments put in; {flashed} flashed, "
          f"{failed_only} with only failed records, {len(lost)} lost; records: {outcomes}", flush=True)
    for address, identity in lost:
        print(f"lost: {' '.join(identity)} in {address}", flush=True)
    return 1 if lost else 0


if __name__ == "__main__":
    sys.exit(main())
