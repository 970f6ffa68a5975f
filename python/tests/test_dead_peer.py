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
    sim = subprocess.Popen(
        [SIM_BINARY, "--port", "0", "--db", str(tmp_path / "sim.db"), "--fresh-day",
         "--heartbeat-seconds", "0.2", "--freeze-after", "3"],
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
            # they reach no event: a few of their periods pass first.
            time.sleep(0.6)
            trader.query_account()  # the third packet: the server freezes after it
            cut = trader.wait_for(traderhvr.Disconnected, WAIT)
            assert cut.error == 110
            trader.wait_for(traderhvr.Connected, WAIT)  # the usual reconnect
    finally:
        sim.terminate()
        sim.wait(timeout=30)
