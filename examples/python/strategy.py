#!/usr/bin/env python3
"""A small strategy driven by pushes: buy one lot, and each time a buy fills,
sell it back; after each round trip start the next, for --rounds rounds.
Then print the funds.

    python3 examples/python/strategy.py --port PORT      (traderhvr installed)

Everything happens in the callbacks, on the module's network thread; the main
thread only waits until the strategy says it is done. Callbacks may send
orders but must not close the Trader. The login replays the day's pushes the
flow file has not recorded yet (other sessions' fills among them), so the
strategy acts only on fills of the orders it sent, known by their tags.
"""

import argparse
import sys
import threading
from typing import Any, Dict, Optional, Set

import traderhvr
from traderhvr import AccountAnswer, Event, LoginResult, OrderAnswer, TradePush

CATALOG: Dict[str, Dict[str, Any]] = {"IF2412": {"multiplier": 300, "currency": "CNY"}}


class RoundTrips:
    """Buys, then sells back what filled, `rounds` times."""

    def __init__(self, trader: traderhvr.Trader, code: str, price: float, rounds: int):
        self.trader = trader
        self.code = code
        self.price = price
        self.rounds_left = rounds
        self.done = threading.Event()
        self.failure: Optional[str] = None
        self.tags: Set[str] = set()  # every order is sent from a callback, so before its pushes
        trader.on_event = self.on_event
        trader.on_answer = self.on_answer
        trader.on_trade = self.on_trade

    def on_event(self, event: Event) -> None:
        if isinstance(event, LoginResult):
            if not event.succeeded:
                self.stop(f"login refused: {event.message}")
            elif self.rounds_left > 0:
                self.buy()

    def on_answer(self, event: Event) -> None:
        if isinstance(event, OrderAnswer) and event.refused:
            self.stop(f"order {event.tag} refused: {event.error}")
        elif isinstance(event, AccountAnswer):
            for account in event.accounts:
                print(f"funds: balance {account.balance:,.2f}, commission {account.commission:,.2f}, "
                      f"close profit {account.close_profit:,.2f} {account.currency}")
            self.done.set()

    def on_trade(self, event: Event) -> None:
        assert isinstance(event, TradePush)  # on_trade receives fills only
        trade = event.trade
        if trade.tag not in self.tags:
            return
        print(f"{trade.side} {trade.volume} {trade.code} @ {trade.price:g} ({trade.offset})")
        if trade.offset == "open":
            self.tags.add(self.trader.insert(trade.code, trade.volume, trade.price, side="sell", offset="close"))
            return
        self.rounds_left -= 1
        if self.rounds_left > 0:
            self.buy()
        else:
            self.trader.query_account()

    def buy(self) -> None:
        self.tags.add(self.trader.insert(self.code, 1, self.price, side="buy", offset="open"))

    def stop(self, failure: str) -> None:
        self.failure = failure
        self.done.set()


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--user", default="demo")
    parser.add_argument("--password", default="demo")
    parser.add_argument("--folder", default="flow")
    parser.add_argument("--code", default="IF2412")
    parser.add_argument("--price", type=float, default=3500.0)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--timeout", type=float, default=30.0)
    args = parser.parse_args()

    # Callbacks only: no event queue to fill.
    with traderhvr.Trader(host=args.host, port=args.port, folder=args.folder, catalog=CATALOG,
                          queue_events=False) as trader:
        strategy = RoundTrips(trader, args.code, args.price, args.rounds)
        trader.connect()
        trader.login(args.user, args.password)
        if not strategy.done.wait(args.timeout):
            print(f"not done after {args.timeout} s; {strategy.rounds_left} round(s) left")
            return 1
    if strategy.failure:
        print(strategy.failure)
        return 1
    print(f"{args.rounds} round trip(s) done")
    return 0


if __name__ == "__main__":
    sys.exit(main())
