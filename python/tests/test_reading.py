"""How events are read: nothing lost by wait_for, typed matches, arrival times,
refused cancels that name their order, DataFrames."""

import sys
from datetime import datetime, timedelta

import pytest

import traderhvr
from traderhvr import OrderAnswer, OrderPush, OrderState, TradePush
from steps import WAIT, answer_to, fill_one, log_in, order_reaches


def test_wait_for_keeps_what_it_reads_past_for_events(make_trader):
    trader = make_trader()
    log_in(trader)
    tag = trader.insert("IF2412", 1, 3500.0)
    # Straight to the last push: the answer, the queuing push and the fill
    # are read on the way, and must not be lost.
    done = trader.wait_for(OrderPush, WAIT, where=lambda p: p.order.state is OrderState.ALL_TRADED)
    answer = trader.wait_for(OrderAnswer, WAIT, where=lambda a: a.tag == tag)  # found among the kept
    assert answer.order_id == done.order.order_id
    rest = [e for e in trader.events(timeout=0) if isinstance(e, (OrderPush, TradePush))]
    assert [type(e) for e in rest] == [OrderPush, TradePush]
    assert rest[0].order.state is OrderState.QUEUING and rest[1].trade.order_id == answer.order_id
    with pytest.raises(TypeError):
        trader.wait_for(lambda e: True, WAIT, where=lambda e: True)  # where goes with a class


def test_events_carry_the_time_they_arrived(make_trader):
    trader = make_trader()
    before = datetime.now().astimezone()
    log_in(trader)
    order_id = fill_one(trader)
    after = datetime.now().astimezone()
    events = list(trader.events(timeout=0))
    times = [e.received for e in events]
    assert times and all(before <= t <= after for t in times) and times == sorted(times)
    # The records' own times: a push gives seconds, a query milliseconds; both
    # become the same instant.
    push = [e for e in events if isinstance(e, OrderPush) and e.order.state is OrderState.QUEUING][0]
    trader.query_orders()
    queried = trader.wait_for(traderhvr.OrdersAnswer, WAIT).orders[0]
    assert queried.order_id == order_id and queried.order_time > 1000 * push.order.order_time > 0
    assert push.order.order_datetime is not None and queried.order_datetime is not None
    assert abs(queried.order_datetime - push.order.order_datetime) < timedelta(seconds=1)
    assert before - timedelta(seconds=1) <= queried.order_datetime <= after


def test_a_refused_cancel_names_its_order(make_trader):
    trader = make_trader()
    log_in(trader)
    filled = fill_one(trader)
    tag = trader.insert("IF2412", 1, 3400.0)
    resting = trader.wait_for(answer_to(tag), WAIT)
    trader.wait_for(order_reaches(resting.order_id, OrderState.QUEUING), WAIT)
    trader.cancel(resting.order_id)  # works: settled by its CANCELLED push
    trader.wait_for(order_reaches(resting.order_id, OrderState.CANCELLED), WAIT)
    trader.cancel(filled)  # refused: the order is filled
    refused = trader.wait_for(traderhvr.CancelRefused, WAIT)
    assert (refused.order_id, refused.code) == (filled, 2)


def test_answers_become_data_frames(make_trader):
    pandas = pytest.importorskip("pandas")
    trader = make_trader()
    log_in(trader)
    order_id = fill_one(trader)
    trader.query_orders()
    orders = trader.wait_for(traderhvr.OrdersAnswer, WAIT).to_frame()
    assert list(orders["order_id"]) == [order_id] and list(orders["state"]) == ["ALL_TRADED"]
    assert pandas.api.types.is_datetime64_any_dtype(orders["order_time"])
    trader.query_trades()
    trades = trader.wait_for(traderhvr.TradesAnswer, WAIT).to_frame()
    assert list(trades["order_id"]) == [order_id] and pandas.api.types.is_datetime64_any_dtype(trades["trade_time"])
    trader.query_positions()
    positions = trader.wait_for(traderhvr.PositionsAnswer, WAIT).to_frame()
    assert list(positions[["code", "side", "volume"]].itertuples(index=False, name=None)) == [("IF2412", "long", 1)]
    assert list(traderhvr.orders_frame([]).columns) == list(orders.columns)  # no rows, same columns


def test_to_frame_without_pandas_says_why(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)  # import pandas fails
    with pytest.raises(ImportError, match="DataFrames need pandas") as raised:
        traderhvr.trades_frame([])
    if traderhvr.frames._system_pandas() in sys.path:  # installed and searched: the import's own error
        assert "could not be imported: import of pandas halted" in str(raised.value)
