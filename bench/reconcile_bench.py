"""Reconciling a large trading day: hvr-host and traderhvr against hvr-sim.

    PYTHONPATH=BUILD/python /usr/bin/python3 bench/reconcile_bench.py BUILD [--orders 70000 --fills 80000]

Fills a fresh simulator day (--partial-fills) with ORDERS orders that fill at
once: FILLS - ORDERS of them of two lots (two fills each), the rest of one
lot. Then, on that day, with push mode 1 (no replay) and a new book each:

- hvr-host: connect (the login's reconciliation loads the day into the new
  book), then `reconcile` three times (the book equal to the server's);
- traderhvr: the same with a Trader and trader.reconcile().

Each time is the host's own figure, from sending the orders and trades
queries to the result: the simulator building both answers, the transfer,
the module's conversion to host records, the copy into the book and the
comparison. Prints one line per figure.
"""

import argparse
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import threading
import time

import traderhvr


# An account that can afford the whole day.
CONFIG = """
[account.demo]
password = demo
balance = 10000000000

[instrument.IF2412]
exchange = CFFEX
multiplier = 1
tick = 0.2
last = 3500
band = 0.1
margin_ratio = 0.01
commission_ratio = 0.00001
"""


def start_sim(build, workdir):
    (workdir / "sim.ini").write_text(CONFIG)
    args = [str(build / "sim" / "hvr-sim"), "--listen", "127.0.0.1", "--port", "0", "--db",
            str(workdir / "sim.db"), "--config", str(workdir / "sim.ini"), "--fresh-day", "--partial-fills",
            "--idle-timeout", "600"]
    sim = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=open(workdir / "sim.log", "ab"), text=True)
    line = sim.stdout.readline()
    if not line.startswith("hvr-sim listening on "):
        sim.kill()
        raise SystemExit(f"hvr-sim did not start: {line!r}")
    return sim, int(line.rsplit(":", 1)[1])


def fill_day(port, folder, orders, fills):
    """Places the orders in windows of 2,000 answers."""
    answered = threading.Semaphore(0)
    trader = traderhvr.Trader(port=port, folder=folder, queue_events=False, reconcile=False,
                              pushmode=traderhvr.PushMode.NEW_ONLY)
    trader.on_answer = lambda event: answered.release() if isinstance(event, traderhvr.OrderAnswer) else None
    logged_in = threading.Event()
    trader.on_event = lambda event: logged_in.set() if isinstance(event, traderhvr.LoginResult) else None
    trader.connect()
    trader.login("demo", "demo")
    if not logged_in.wait(30):
        raise SystemExit("no login")
    two_lot = fills - orders
    window = 2000
    for start in range(0, orders, window):
        count = min(window, orders - start)
        for i in range(start, start + count):
            trader.insert("IF2412", 2 if i < two_lot else 1, 3500.0, tag=f"b{i}")
        for _ in range(count):
            if not answered.acquire(timeout=60):
                raise SystemExit("an order answer did not come")
    trader.close()


def host_figures(build, port, folder):
    folder.mkdir(parents=True, exist_ok=True)
    script = folder / "bench.script"
    script.write_text("connect\nreconcile 60000\nreconcile 60000\nreconcile 60000\n")
    run = subprocess.run(
        [str(build / "cli" / "hvr-host"), "--module", str(build / "libTraderHVR.so"), "--port", str(port),
         "--folder", str(folder) + "/", "--pushmode", "1", "--user", "demo", "--password", "demo",
         "--timeout", "60000", "--script", str(script)],
        capture_output=True, text=True, timeout=600)
    if run.returncode != 0:
        raise SystemExit(run.stdout[-3000:] + run.stderr[-3000:])
    return [line.split("[book] ", 1)[1] for line in run.stdout.splitlines() if "[book] reconciled:" in line]


def python_figures(port, folder):
    lines = []
    with traderhvr.Trader(port=port, folder=folder, queue_events=True, pushmode=traderhvr.PushMode.NEW_ONLY) as trader:
        trader.connect()
        trader.login("demo", "demo")
        trader.wait_for(traderhvr.LoginResult, 30)
        first = trader.wait_for(traderhvr.Reconciled, 120)
        lines.append(f"{first.summary} [Python: {first.elapsed * 1000:.0f} ms]")
        for _ in range(3):
            started = time.perf_counter()
            result = trader.reconcile(timeout=120)
            wall = time.perf_counter() - started
            lines.append(f"{result.summary} [Python: trader.reconcile() returned after {wall * 1000:.0f} ms]")
    return lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", type=pathlib.Path)
    parser.add_argument("--orders", type=int, default=70000)
    parser.add_argument("--fills", type=int, default=80000)
    args = parser.parse_args()
    if not args.orders <= args.fills <= 2 * args.orders:
        raise SystemExit("--fills must be from --orders to twice --orders")
    with tempfile.TemporaryDirectory(prefix="hvr-reconcile-bench.") as tmp:
        workdir = pathlib.Path(tmp)
        sim, port = start_sim(args.build.resolve(), workdir)
        try:
            started = time.perf_counter()
            fill_day(port, str(workdir / "fill"), args.orders, args.fills)
            print(f"filled the day: {args.orders} orders, {args.fills} fills in {time.perf_counter() - started:.1f} s")
            for line in host_figures(args.build.resolve(), port, workdir / "host"):
                print(f"hvr-host: {line}")
            for line in python_figures(port, str(workdir / "python")):
                print(f"traderhvr: {line}")
        finally:
            sim.terminate()
            sim.wait(timeout=60)


if __name__ == "__main__":
    sys.exit(main())
