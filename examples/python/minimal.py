#!/usr/bin/env python3
"""Connect, log in, place one limit order, wait for its fill, print positions.

    python3 examples/python/minimal.py --port PORT      (traderhvr installed)

Run it against hvr-sim (the README shows how to start one). Exits 0 when the
order filled, 1 otherwise.
"""

import argparse
import sys
from typing import Any, Dict

import traderhvr
from traderhvr import LoginResult, OrderAnswer, OrderPush, OrderState, PositionsAnswer

WAIT = 10.0  # seconds for each step

# What the positions need to convert: the contract multiplier and currency.
CATALOG: Dict[str, Dict[str, Any]] = {"IF2412": {"multiplier": 300, "currency": "CNY"}}


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--user", default="demo")
    parser.add_argument("--password", default="demo")
    parser.add_argument("--folder", default="flow", help="where <user>.flow keeps the push position")
    parser.add_argument("--code", default="IF2412")
    parser.add_argument("--price", type=float, default=3500.0)
    args = parser.parse_args()

    with traderhvr.Trader(host=args.host, port=args.port, folder=args.folder, catalog=CATALOG) as trader:
        trader.connect()
        trader.login(args.user, args.password)
        login = trader.wait_for(LoginResult, WAIT)
        if not login.succeeded:
            print(f"login refused: {login.message}")
            return 1
        print(f"logged in as {args.user}, trading date {login.trading_date}")

        tag = trader.insert(args.code, 1, args.price, side="buy", offset="open")
        # Other events read meanwhile stay for events(); none is lost.
        answer = trader.wait_for(OrderAnswer, WAIT, where=lambda a: a.tag == tag)
        if answer.refused:
            print(f"order refused: {answer.error}")
            return 1
        print(f"order {answer.order_id} accepted: buy 1 {args.code} @ {args.price}")

        def finished(push: OrderPush) -> bool:
            return push.order.order_id == answer.order_id and push.order.state.finished

        order = trader.wait_for(OrderPush, WAIT, where=finished).order
        if order.state is not OrderState.ALL_TRADED:
            print(f"order {order.order_id} ended {order.state.name.lower()}: {order.state_message}")
            return 1
        print(f"order {order.order_id} filled: {order.traded_volume} lot(s)")

        trader.query_positions()
        for position in trader.wait_for(PositionsAnswer, WAIT).positions:
            print(
                f"position {position.code} {position.side} {position.volume} "
                f"@ {position.avg_price:g}, margin {position.margin:,.2f} {position.currency}"
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
