"""Trader(peertimeout=...): a server that goes quiet after its heartbeats is
noticed, and the module reconnects."""

import subprocess
import time

import pytest

import traderhvr
from conftest import LISTENING, SIM_BINARY
from steps import WAIT, log_in


def test_peertimeout_must_be_whole_seconds_from_zero():
    for bad in (-1, 1.5, "2", True):
        with pytest.raises(ValueError):
            traderhvr.Trader(port=1, peertimeout=bad)


def test_a_server_that_freezes_is_cut_with_etimedout_and_reconnected(tmp_path):
    # Heartbeats every 0.2 s; each connection freezes after its third packet.
    log = tmp_path / "sim.log"
    sim = subprocess.Popen(
        [SIM_BINARY, "--port", "0", "--db", str(tmp_path / "sim.db"), "--fresh-day",
         "--heartbeat-seconds", "0.2", "--freeze-after", "3", "--log-level", "debug", "--log-file", str(log)],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        line = sim.stdout.readline()
        assert line.startswith(LISTENING), line
        port = int(line.rsplit(":", 1)[1])
        # No reconciliation after the login (its queries would come first):
        # the login, and the funds query that ends its catch-up.
        with traderhvr.Trader(port=port, folder=str(tmp_path / "flow"), peertimeout=1, reconcile=False) as trader:
            log_in(trader)
            # The module judges only a server it has heard heartbeats from, and
            # they reach no event. The simulator logs each one it sends, and
            # the answer to the query below follows it on the wire.
            deadline = time.monotonic() + WAIT
            while "heartbeat sent" not in log.read_text():
                assert time.monotonic() < deadline, "the simulator sent no heartbeat"
                time.sleep(0.02)
            # The third packet, after the login and the query the host sends
            # behind it: the server freezes after it.
            trader.query_account()
            cut = trader.wait_for(traderhvr.Disconnected, WAIT)
            assert cut.error == 110
            trader.wait_for(traderhvr.Connected, WAIT)  # the usual reconnect
    finally:
        sim.terminate()
        sim.wait(timeout=30)
