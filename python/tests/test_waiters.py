"""Many waiters on one Trader: every asyncio task and every thread waiting
for its own order's answer gets it, whatever the others read past."""

import asyncio
import threading

from traderhvr import OrderAnswer
from steps import WAIT, log_in

ORDERS = 50
THREADS = 4


def test_fifty_tasks_and_four_threads_of_fifty_waits_each_get_their_own_answer(make_trader):
    trader = make_trader()
    log_in(trader)

    async def order_and_wait():
        tag = trader.insert("IF2412", 1, 3300.0)  # rests in the book (or is refused once funds run out)
        answer = await trader.await_for(OrderAnswer, WAIT, where=lambda a: a.tag == tag)
        return tag, answer.tag

    async def together():
        return await asyncio.gather(*(order_and_wait() for _ in range(ORDERS)))

    answered = asyncio.run(together())
    assert len(answered) == ORDERS and all(tag == got for tag, got in answered)

    failures = []
    answers = []

    def one_thread():
        try:
            for _ in range(ORDERS):
                tag = trader.insert("IF2412", 1, 3300.0)
                answers.append(trader.wait_for(OrderAnswer, WAIT, where=lambda a: a.tag == tag).tag)
        except Exception as error:  # noqa: BLE001 - reported below with the others
            failures.append(error)

    threads = [threading.Thread(target=one_thread) for _ in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    assert len(set(answers)) == THREADS * ORDERS
