"""Callbacks: the thread they run on, exceptions in them, calls back into the Trader."""

import logging
import threading
import weakref

import pytest

import traderhvr
from traderhvr import OrderState
from steps import WAIT, answer_to, fill_one, log_in, order_reaches


def test_callbacks_run_on_the_network_thread_and_match_the_queue(make_trader):
    trader = make_trader()
    seen = []

    def record(event):
        seen.append((threading.get_ident(), event))

    trader.on_event = trader.on_answer = trader.on_order = trader.on_trade = trader.on_log = record
    log_in(trader)
    order_id = fill_one(trader)
    trader.query_positions()
    trader.wait_for(traderhvr.PositionsAnswer, WAIT)

    pushes = [(tid, e) for tid, e in seen if isinstance(e, (traderhvr.OrderPush, traderhvr.TradePush))]
    assert [type(e) for _, e in pushes] == [traderhvr.OrderPush, traderhvr.TradePush, traderhvr.OrderPush]
    assert pushes[-1][1].order.order_id == order_id
    network_threads = {tid for tid, _ in pushes}
    assert len(network_threads) == 1 and threading.get_ident() not in network_threads
    # An event read from the queue has had its callback already.
    assert any(isinstance(e, traderhvr.PositionsAnswer) for _, e in seen)


def test_callback_exception_is_logged_and_the_connection_goes_on(make_trader, caplog):
    trader = make_trader()
    raised = []

    def broken(event):
        raised.append(event)
        raise ValueError("strategy bug")

    trader.on_order = broken
    log_in(trader)
    with caplog.at_level(logging.ERROR, logger="traderhvr"):
        first = fill_one(trader)
        second = fill_one(trader)  # pushes keep coming after the exceptions
    assert first != second
    assert trader.callback_errors == len(raised) == 4  # queuing and all-traded, twice
    messages = [r for r in caplog.records if "on_order raised" in r.getMessage()]
    assert len(messages) == 4 and "strategy bug" in messages[0].exc_text
    assert trader.connected and trader.logged_in


def test_close_inside_a_callback_is_refused(make_trader):
    trader = make_trader()
    outcome = []

    def close_now(event):
        try:
            trader.close()
            outcome.append("closed")
        except RuntimeError as error:
            outcome.append(str(error))

    trader.on_trade = close_now
    log_in(trader)
    fill_one(trader)
    assert len(outcome) == 1 and "inside a callback" in outcome[0]
    assert not trader.closed
    trader.query_orders()  # still working
    assert len(trader.wait_for(traderhvr.OrdersAnswer, WAIT).orders) == 1


def test_callback_may_trade_from_the_network_thread(make_trader):
    trader = make_trader()
    closing_tags = []

    def close_position(event):
        trade = event.trade
        if trade.offset == "open":
            closing_tags.append(trader.insert(trade.code, trade.volume, trade.price, side="sell", offset="close"))

    trader.on_trade = close_position
    log_in(trader)
    fill_one(trader)
    close_answer = trader.wait_for(lambda e: isinstance(e, traderhvr.OrderAnswer) and e.tag in closing_tags, WAIT)
    trader.wait_for(order_reaches(close_answer.order_id, OrderState.ALL_TRADED), WAIT)
    trader.query_positions()
    assert trader.wait_for(traderhvr.PositionsAnswer, WAIT).positions == ()


def test_callbacks_only_trader_queues_nothing(make_trader):
    trader = make_trader(queue_events=False)
    logins = []
    got = threading.Event()

    def on_event(event):
        if isinstance(event, traderhvr.LoginResult):
            logins.append(event)
            got.set()

    trader.on_event = on_event
    trader.connect()
    trader.login("demo", "demo")
    assert got.wait(WAIT) and logins[0].succeeded
    assert trader.next_event(timeout=0) is None


def test_a_trader_dropped_inside_its_own_callback_is_released_elsewhere(sim, make_trader, tmp_path):
    owner = {"trader": traderhvr.Trader(port=sim.port, folder=str(tmp_path / "dropped"))}
    freed = threading.Event()
    weakref.finalize(owner["trader"], freed.set)
    owner["trader"].on_order = lambda event: owner.clear()  # the last reference goes on the network thread
    log_in(owner["trader"])
    owner["trader"].insert("IF2412", 1, 3500.0)
    assert freed.wait(WAIT)

    # The process goes on: another trader of the same module trades as before.
    trader = make_trader()
    log_in(trader)
    fill_one(trader)
