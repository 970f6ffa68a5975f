"""The Trader's book against hvr-sim: idempotent pushes, and reconciliation
after every login and on demand, through a crash, push mode 1, pushes the
server left out, a lost flow file and a new trading day."""

import datetime
import os

import traderhvr
from traderhvr import DifferenceKind, OrderState, PushMode, Reconciled
from steps import WAIT, answer_to, fill_one, log_in


def reconciled_after_login(trader):
    return trader.wait_for(Reconciled, 3 * WAIT, where=lambda r: r.after_login)


def test_a_clean_session_through_a_crash_has_no_difference_and_no_fill_counted_twice(sim, make_trader):
    trader = make_trader()
    log_in(trader)
    assert reconciled_after_login(trader).differences == ()
    fill_one(trader)
    fill_one(trader)

    sim.stop(crash=True)  # kill -9: the day survives in the database
    trader.wait_for(traderhvr.Disconnected, WAIT)
    sim.restart()
    again = reconciled_after_login(trader)
    assert (again.orders, again.fills, again.differences) == (2, 2, ())

    fill_one(trader)
    result = trader.reconcile()
    assert (result.orders, result.fills, result.differences, result.duplicates) == (3, 3, (), 0)
    book = trader.book()
    assert sorted(book.fills) == ["1", "2", "3"]
    assert [(p.code, p.side, p.opened, p.net) for p in book.positions] == [("IF2412", "long", 3, 3)]


def test_push_mode_one_replays_the_day_after_a_restart_as_duplicates(sim, make_trader):
    other = make_trader(folder="other")
    log_in(other)
    first, second = fill_one(other), fill_one(other)
    other.close()

    trader = make_trader(pushmode=PushMode.NEW_ONLY)
    log_in(trader)
    loaded = reconciled_after_login(trader)
    assert (loaded.loaded_orders, loaded.loaded_fills, loaded.differences) == (2, 2, ())

    sim.stop()
    trader.wait_for(traderhvr.Disconnected, WAIT)
    sim.restart()
    # The login after the restart sends the record's push id, 0: the whole day again.
    replay = [trader.wait_for((traderhvr.OrderPush, traderhvr.TradePush), 3 * WAIT) for _ in range(6)]
    assert all(push.duplicate for push in replay)
    assert reconciled_after_login(trader).differences == ()
    book = trader.book()
    assert book.duplicates == 6
    assert {order_id: o.state for order_id, o in book.orders.items()} == {
        first: OrderState.ALL_TRADED,
        second: OrderState.ALL_TRADED,
    }


def test_pushes_left_out_are_each_reported_once_and_the_book_ends_as_the_servers(sim, make_trader):
    sim.stop()
    sim.start(extra=["--leave-out-pushes", "3"])  # every order's filled push is left out
    trader = make_trader()
    log_in(trader)
    reconciled_after_login(trader)
    ids = []
    for _ in range(2):
        tag = trader.insert("IF2412", 1, 3500.0)
        ids.append(trader.wait_for(answer_to(tag), WAIT).order_id)
        trader.wait_for(traderhvr.TradePush, WAIT, where=lambda p: p.trade.order_id == ids[-1])

    result = trader.reconcile()
    assert [(d.kind, d.order_id) for d in result.differences] == [
        (DifferenceKind.ORDER_DIFFERS, ids[0]),
        (DifferenceKind.ORDER_DIFFERS, ids[1]),
    ]
    differs = result.differences[0]
    assert (differs.book_order.state, differs.server_order.state) == (OrderState.QUEUING, OrderState.ALL_TRADED)
    assert "the book has queuing, traded 0; the server has filled, traded 1" in differs.text
    assert trader.reconcile().differences == ()  # reported once
    assert all(o.state is OrderState.ALL_TRADED for o in trader.book().orders.values())


def test_a_lost_flow_file_with_push_mode_two_replays_everything_as_duplicates(make_trader, tmp_path):
    trader = make_trader(pushmode=PushMode.REPLAY_DAY)
    log_in(trader)
    fill_one(trader)
    assert trader.reconcile().differences == ()
    list(trader.events(timeout=0))  # what was read past: not part of what follows

    trader.disconnect()
    os.remove(tmp_path / "flow" / "demo.flow")
    log_in(trader)
    replay = [trader.wait_for((traderhvr.OrderPush, traderhvr.TradePush), WAIT) for _ in range(3)]
    assert all(push.duplicate for push in replay)
    result = trader.wait_for(Reconciled, WAIT, where=lambda r: r.after_login)
    assert (result.differences, result.duplicates) == ((), 3)


def test_reconcile_false_leaves_logins_alone_and_orders_answers_stay_events(make_trader):
    trader = make_trader(reconcile=False)
    log_in(trader)
    fill_one(trader)
    trader.query_orders()
    answer = trader.wait_for(traderhvr.OrdersAnswer, WAIT)
    assert len(answer.orders) == 1
    assert not any(isinstance(e, Reconciled) for e in trader.events(timeout=0))
    assert trader.reconcile().orders == 1


def test_reconcile_inside_a_callback_raises_instead_of_waiting_for_its_own_thread(make_trader):
    trader = make_trader()
    raised = []

    def on_event(event):
        if isinstance(event, traderhvr.LoginResult):
            try:
                trader.reconcile(timeout=1)
            except RuntimeError as error:
                raised.append(str(error))

    trader.on_event = on_event
    log_in(trader)
    reconciled_after_login(trader)
    assert raised and "callback" in raised[0]


def test_a_login_on_a_new_trading_day_shows_the_modules_warning_beside_the_result(sim, make_trader):
    trader = make_trader()
    log_in(trader)
    first_day = reconciled_after_login(trader).trading_date
    fill_one(trader)
    trader.disconnect()  # the flow file keeps the day's last push id and date

    sim.stop()
    day = datetime.datetime.strptime(str(first_day), "%Y%m%d") + datetime.timedelta(days=1)
    next_day = int(day.strftime("%Y%m%d"))
    sim.start(fresh_day=True, port=sim.port, extra=["--trading-date", str(next_day)])
    # Before the trader is back, the new day has an order and its fill.
    other = make_trader(folder="other")
    log_in(other)
    early = fill_one(other)
    other.close()

    log_in(trader)  # resumes from the file of the day before
    result = reconciled_after_login(trader)
    assert (result.trading_date, result.previous_trading_date) == (next_day, first_day)
    assert result.new_day.startswith(f"new trading day {next_day} (the book was on {first_day})")
    assert any(f"交易日已变更:流水记录为{first_day},本次登录为{next_day}" in w for w in result.warnings)
    # hvr-sim numbers the new day's pushes on from the old day's: the login's
    # replay brought the early order, so nothing is missing; yesterday's
    # order is gone from the book.
    assert result.differences == ()
    book = trader.book()
    assert list(book.orders) == [early] and book.orders[early].state is OrderState.ALL_TRADED
    assert len(book.fills) == 1
    assert trader.reconcile().differences == ()
