"""The events() iterator: timeouts, closing, Ctrl-C."""

import os
import signal
import subprocess
import sys
import threading

import pytest

import traderhvr
from steps import WAIT, log_in

WAITER_SCRIPT = """
import signal, sys, traderhvr
signal.signal(signal.SIGINT, signal.default_int_handler)  # even if started with SIGINT ignored
trader = traderhvr.Trader(port=int(sys.argv[1]), folder=sys.argv[2])
try:
    print("waiting", flush=True)
    for event in trader.events():  # no timeout: only a signal ends it
        pass
except KeyboardInterrupt:
    print("interrupted", flush=True)
trader.close()
"""


def test_iteration_ends_when_no_event_arrives_in_time(make_trader):
    trader = make_trader()
    log_in(trader)
    list(trader.events(timeout=0.5))  # drain what the login brought
    assert list(trader.events(timeout=0.2)) == []
    assert trader.next_event(timeout=0) is None
    with pytest.raises(TimeoutError):
        trader.wait_for(traderhvr.OrderPush, 0.2)
    # The iterator picks up again once something arrives.
    trader.query_account()
    assert any(isinstance(e, traderhvr.AccountAnswer) for e in trader.events(timeout=WAIT))


def test_close_ends_a_waiting_iteration_in_another_thread(make_trader):
    trader = make_trader()
    log_in(trader)
    started = threading.Event()
    read = []

    def iterate():
        started.set()
        read.extend(trader.events())  # no timeout: only close() ends it

    reader = threading.Thread(target=iterate)
    reader.start()
    started.wait(WAIT)
    trader.close()
    reader.join(WAIT)
    assert not reader.is_alive()
    assert trader.closed


def test_ctrl_c_stops_a_script_waiting_on_events(sim, tmp_path):
    env = dict(os.environ)
    waiter = subprocess.Popen(
        [sys.executable, "-c", WAITER_SCRIPT, str(sim.port), str(tmp_path / "flow")],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )
    assert waiter.stdout.readline().strip() == "waiting"
    waiter.send_signal(signal.SIGINT)
    out, err = waiter.communicate(timeout=30)
    assert waiter.returncode == 0, err
    assert out.strip() == "interrupted"
