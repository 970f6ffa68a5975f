"""Every Trader call against hvr-sim, and what comes back."""

import math
import socket

import pytest

import traderhvr
from traderhvr import OrderState
from steps import WAIT, answer_to, fill_one, log_in, order_reaches


def test_orders_cancels_and_pushes_round_trip(make_trader):
    trader = make_trader()
    trader.connect()
    assert isinstance(trader.wait_for((traderhvr.Connected, traderhvr.ConnectFailed), WAIT), traderhvr.Connected)
    assert trader.connected
    trader.login("demo", "demo")
    login = trader.wait_for(traderhvr.LoginResult, WAIT)
    assert login.succeeded and login.message == "" and login.trading_date > 20000000
    assert trader.logged_in

    # A crossing buy: answer, queuing push, fill, all-traded push.
    tag = trader.insert("IF2412", 1, 3500.0)
    answer = trader.wait_for(answer_to(tag), WAIT)
    assert answer.accepted and answer.error == ""
    assert (answer.entrust.code, answer.entrust.volume, answer.entrust.price) == ("IF2412", 1, 3500.0)
    assert (answer.entrust.side, answer.entrust.offset, answer.entrust.limit) == ("buy", "open", True)
    fill = trader.wait_for(traderhvr.TradePush, WAIT).trade
    assert (fill.order_id, fill.tag, fill.volume, fill.price) == (answer.order_id, tag, 1, 3500.0)
    assert fill.amount == pytest.approx(3500.0 * 300)
    done = trader.wait_for(order_reaches(answer.order_id, OrderState.ALL_TRADED), WAIT).order
    assert (done.traded_volume, done.left_volume, done.tag) == (1, 0, tag)
    assert done.state.finished

    # A resting buy, cancelled; a second cancel of the finished order is refused
    # with the module's GBK error text, decoded.
    tag = trader.insert("IF2412", 1, 3400.0, tag="rest-1")
    assert tag == "rest-1"
    resting = trader.wait_for(answer_to(tag), WAIT)
    trader.wait_for(order_reaches(resting.order_id, OrderState.QUEUING), WAIT)
    trader.cancel(resting.order_id)
    trader.wait_for(order_reaches(resting.order_id, OrderState.CANCELLED), WAIT)
    trader.cancel(int(resting.order_id))
    refused = trader.wait_for(traderhvr.CancelRefused, WAIT)
    assert (refused.code, refused.message) == (2, "订单状态错误")

    # The server's own refusal arrives as an answer, not as an exception.
    tag = trader.insert("IF2412", 1, 3500.1)
    off_tick = trader.wait_for(answer_to(tag), WAIT)
    assert off_tick.refused and off_tick.error_code == 1 and "tick" in off_tick.error

    trader.disconnect()  # the module's own event has code 0; the aborted receive may report too
    trader.wait_for(lambda e: isinstance(e, traderhvr.Disconnected) and e.error == 0, WAIT)
    assert not trader.connected and not trader.logged_in

    # disconnect() forgot the login: connect and log in again.
    log_in(trader)
    trader.connect()  # already started: nothing happens
    trader.query_orders()
    assert len(trader.wait_for(traderhvr.OrdersAnswer, WAIT).orders) == 2  # the refused one made none


def test_queries_convert_records(make_trader):
    trader = make_trader()
    log_in(trader)
    order_id = fill_one(trader)

    trader.query_account()
    (account,) = trader.wait_for(traderhvr.AccountAnswer, WAIT).accounts
    assert (account.account_name, account.currency) == ("demo", "CNY")
    assert account.margin == pytest.approx(3500 * 300 * 0.12)
    assert account.available == pytest.approx(account.balance - account.margin)

    trader.query_positions()
    (position,) = trader.wait_for(traderhvr.PositionsAnswer, WAIT).positions
    assert (position.code, position.side, position.currency, position.volume) == ("IF2412", "long", "CNY", 1)
    # total cost / volume / multiplier from the catalog
    assert position.avg_price == 3500.0

    trader.query_orders()
    (order,) = trader.wait_for(traderhvr.OrdersAnswer, WAIT).orders
    assert (order.order_id, order.state, order.traded_volume) == (order_id, OrderState.ALL_TRADED, 1)

    trader.query_trades()
    (trade,) = trader.wait_for(traderhvr.TradesAnswer, WAIT).trades
    assert (trade.order_id, trade.side, trade.offset, trade.tag) == (order_id, "buy", "open", "")


def test_positions_without_catalog_are_left_out_with_a_warning(make_trader):
    trader = make_trader(catalog=None)
    log_in(trader)
    fill_one(trader)
    trader.query_positions()
    warning = trader.wait_for(lambda e: isinstance(e, traderhvr.Log) and e.level == traderhvr.LOG_WARNING, WAIT)
    assert warning.text.startswith("[TraderHVR]")
    assert trader.wait_for(traderhvr.PositionsAnswer, WAIT).positions == ()


def test_module_log_lines_arrive_decoded_from_gbk(make_trader):
    trader = make_trader()
    trader.connect()
    first = trader.wait_for(traderhvr.Log, WAIT)
    assert first.level == traderhvr.LOG_INFO
    assert first.text == "[TraderHVR]开始连接远程服务器:127.0.0.1"
    trader.wait_for(lambda e: isinstance(e, traderhvr.Log) and e.text == "[TraderHVR]连接成功", WAIT)


def test_local_refusals_send_nothing(make_trader):
    trader = make_trader()
    with pytest.raises(traderhvr.NotLoggedIn):
        trader.insert("IF2412", 1, 3500.0)
    with pytest.raises(traderhvr.NotLoggedIn):
        trader.query_orders()
    log_in(trader)

    with pytest.raises(traderhvr.OrderRefused, match=r"not sent: \[TraderHVR\]"):  # the module's own reason
        trader.insert("IF2412", 1, math.nan)
    with pytest.raises(traderhvr.OrderRefused):
        trader.insert("IF2412", 1, 1e12)
    for bad in (dict(side="up"), dict(offset="flat"), dict(time_condition="week")):
        with pytest.raises(ValueError):
            trader.insert("IF2412", 1, 3500.0, **bad)
    for volume in (0, -1, 2**32, 1.5, True):
        with pytest.raises(ValueError):
            trader.insert("IF2412", volume, 3500.0)
    with pytest.raises(ValueError):
        trader.insert("IF\u20ac\U0001f600", 1, 3500.0)  # not writable in GBK
    with pytest.raises(ValueError):
        trader.insert("IF\x002412", 1, 3500.0)
    with pytest.raises(ValueError):
        trader.cancel("12abc")

    trader.query_orders()
    assert trader.wait_for(traderhvr.OrdersAnswer, WAIT).orders == ()


def test_connect_failure_is_reported_and_retried(tmp_path):
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]  # nothing listens once the probe is closed
    with traderhvr.Trader(port=port, folder=str(tmp_path)) as trader:
        trader.connect()
        first = trader.wait_for(traderhvr.ConnectFailed, WAIT)
        assert first.reason and first.error != 0
        trader.wait_for(traderhvr.ConnectFailed, WAIT)  # the module tries again
        assert not trader.logged_in
    assert trader.closed
    with pytest.raises(traderhvr.TraderClosed):
        trader.query_account()


def test_construction_refuses_bad_settings(tmp_path):
    with pytest.raises(ValueError):
        traderhvr.Trader(host="localhost", folder=str(tmp_path))
    with pytest.raises(ValueError):
        traderhvr.Trader(port=70000, folder=str(tmp_path))
    with pytest.raises(ValueError):
        traderhvr.Trader(pushmode=3, folder=str(tmp_path))
    with pytest.raises(RuntimeError, match="second module file"):
        traderhvr.Trader(module=str(tmp_path / "other" / "libTraderHVR.so"), folder=str(tmp_path))
