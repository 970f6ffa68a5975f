"""What a Trader reports, as plain Python objects.

The same objects reach a script two ways: the callbacks (``on_event`` for
connection and login events, ``on_answer`` for order answers, refused cancels
and query answers, ``on_order`` and ``on_trade`` for pushes, ``on_log`` for the
module's log lines) and the iterator ``Trader.events()``.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Tuple

from .records import Account, Entrust, Order, Position, Trade

LOG_INFO = 102
LOG_WARNING = 103
LOG_ERROR = 104


class Event:
    """Base of every event."""


@dataclass(frozen=True)
class Connected(Event):
    """The connection is up. A Trader that has a login logs in by itself."""


@dataclass(frozen=True)
class ConnectFailed(Event):
    """A connection attempt failed; the module tries again two seconds later."""

    error: int

    @property
    def reason(self) -> str:
        return os.strerror(self.error)


@dataclass(frozen=True)
class Disconnected(Event):
    """The connection ended (error 0: closed on purpose or by the server)."""

    error: int


@dataclass(frozen=True)
class LoginResult(Event):
    succeeded: bool
    message: str
    trading_date: int


@dataclass(frozen=True)
class OrderAnswer(Event):
    """The server's answer to an insert; ``tag`` is what insert() returned."""

    entrust: Entrust
    error_code: int
    error: str
    refused: bool

    @property
    def accepted(self) -> bool:
        return not self.refused

    @property
    def tag(self) -> str:
        return self.entrust.tag

    @property
    def order_id(self) -> str:
        return self.entrust.order_id


@dataclass(frozen=True)
class CancelRefused(Event):
    code: int
    message: str


@dataclass(frozen=True)
class AccountAnswer(Event):
    accounts: Tuple[Account, ...]


@dataclass(frozen=True)
class PositionsAnswer(Event):
    positions: Tuple[Position, ...]


@dataclass(frozen=True)
class OrdersAnswer(Event):
    orders: Tuple[Order, ...]


@dataclass(frozen=True)
class TradesAnswer(Event):
    trades: Tuple[Trade, ...]


@dataclass(frozen=True)
class OrderPush(Event):
    order: Order


@dataclass(frozen=True)
class TradePush(Event):
    trade: Trade


@dataclass(frozen=True)
class Log(Event):
    """A log line of the module, decoded from GBK; starts with "[TraderHVR]"."""

    level: int
    text: str


def _connection(raw) -> Event:
    if raw["kind"] == 0:
        return Connected() if raw["code"] == 0 else ConnectFailed(raw["code"])
    return Disconnected(raw["code"])


def _entrust_answer(raw) -> Event:
    return OrderAnswer(Entrust.from_raw(raw["entrust"]), raw["error_code"], raw["error"], raw["refused"])


_BUILDERS = {
    "connection": _connection,
    "login": lambda raw: LoginResult(raw["succeeded"], raw["message"], raw["trading_date"]),
    "entrust_answer": _entrust_answer,
    "cancel_refused": lambda raw: CancelRefused(raw["code"], raw["message"]),
    "accounts": lambda raw: AccountAnswer(tuple(Account.from_raw(r) for r in raw)),
    "positions": lambda raw: PositionsAnswer(tuple(Position.from_raw(r) for r in raw)),
    "orders": lambda raw: OrdersAnswer(tuple(Order.from_raw(r) for r in raw)),
    "trades": lambda raw: TradesAnswer(tuple(Trade.from_raw(r) for r in raw)),
    "order_push": lambda raw: OrderPush(Order.from_raw(raw)),
    "trade_push": lambda raw: TradePush(Trade.from_raw(raw)),
    "log": lambda raw: Log(raw["level"], raw["text"]),
}

# Which callback attribute of a Trader receives each kind of event.
CALLBACK_OF = {
    Connected: "on_event",
    ConnectFailed: "on_event",
    Disconnected: "on_event",
    LoginResult: "on_event",
    OrderAnswer: "on_answer",
    CancelRefused: "on_answer",
    AccountAnswer: "on_answer",
    PositionsAnswer: "on_answer",
    OrdersAnswer: "on_answer",
    TradesAnswer: "on_answer",
    OrderPush: "on_order",
    TradePush: "on_trade",
    Log: "on_log",
}


def event_from_raw(raw) -> Event:
    """The event object for the extension's (kind, payload) tuple."""
    kind, payload = raw
    return _BUILDERS[kind](payload)
