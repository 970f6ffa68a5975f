"""Pushes resume across a restart of the Trader or of the server, with no duplicates."""

import collections

import traderhvr
from traderhvr import OrderState, PushMode
from steps import WAIT, fill_one, log_in, order_reaches


def pushes_until_filled(trader):
    """Places a marker order and returns every push read until its fill. The
    server sends a login's replay before anything newer, so every replayed
    push precedes the marker's."""
    pushes = []
    tag = trader.insert("IF2412", 1, 3500.0)
    answer = None
    while True:
        event = trader.wait_for((traderhvr.OrderPush, traderhvr.TradePush, traderhvr.OrderAnswer), WAIT)
        if isinstance(event, traderhvr.OrderAnswer):
            if event.tag == tag:
                answer = event
            continue
        pushes.append(event)
        if (
            answer is not None
            and isinstance(event, traderhvr.OrderPush)
            and event.order.order_id == answer.order_id
            and event.order.state is OrderState.ALL_TRADED
        ):
            return answer.order_id, pushes


def push_key(event):
    if isinstance(event, traderhvr.TradePush):
        return ("trade", event.trade.trade_id)
    return ("order", event.order.order_id, event.order.state, event.order.traded_volume)


def order_ids(pushes):
    return {p.order.order_id if isinstance(p, traderhvr.OrderPush) else p.trade.order_id for p in pushes}


def assert_no_duplicates(pushes):
    repeated = [key for key, n in collections.Counter(map(push_key, pushes)).items() if n > 1]
    assert repeated == []


def test_a_new_trader_resumes_from_the_flow_file(make_trader):
    first = make_trader(folder="a")
    log_in(first)
    seen_before = fill_one(first)
    first.close()

    # Meanwhile another session of the account trades.
    other = make_trader(folder="b")
    log_in(other)
    missed = fill_one(other)

    again = make_trader(folder="a", pushmode=PushMode.RESUME)
    log_in(again)
    marker, pushes = pushes_until_filled(again)
    assert order_ids(pushes) == {missed, marker}  # nothing of seen_before
    assert_no_duplicates(pushes)

    # For contrast: asking for the whole day brings the first order back.
    replay = make_trader(folder="c", pushmode=PushMode.REPLAY_DAY)
    log_in(replay)
    _, everything = pushes_until_filled(replay)
    assert seen_before in order_ids(everything)


def test_after_a_server_restart_the_trader_logs_in_again_and_resumes(sim, make_trader):
    trader = make_trader()
    log_in(trader)
    before = fill_one(trader)
    list(trader.events(timeout=0))  # what fill_one read past is kept: not part of what follows

    sim.stop()
    trader.wait_for(traderhvr.Disconnected, WAIT)
    sim.start(fresh_day=False, port=sim.port)  # same day, same database
    # The module reconnects by itself; the Trader logs in again on the connection.
    relogin = trader.wait_for(traderhvr.LoginResult, 3 * WAIT)
    assert relogin.succeeded

    marker, pushes = pushes_until_filled(trader)
    assert before not in order_ids(pushes)
    assert order_ids(pushes) == {marker}
    assert_no_duplicates(pushes)
