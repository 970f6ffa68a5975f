"""What a Trader reports, as plain Python objects.

The same objects reach a script three ways: the callbacks (see
``CALLBACK_OF``: ``on_event`` for connection and login events, ``on_answer``
for order answers, refused cancels and query answers, ``on_order`` and
``on_trade`` for pushes, ``on_log`` for the module's log lines; a
reconciliation's result, the new-day check, refused logins and requests in
doubt go to ``on_event``), the iterator
``Trader.events()`` and, under asyncio, ``Trader.aevents()``.

Every event carries ``received``: when the module's listener call arrived, as
an aware datetime in local time (not when the script read it).
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import Any, Callable, Dict, Mapping, Optional, Tuple, Type

from . import loglines
from .book import BookOrder, Difference, reconciled_fields
from .doubts import Doubt, DoubtOutcome
from .records import SECONDS, Account, Entrust, Order, Position, Trade

LOG_INFO = 102
LOG_WARNING = 103
LOG_ERROR = 104

_NO_TIME = datetime.fromtimestamp(0, tz=timezone.utc)


@dataclass(frozen=True)
class Event:
    """Base of every event."""

    received: datetime = field(default=_NO_TIME, compare=False, repr=False, kw_only=True)


@dataclass(frozen=True)
class Connected(Event):
    """The connection is up. A Trader that has a login logs in by itself."""


@dataclass(frozen=True)
class ConnectFailed(Event):
    """A connection attempt failed; the module tries again two seconds later.
    ``error`` is the system's error number (111: connection refused)."""

    error: int

    @property
    def reason(self) -> str:
        return os.strerror(self.error)


@dataclass(frozen=True)
class Disconnected(Event):
    """The connection ended: ``error`` 0 when closed on purpose or after a
    broken packet stream, 2 when the server closed it, otherwise the system's
    error number (104: reset by the server, 125: aborted)."""

    error: int


@dataclass(frozen=True)
class LoginResult(Event):
    """The server's answer to a login; ``user`` is whose login it answered."""

    succeeded: bool
    message: str
    trading_date: int
    user: str = ""


@dataclass(frozen=True)
class LoginRefused(Event):
    """What follows a refused login (after its LoginResult): the Trader never
    sends these credentials again by itself. ``automatic``: it was the login
    the Trader sends after a reconnect, with credentials that had worked
    (the account was locked or its password changed): no further login
    follows until ``login()`` is called again. ``restoring`` names the user
    who was logged in before, whose credentials worked and who is being
    logged in again (a refused switch of user); empty when nobody will be
    logged in."""

    user: str
    message: str
    automatic: bool
    restoring: str


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
    """A cancel the server refused. ``order_id`` is the order the refused
    cancel was for (the oldest cancel this Trader had outstanding; empty when
    none was)."""

    code: int
    message: str
    order_id: str = ""


@dataclass(frozen=True)
class AccountAnswer(Event):
    accounts: Tuple[Account, ...]


@dataclass(frozen=True)
class PositionsAnswer(Event):
    positions: Tuple[Position, ...]

    def to_frame(self) -> Any:
        """The positions as a pandas DataFrame (needs pandas)."""
        from .frames import positions_frame

        return positions_frame(self.positions)


@dataclass(frozen=True)
class OrdersAnswer(Event):
    orders: Tuple[Order, ...]

    def to_frame(self) -> Any:
        """The orders as a pandas DataFrame (needs pandas)."""
        from .frames import orders_frame

        return orders_frame(self.orders)


@dataclass(frozen=True)
class TradesAnswer(Event):
    trades: Tuple[Trade, ...]

    def to_frame(self) -> Any:
        """The fills as a pandas DataFrame (needs pandas)."""
        from .frames import trades_frame

        return trades_frame(self.trades)


@dataclass(frozen=True)
class OrderPush(Event):
    """An order update. ``duplicate``: the Trader's book held it already (a
    replay), or it would move the order back; the book did not change.
    ``replayed``: it came with a login's catch-up (see traderhvr.trader,
    "Replayed pushes"), so it tells of something that happened before that
    login; with push mode 2 or no flow file the whole day comes again so."""

    order: Order
    duplicate: bool = False
    replayed: bool = False


@dataclass(frozen=True)
class TradePush(Event):
    """A fill. ``duplicate``: the book knew its trade id already.
    ``replayed``: as OrderPush.replayed."""

    trade: Trade
    duplicate: bool = False
    replayed: bool = False


@dataclass(frozen=True)
class Reconciled(Event):
    """The book compared with the server's orders and trades answers, after a
    login (``after_login``) or on ``Trader.reconcile()``; the book now holds
    the server's view. ``differences`` lists what differed. A book that was
    never reconciled takes what it lacks without calling it a difference
    (``loaded_orders``, ``loaded_fills``); ``raced`` counts pushes newer than
    the answers. After a login on a new trading date ``previous_trading_date``
    is the book's old date (the book started empty), and ``warnings`` holds
    the module's warning lines at that login. ``interrupted``: the connection
    ended before both answers came. ``summary`` is the line hvr-host prints.
    ``user`` is whose book it was."""

    id: int
    after_login: bool
    interrupted: bool
    orders: int
    fills: int
    differences: Tuple[Difference, ...]
    loaded_orders: int
    loaded_fills: int
    raced: int
    duplicates: int
    elapsed: float  # seconds from the queries to the last answer
    trading_date: int
    previous_trading_date: int
    warnings: Tuple[str, ...]
    summary: str
    new_day: str  # the line about a new trading day, or ""
    user: str = ""


@dataclass(frozen=True)
class NewDayChecked(Event):
    """The answer to the module's warning that a login started a new trading
    day and a server that numbers each day's pushes from 1 may have skipped
    some (``warning``, the module's line): the reconciliation after that
    login, read for what the pushes missed. It follows that Reconciled event,
    once per warning; a login that warns is reconciled even with
    ``Trader(reconcile=False)``. ``nothing_missing`` when every order and fill
    of the day came with the pushes; ``text`` says it as hvr-host does
    ("new trading day 20261209: nothing missing")."""

    user: str
    trading_date: int
    missing_orders: int
    missing_fills: int
    other_differences: int
    warning: str
    text: str

    @property
    def nothing_missing(self) -> bool:
        return self.missing_orders == 0 and self.missing_fills == 0 and self.other_differences == 0


@dataclass(frozen=True)
class InDoubt(Event):
    """The connection ended before these requests were answered (see
    traderhvr.doubts): each is resolved by a DoubtResolved event after the
    next login of its user. ``lost_queries`` were never answered and are not
    asked again."""

    doubts: Tuple[Doubt, ...]
    lost_queries: Tuple[str, ...]


@dataclass(frozen=True)
class DoubtResolved(Event):
    """A request in doubt, resolved once after the next login and
    reconciliation of its user: RECEIVED, or NEVER_RECEIVED (an order: safe
    to send again; nothing was sent again by the Trader). ``order`` is the
    order as the server has it (None when it has none); ``text`` says it as
    hvr-host does."""

    doubt: Doubt
    outcome: DoubtOutcome
    order: Optional[BookOrder]
    text: str


@dataclass(frozen=True)
class Log(Event):
    """A log line of the module, decoded from GBK; starts with "[TraderHVR]".
    ``gloss`` is its meaning in a few English words, from the package's
    log-lines.md (None for a line it does not list)."""

    level: int
    text: str

    @property
    def gloss(self) -> Optional[str]:
        return loglines.gloss(self.text)


Builder = Callable[[Any, datetime], Event]


def _connection(raw: Mapping[str, int], received: datetime) -> Event:
    if raw["kind"] == 0:
        if raw["code"] == 0:
            return Connected(received=received)
        return ConnectFailed(raw["code"], received=received)
    return Disconnected(raw["code"], received=received)


_BUILDERS: Dict[str, Builder] = {
    "connection": _connection,
    "login": lambda raw, at: LoginResult(
        raw["succeeded"], raw["message"], raw["trading_date"], raw["user"], received=at
    ),
    "login_refused": lambda raw, at: LoginRefused(
        raw["user"], raw["message"], raw["automatic"], raw["restoring"], received=at
    ),
    "in_doubt": lambda raw, at: InDoubt(
        tuple(Doubt.from_raw(d) for d in raw["doubts"]), tuple(raw["lost_queries"]), received=at
    ),
    "doubt_resolved": lambda raw, at: DoubtResolved(
        Doubt.from_raw(raw["doubt"]),
        DoubtOutcome.RECEIVED if raw["received"] else DoubtOutcome.NEVER_RECEIVED,
        None if raw["order"] is None else BookOrder.from_raw(raw["order"]),
        raw["text"],
        received=at,
    ),
    "entrust_answer": lambda raw, at: OrderAnswer(
        Entrust.from_raw(raw["entrust"]), raw["error_code"], raw["error"], raw["refused"], received=at
    ),
    "cancel_refused": lambda raw, at: CancelRefused(raw["code"], raw["message"], raw["order_id"], received=at),
    "accounts": lambda raw, at: AccountAnswer(tuple(Account.from_raw(r) for r in raw), received=at),
    "positions": lambda raw, at: PositionsAnswer(tuple(Position.from_raw(r) for r in raw), received=at),
    "orders": lambda raw, at: OrdersAnswer(tuple(Order.from_raw(r) for r in raw), received=at),
    "trades": lambda raw, at: TradesAnswer(tuple(Trade.from_raw(r) for r in raw), received=at),
    # A pushed order's time is in whole seconds (the module divides by 1000).
    "order_push": lambda raw, at: OrderPush(
        Order.from_raw(raw, SECONDS), raw["duplicate"], raw["replayed"], received=at
    ),
    "trade_push": lambda raw, at: TradePush(Trade.from_raw(raw), raw["duplicate"], raw["replayed"], received=at),
    "reconciled": lambda raw, at: Reconciled(**reconciled_fields(raw), received=at),
    "new_day_checked": lambda raw, at: NewDayChecked(**raw, received=at),
    "log": lambda raw, at: Log(raw["level"], raw["text"], received=at),
}

# Which callback attribute of a Trader receives each kind of event.
CALLBACK_OF: Dict[Type[Event], str] = {
    Connected: "on_event",
    ConnectFailed: "on_event",
    Disconnected: "on_event",
    LoginResult: "on_event",
    LoginRefused: "on_event",
    Reconciled: "on_event",
    NewDayChecked: "on_event",
    InDoubt: "on_event",
    DoubtResolved: "on_event",
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


def event_from_raw(raw: Tuple[str, Any, int]) -> Event:
    """The event object for the extension's (kind, payload, received_ns) tuple."""
    kind, payload, received_ns = raw
    received = datetime.fromtimestamp(received_ns / 1e9, tz=timezone.utc).astimezone()
    return _BUILDERS[kind](payload, received)
