"""Events under asyncio: aevents(), await_for(), and a loop that stays free."""

import asyncio

import pytest

import traderhvr
from traderhvr import LoginResult, OrderAnswer, OrderPush, OrderState
from steps import WAIT


def test_await_for_and_aevents_follow_an_order_without_blocking_the_loop(make_trader):
    trader = make_trader()

    async def scenario():
        others_ran = []
        trader.connect()
        trader.login("demo", "demo")
        # Runs at the loop's next turn: only if awaiting the login yields to it.
        asyncio.get_running_loop().call_soon(others_ran.append, "ran")
        assert (await trader.await_for(LoginResult, WAIT)).succeeded
        ran_while_waiting = list(others_ran)
        tag = trader.insert("IF2412", 1, 3500.0)
        answer = await trader.await_for(OrderAnswer, WAIT, where=lambda a: a.tag == tag)
        states = []
        async for event in trader.aevents(timeout=WAIT):
            if isinstance(event, OrderPush) and event.order.order_id == answer.order_id:
                states.append(event.order.state)
                if event.order.state.finished:
                    break
        return ran_while_waiting, states

    ran_while_waiting, states = asyncio.run(scenario())
    assert ran_while_waiting == ["ran"]
    assert states == [OrderState.QUEUING, OrderState.ALL_TRADED]


def test_awaiting_times_out_and_ends_when_the_trader_closes(make_trader):
    trader = make_trader()

    async def scenario():
        with pytest.raises(TimeoutError):
            await trader.await_for(traderhvr.OrderPush, 0.2)
        assert await trader.anext_event(timeout=0.1) is None
        loop = asyncio.get_running_loop()
        loop.call_later(0.1, trader.close)  # the wake descriptor turns readable on close
        return [e async for e in trader.aevents()]

    assert asyncio.run(scenario()) == []
    assert trader.closed


def test_aevents_needs_the_event_queue(make_trader):
    trader = make_trader(queue_events=False)
    with pytest.raises(ValueError, match="queue_events"):
        asyncio.run(trader.anext_event(0))
