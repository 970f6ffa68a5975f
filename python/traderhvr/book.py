"""The book a Trader keeps, and what a reconciliation finds.

Every order and fill push goes into the Trader's book (kept in the extension,
in C++, under the listener's lock): orders by order id and by tag, fills by
trade id, and positions per instrument and side derived from the fills. The
book applies pushes idempotently: a fill whose trade id it knows, or an order
update that would move an order back (less traded, or an earlier state at
the same traded volume) or repeats what it holds, is a duplicate: it changes
nothing and the push event says so (``OrderPush.duplicate``).

After every successful login (``Trader(reconcile=False)`` turns it off) and
on ``Trader.reconcile()``, the book is compared with the server's orders and
trades answers; each :class:`Difference` is reported in a ``Reconciled``
event, and the book then holds the server's view. ``Trader.book()`` returns a
copy of the book as a :class:`Book`.
"""

from __future__ import annotations

import enum
from dataclasses import dataclass
from datetime import datetime
from typing import Any, Dict, Mapping, Optional, Tuple

from .records import (
    MILLISECONDS,
    Offset,
    OrderState,
    PositionSide,
    Side,
    _offset,
    _position_side,
    _side,
    _state,
    epoch_datetime,
    fill_fields,
)

Raw = Mapping[str, Any]


@dataclass(frozen=True)
class BookOrder:
    """An order as the book holds it. ``order_time`` is in milliseconds since
    the epoch whatever the source (a push's whole seconds times 1000)."""

    order_id: str
    tag: str
    code: str
    side: Side
    offset: Offset
    state: OrderState
    volume: int
    traded: int
    left: int
    price: float
    order_time: int
    trading_date: int
    message: str

    @property
    def order_datetime(self) -> Optional[datetime]:
        return epoch_datetime(self.order_time, MILLISECONDS)

    @classmethod
    def from_raw(cls, raw: Raw) -> "BookOrder":
        return cls(
            order_id=raw["order_id"],
            tag=raw["tag"],
            code=raw["code"],
            side=_side(raw["direction"]),
            offset=_offset(raw["offset"]),
            state=_state(raw["state"]),
            volume=raw["volume"],
            traded=raw["traded"],
            left=raw["left"],
            price=raw["price"],
            order_time=raw["order_time"],
            trading_date=raw["trading_date"],
            message=raw["message"],
        )


@dataclass(frozen=True)
class BookFill:
    """A fill as the book holds it (``tag`` from its push or its order)."""

    trade_id: str
    order_id: str
    tag: str
    code: str
    side: Side
    offset: Offset
    volume: int
    price: float
    amount: float
    trade_time: int  # milliseconds since the epoch
    trading_date: int

    @property
    def trade_datetime(self) -> Optional[datetime]:
        return epoch_datetime(self.trade_time, MILLISECONDS)

    @classmethod
    def from_raw(cls, raw: Raw) -> "BookFill":
        return cls(**fill_fields(raw))


@dataclass(frozen=True)
class BookPosition:
    """A position from the book's fills: ``opened`` by open fills on this side,
    ``closed`` by close fills against it, ``net`` the difference. Yesterday's
    volume is not in it; ``server_pre`` and ``server_new`` are the server's
    line from the last PositionsAnswer (None when it had none)."""

    code: str
    side: PositionSide
    opened: int
    closed: int
    server_pre: Optional[int]
    server_new: Optional[int]

    @property
    def net(self) -> int:
        return self.opened - self.closed

    @classmethod
    def from_raw(cls, raw: Raw) -> "BookPosition":
        return cls(
            code=raw["code"],
            side=_position_side(raw["direction"]),
            opened=raw["opened"],
            closed=raw["closed"],
            server_pre=raw["server_pre"],
            server_new=raw["server_new"],
        )


@dataclass(frozen=True)
class Book:
    """A copy of a Trader's book at one moment."""

    orders: Mapping[str, BookOrder]  # by order id, in id order
    fills: Mapping[str, BookFill]  # by trade id, in id order
    positions: Tuple[BookPosition, ...]
    duplicates: int  # pushes the book held as duplicates so far
    trading_date: int

    def orders_frame(self) -> Any:
        """The book's orders as a pandas DataFrame (needs pandas), one row
        per order in id order; see traderhvr.frames."""
        from .frames import orders_frame

        return orders_frame(self.orders.values())

    def fills_frame(self) -> Any:
        """The book's fills as a pandas DataFrame (needs pandas)."""
        from .frames import trades_frame

        return trades_frame(self.fills.values())

    def positions_frame(self) -> Any:
        """The book's positions as a pandas DataFrame (needs pandas), with
        ``net`` beside ``opened`` and ``closed``."""
        from .frames import positions_frame

        return positions_frame(self.positions)

    def order_by_tag(self, tag: str) -> Optional[BookOrder]:
        """The order carrying this tag (what insert() returned), if any."""
        for order in self.orders.values():
            if order.tag == tag:
                return order
        return None

    @classmethod
    def from_raw(cls, raw: Raw) -> "Book":
        orders = (BookOrder.from_raw(r) for r in raw["orders"])
        fills = (BookFill.from_raw(r) for r in raw["fills"])
        return cls(
            orders={o.order_id: o for o in orders},
            fills={f.trade_id: f for f in fills},
            positions=tuple(BookPosition.from_raw(r) for r in raw["positions"]),
            duplicates=raw["duplicates"],
            trading_date=raw["trading_date"],
        )


class DifferenceKind(enum.Enum):
    """What a reconciliation found different."""

    MISSING_ORDER = "missing order"  # the server has the order, the book did not
    ORDER_DIFFERS = "order differs"  # state or traded volume differ
    UNKNOWN_ORDER = "unknown order"  # the book had an order the server does not know
    MISSING_FILL = "missing fill"  # the server has the fill, the book did not
    UNKNOWN_FILL = "unknown fill"  # the book had a fill the server does not know


@dataclass(frozen=True)
class Difference:
    """One difference between the book and the server, with the record as
    each side held it (None where a side had none). ``text`` says it in one
    line, as hvr-host prints it."""

    kind: DifferenceKind
    text: str
    book_order: Optional[BookOrder]
    server_order: Optional[BookOrder]
    book_fill: Optional[BookFill]
    server_fill: Optional[BookFill]

    @property
    def order_id(self) -> str:
        for order in (self.server_order, self.book_order):
            if order is not None:
                return order.order_id
        fill = self.server_fill or self.book_fill
        return fill.order_id if fill is not None else ""

    @property
    def trade_id(self) -> str:
        fill = self.server_fill or self.book_fill
        return fill.trade_id if fill is not None else ""

    @classmethod
    def from_raw(cls, raw: Raw) -> "Difference":
        def order(key: str) -> Optional[BookOrder]:
            value = raw[key]
            return None if value is None else BookOrder.from_raw(value)

        def fill(key: str) -> Optional[BookFill]:
            value = raw[key]
            return None if value is None else BookFill.from_raw(value)

        return cls(
            kind=DifferenceKind(raw["kind"]),
            text=raw["text"],
            book_order=order("book_order"),
            server_order=order("server_order"),
            book_fill=fill("book_fill"),
            server_fill=fill("server_fill"),
        )


def reconciled_fields(raw: Raw) -> Dict[str, Any]:
    """The fields of a Reconciled event from the extension's payload."""
    fields = dict(raw)
    fields["differences"] = tuple(Difference.from_raw(d) for d in raw["differences"])
    fields["warnings"] = tuple(raw["warnings"])
    return fields


__all__ = ["Book", "BookFill", "BookOrder", "BookPosition", "Difference", "DifferenceKind"]
