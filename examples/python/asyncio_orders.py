#!/usr/bin/env python3
"""Trade from asyncio: log in, send two limit orders, follow their pushes with
`async for`, then print the positions. Nothing blocks the event loop: other
tasks run while the Trader waits.

    python3 examples/python/asyncio_orders.py --port PORT      (traderhvr installed)

Exits 0 when both orders filled, 1 otherwise.
"""

import argparse
import asyncio
import sys
from typing import Any, Dict, Set

import traderhvr
from traderhvr import LoginResult, OrderAnswer, OrderPush, PositionsAnswer

WAIT = 10.0  # seconds for each step
CATALOG: Dict[str, Dict[str, Any]] = {"IF2412": {"multiplier": 300, "currency": "CNY"}}


async def trade(args: argparse.Namespace) -> int:
    with traderhvr.Trader(host=args.host, port=args.port, folder=args.folder, catalog=CATALOG) as trader:
        trader.connect()
        trader.login(args.user, args.password)
        login = await trader.await_for(LoginResult, WAIT)
        if not login.succeeded:
            print(f"login refused: {login.message}")
            return 1
        print(f"logged in as {args.user}")

        tags = [trader.insert(args.code, 1, args.price, side="buy", offset="open") for _ in range(2)]
        open_orders: Set[str] = set()
        for tag in tags:
            answer = await trader.await_for(OrderAnswer, WAIT, where=lambda a: a.tag == tag)
            if answer.refused:
                print(f"order refused: {answer.error}")
                return 1
            open_orders.add(answer.order_id)
        print(f"{len(open_orders)} orders accepted")

        # The pushes read while waiting for the answers were kept: none is lost.
        async for event in trader.aevents(timeout=WAIT):
            if isinstance(event, OrderPush) and event.order.order_id in open_orders and event.order.state.finished:
                print(f"order {event.order.order_id} {event.order.state.name.lower()}")
                open_orders.discard(event.order.order_id)
                if not open_orders:
                    break
        if open_orders:
            print(f"still open after {WAIT} s: {sorted(open_orders)}")
            return 1

        trader.query_positions()
        for position in (await trader.await_for(PositionsAnswer, WAIT)).positions:
            print(f"position {position.code} {position.side} {position.volume}")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--user", default="demo")
    parser.add_argument("--password", default="demo")
    parser.add_argument("--folder", default="flow", help="where <user>.flow keeps the push position")
    parser.add_argument("--code", default="IF2412")
    parser.add_argument("--price", type=float, default=3500.0)
    return asyncio.run(trade(parser.parse_args()))


if __name__ == "__main__":
    sys.exit(main())
