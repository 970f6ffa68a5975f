"""Closing: the answers of requests already sent arrive before close()
returns, what never came is reported, and a second Ctrl-C ends a script even
while a callback runs."""

import asyncio
import logging
import signal
import subprocess
import sys
import threading

import traderhvr
from traderhvr import OrderAnswer, Reconciled
from steps import DEMO_CATALOG, WAIT, log_in

BUSY_SCRIPT = """
import sys, threading, time, logging
import traderhvr
logging.basicConfig(level=logging.INFO, stream=sys.stderr)
trader = traderhvr.Trader(port=int(sys.argv[1]), folder=sys.argv[2], catalog={"IF2412": {"multiplier": 300}})
never = threading.Event()

def busy(event):  # a callback that does not finish by itself
    sys.stdout.write("busy\\n")  # the first order push: the callback runs from here on (one write: the
    sys.stdout.flush()           # main thread writes its line at the same time)
    while not never.is_set():
        time.sleep(0.01)

trader.on_order = busy
with trader:
    trader.connect()
    trader.login("demo", "demo")
    trader.wait_for(traderhvr.LoginResult, 15)
    for _ in range(10):
        trader.insert("IF2412", 1, 3500.0)
    sys.stdout.write("ready\\n")
    sys.stdout.flush()
    for event in trader.events():
        pass
"""


def test_leaving_with_waits_for_the_answers_of_orders_already_sent(sim, tmp_path):
    sim.stop()
    sim.start(extra=["--answer-delay-ms", "200"])  # every answer takes a while
    with traderhvr.Trader(port=sim.port, folder=str(tmp_path / "flow"), catalog=DEMO_CATALOG) as trader:
        log_in(trader)
        tags = [trader.insert("IF2412", 1, 3500.0) for _ in range(5)]
    answers = [e for e in trader.events(timeout=0) if isinstance(e, OrderAnswer)]
    assert sorted(a.tag for a in answers) == sorted(tags)

    async def under_asyncio():
        async with traderhvr.Trader(port=sim.port, folder=str(tmp_path / "flow"), catalog=DEMO_CATALOG) as trader:
            trader.connect()
            trader.login("demo", "demo")
            await trader.await_logged_in(WAIT)
            tag = trader.insert("IF2412", 1, 3500.0)
        return trader, tag

    trader, tag = asyncio.run(under_asyncio())
    assert [e.tag for e in trader.events(timeout=0) if isinstance(e, OrderAnswer)] == [tag]


def test_close_reports_the_answers_that_never_came(sim, make_trader, caplog):
    sim.stop()
    sim.start(extra=["--mute-after", "3"])  # the login and its reconciliation are answered, nothing after
    trader = make_trader()
    log_in(trader)
    trader.wait_for(Reconciled, WAIT)
    tags = [trader.insert("IF2412", 1, 3500.0) for _ in range(3)]
    trader.query_account()
    with caplog.at_level(logging.WARNING, logger="traderhvr"):
        report = trader.close(timeout=0.3)
    assert sorted(report.orders) == sorted(tags) and report.queries == ("funds",)
    assert any("closed with 4 requests unanswered" in r.getMessage() for r in caplog.records), caplog.text
    assert trader.close() == traderhvr.Unanswered()  # once


def test_a_second_ctrl_c_ends_the_script_while_a_callback_runs(sim, tmp_path):
    script = tmp_path / "busy.py"
    script.write_text(BUSY_SCRIPT)
    process = subprocess.Popen(
        [sys.executable, str(script), str(sim.port), str(tmp_path / "flow")],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    # A script that never ends is killed, and fails below.
    deadline = threading.Timer(2 * WAIT, process.kill)
    deadline.start()
    try:
        # Ready, and the callback runs (it never returns by itself), in either order.
        assert sorted([process.stdout.readline(), process.stdout.readline()]) == ["busy\n", "ready\n"]
        process.send_signal(signal.SIGINT)  # KeyboardInterrupt in events(): the with block closes
        for line in process.stderr:
            if "traderhvr: closing" in line:
                break
        process.send_signal(signal.SIGINT)
        _, rest = process.communicate()
    finally:
        deadline.cancel()
        if process.poll() is None:
            process.kill()
            process.wait()
    assert process.returncode != -signal.SIGKILL, "still running after the second interrupt"
    assert process.returncode != 0
    assert "interrupted while closing" in rest and "interrupted the callback that was running" in rest, rest
    assert "KeyboardInterrupt" in rest
