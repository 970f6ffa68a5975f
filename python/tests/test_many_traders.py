"""Several Traders in one process: each with its own connection, events and callbacks."""

import threading

import pytest

import traderhvr
from traderhvr import OrderState
from steps import WAIT, answer_to, log_in

TRADERS = 6


def test_many_traders_share_the_module_but_not_their_events(make_trader):
    traders = [make_trader(folder=f"t{i}") for i in range(TRADERS)]
    callback_threads = [set() for _ in traders]
    for i, trader in enumerate(traders):
        trader.on_order = lambda event, seen=callback_threads[i]: seen.add(threading.get_ident())
        log_in(trader)

    # Each sends one order from its own thread at the same time.
    tags = [None] * TRADERS
    go = threading.Barrier(TRADERS)

    def send(i):
        go.wait()
        tags[i] = traders[i].insert("IF2412", 1, 3500.0)

    senders = [threading.Thread(target=send, args=(i,)) for i in range(TRADERS)]
    for sender in senders:
        sender.start()
    for sender in senders:
        sender.join()

    # Each trader hears only its own answer, and every session of the account
    # is pushed every order's fill.
    answers = [[] for _ in traders]
    filled = [set() for _ in traders]
    for i, trader in enumerate(traders):
        while len(answers[i]) < 1 or len(filled[i]) < TRADERS:
            event = trader.wait_for((traderhvr.OrderAnswer, traderhvr.OrderPush), WAIT)
            if isinstance(event, traderhvr.OrderAnswer):
                answers[i].append(event)
            elif event.order.state is OrderState.ALL_TRADED:
                filled[i].add(event.order.order_id)
    assert [[a.tag for a in mine] for mine in answers] == [[tag] for tag in tags]
    order_ids = {mine[0].order_id for mine in answers}
    assert len(order_ids) == TRADERS
    assert all(seen == order_ids for seen in filled)

    # One network thread per trader.
    threads = [seen.pop() for seen in callback_threads if len(seen) == 1]
    assert len(set(threads)) == TRADERS


def test_traders_come_and_go_in_one_process(sim, tmp_path):
    for _ in range(3):
        with traderhvr.Trader(port=sim.port, folder=str(tmp_path / "cycle")) as trader:
            log_in(trader)
            tag = trader.insert("IF2412", 1, 3400.0)
            assert trader.wait_for(answer_to(tag), WAIT).accepted
    assert trader.closed


def test_traders_on_the_shared_pool_call_back_from_its_threads(make_trader):
    traders = [make_trader(folder=f"s{i}", threads="shared", poolthreads=2) for i in range(4)]
    callback_threads = [set() for _ in traders]
    for i, trader in enumerate(traders):
        trader.on_event = lambda event, seen=callback_threads[i]: seen.add(threading.get_ident())
        log_in(trader)
        tag = trader.insert("IF2412", 1, 3400.0)
        assert trader.wait_for(answer_to(tag), WAIT).accepted
    # Each trader's callbacks on one thread; four traders on two pool threads.
    assert all(len(seen) == 1 for seen in callback_threads)
    assert len(set().union(*callback_threads)) == 2


def test_threads_is_own_or_shared():
    for bad in ("pool", "", None):
        with pytest.raises(ValueError):
            traderhvr.Trader(port=1, threads=bad)
    with pytest.raises(ValueError):
        traderhvr.Trader(port=1, threads="shared", poolthreads=-1)
