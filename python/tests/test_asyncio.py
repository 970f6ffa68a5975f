"""Events under asyncio: aevents(), await_for(), and a loop that stays free."""

import asyncio

import pytest

import traderhvr
from traderhvr import LoginResult, OrderAnswer, OrderPush, OrderState
from steps import WAIT


def test_await_for_and_aevents_follow_an_order_without_blocking_the_loop(make_trader):
    trader = make_trader()

    async def scenario():
        trader.connect()
        trader.login("demo", "demo")
        assert (await trader.await_for(LoginResult, WAIT)).succeeded
        # The order leaves from a callback of the loop's own: its answer can
        # only arrive if awaiting the answer leaves the loop free to run it.
        tags = []
        asyncio.get_running_loop().call_soon(
            lambda: tags.append(trader.insert("IF2412", 1, 3500.0)))
        answer = await trader.await_for(OrderAnswer, WAIT)
        assert tags and answer.tag == tags[0]
        states = []
        async for event in trader.aevents(timeout=WAIT):
            if isinstance(event, OrderPush) and event.order.order_id == answer.order_id:
                states.append(event.order.state)
                if event.order.state.finished:
                    break
        return states

    states = asyncio.run(scenario())
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
