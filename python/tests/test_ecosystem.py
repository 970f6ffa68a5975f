"""traderhvr as Python code around it expects a library to behave: the same
defaults as hvr-host, types a checker holds calls to, DataFrames of the book,
a logger that prints nothing unasked, sys.exit() from a callback, and pushes
of a login's catch-up told from new ones."""

import inspect
import logging
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

import traderhvr
from traderhvr import OrderPush, OrderState, TradePush, loglines
from steps import WAIT, fill_one, log_in, order_reaches

PACKAGE_ROOT = pathlib.Path(traderhvr.__file__).resolve().parents[1]
DOCS = pathlib.Path(__file__).resolve().parents[2] / "docs" / "log-lines.md"


def run_python(code, *args, env=None, timeout=60):
    """Runs code in a fresh interpreter that imports this traderhvr."""
    environment = dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT), **(env or {}))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], capture_output=True,
                          text=True, timeout=timeout, env=environment)


def test_peertimeout_defaults_to_hvr_hosts_fifteen_seconds():
    default = inspect.signature(traderhvr.Trader).parameters["peertimeout"].default
    assert default == traderhvr.PEER_TIMEOUT == 15
    host = os.environ.get("HVR_HOST")
    if host:
        help_text = subprocess.run([host, "--help"], capture_output=True, text=True, timeout=30).stdout
        assert re.search(r"--peertimeout arg \(=(\d+)\)", help_text).group(1) == str(default)


def test_mypy_strict_refuses_a_position_side_in_an_order(tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "orders.py").write_text(textwrap.dedent("""
        from traderhvr import Trader
        def place(trader: Trader) -> None:
            trader.insert("IF2412", 1, 3500.0, side="sell", offset="close_today", time_condition="ioc")
            trader.insert("IF2412", 1, 3500.0, side="long")
            trader.insert("IF2412", 1, 3500.0, offset="closed")
    """))
    installed = "site-packages" in traderhvr.__file__ or "dist-packages" in traderhvr.__file__
    env = dict(os.environ, **({} if installed else {"MYPYPATH": str(PACKAGE_ROOT)}))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-executable", sys.executable,
         str(tmp_path / "orders.py")], capture_output=True, text=True, timeout=300, env=env, cwd=tmp_path)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert result.returncode == 1, result.stdout + result.stderr
    assert len(errors) == 2, result.stdout
    assert 'orders.py:5: error: Argument "side"' in errors[0] and "'long'" in errors[0]
    assert 'orders.py:6: error: Argument "offset"' in errors[1]


def test_the_book_and_its_records_become_data_frames(make_trader):
    pandas = pytest.importorskip("pandas")
    trader = make_trader()
    log_in(trader)
    order_id = fill_one(trader)
    book = trader.book()
    orders = traderhvr.orders_frame(book.orders.values())
    assert list(orders["order_id"]) == [order_id] and list(orders["state"]) == ["ALL_TRADED"]
    assert pandas.api.types.is_datetime64_any_dtype(orders["order_time"])
    assert orders.equals(book.orders_frame())
    fills = book.fills_frame()
    assert list(fills["order_id"]) == [order_id] and pandas.api.types.is_datetime64_any_dtype(fills["trade_time"])
    positions = book.positions_frame()
    assert list(positions[["code", "side", "net"]].itertuples(index=False, name=None)) == [("IF2412", "long", 1)]


def test_a_venv_that_cannot_see_the_systems_pandas_is_told_so(tmp_path):
    venv = tmp_path / "plain"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True, timeout=120)
    result = subprocess.run(
        [str(venv / "bin" / "python"), "-c", "import traderhvr; traderhvr.orders_frame([])"],
        capture_output=True, text=True, timeout=60, env=dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT)))
    assert result.returncode == 1
    message = result.stderr.strip().splitlines()[-1]
    assert "made without --system-site-packages" in message and "python3 -m venv --system-site-packages" in message
    if traderhvr.frames._system_pandas():
        assert "is installed but not seen from here" in message, message


def test_the_modules_lines_print_nothing_unasked_and_carry_their_text_and_gloss(make_trader, caplog):
    assert any(isinstance(h, logging.NullHandler) for h in logging.getLogger("traderhvr").handlers)
    # A warning at once: nothing listens on the port, so the attempt fails.
    quiet = run_python("""
        import sys, traderhvr
        with traderhvr.Trader(port=int(sys.argv[1]), folder=sys.argv[2]) as trader:
            trader.connect()
            trader.wait_for(traderhvr.ConnectFailed, 15)
            trader.wait_for(lambda e: isinstance(e, traderhvr.Log) and e.level == traderhvr.LOG_WARNING, 15)
    """, unused_port(), "flow")
    assert quiet.returncode == 0, quiet.stderr
    assert quiet.stderr == ""

    with caplog.at_level(logging.INFO, logger="traderhvr"):
        log_in(make_trader())
    records = {r.text: r for r in caplog.records if getattr(r, "level_code", None)}
    connected = records["[TraderHVR]连接成功"]
    assert (connected.gloss, connected.level_code, connected.levelno) == ("connected", 102, logging.INFO)
    assert connected.getMessage() == "[TraderHVR]连接成功 (connected)"


def test_every_documented_log_line_has_a_gloss_that_its_lines_find():
    rows = loglines.parse(DOCS.read_text(encoding="utf-8"))
    assert len(rows) >= 20 and all(meaning for _, _, meaning in rows)
    assert loglines.gloss("[TraderHVR]接收出错:End of file(2),2秒后重连") == (
        "receive error: text (code), reconnecting in N seconds")
    assert loglines.gloss("[TraderHVR]委托价格无效,拒绝报单:IF2412 nan").startswith("invalid order price")
    assert loglines.gloss("[TraderHVR]no such line") is None


@pytest.mark.parametrize("wait", ["traderhvr", "sleep"])
def test_sys_exit_in_a_callback_ends_the_program_with_its_code(sim, tmp_path, wait):
    result = run_python("""
        import sys, time, traderhvr
        # No event is queued: the wait below is one that no event ends.
        trader = traderhvr.Trader(port=int(sys.argv[1]), folder=sys.argv[2], catalog={"IF2412": {"multiplier": 300}},
                                  queue_events=False)
        calls = []
        def stop(event):
            calls.append(event)
            sys.exit(3)
        trader.on_order = stop
        trader.connect()
        trader.login("demo", "demo")
        trader.wait_logged_in(15)
        try:  # waits without end: only the exit ends them
            # Inside the try: the callback may raise its exit in this thread
            # as soon as the order is out.
            trader.insert("IF2412", 1, 3500.0)
            if sys.argv[3] == "traderhvr":
                trader.next_event()
            else:
                while True:
                    time.sleep(0.05)
        finally:
            print("callbacks run:", len(calls))
    """, sim.port, tmp_path / "flow", wait)
    assert result.returncode == 3, result.stdout + result.stderr
    assert result.stdout == "callbacks run: 1\n", result.stdout + result.stderr


def test_a_replayed_day_is_marked_and_pushes_after_the_login_are_not(make_trader):
    first = make_trader(folder="first")
    log_in(first)
    early = fill_one(first)

    replaying = make_trader(folder="replaying", pushmode=traderhvr.PushMode.REPLAY_DAY)
    log_in(replaying)
    replaying.wait_for(traderhvr.Reconciled, WAIT)  # its answers come after the replay
    late = fill_one(first)  # a new order, after the second trader's login
    last = replaying.wait_for(order_reaches(late, OrderState.ALL_TRADED), WAIT)
    pushes = [e for e in replaying.events(timeout=0) if isinstance(e, (OrderPush, TradePush))] + [last]
    of = lambda e: e.order.order_id if isinstance(e, OrderPush) else e.trade.order_id  # noqa: E731
    old = [e for e in pushes if of(e) == early]
    new = [e for e in pushes if of(e) == late]
    assert len(old) == len(new) == 3, pushes  # queuing, the fill, filled
    assert all(e.replayed for e in old) and not any(e.replayed for e in new)


def unused_port():
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
