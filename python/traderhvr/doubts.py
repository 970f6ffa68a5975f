"""Requests in doubt, and what a Trader had not had answered when it closed.

An order or a cancel is *in doubt* when the connection ended after it was
sent and before its answer came: the server may or may not have received it.
The Trader sends nothing again by itself. After the next successful login of
the same user and the reconciliation that follows it (the book then holds the
server's view), each is resolved once, as a :class:`~traderhvr.DoubtResolved`
event:

- an order is RECEIVED when the server has an order with its tag (``order``
  says what became of it), NEVER_RECEIVED when it has none: nothing of it
  exists there, so it is safe to send again;
- a cancel is RECEIVED when its order is cancelled, NEVER_RECEIVED when it is
  not (``order`` shows it still queuing, or finished first).

``Trader.in_doubt()`` lists those not resolved yet; an
:class:`~traderhvr.InDoubt` event names them when the connection ends.
"""

from __future__ import annotations

import enum
from dataclasses import dataclass
from typing import Any, Mapping, Optional, Tuple

from .records import Entrust

Raw = Mapping[str, Any]


class DoubtOutcome(enum.Enum):
    """What a request in doubt turned out to be."""

    RECEIVED = "received"
    NEVER_RECEIVED = "never received"


@dataclass(frozen=True)
class Doubt:
    """A request in doubt. ``kind`` is "order" (``tag`` and ``order``, the
    order as sent) or "cancel" (``order_id``, the order it was to cancel);
    ``user`` was logged in when it was sent; ``text`` says it in one line."""

    kind: str
    user: str
    tag: str
    order_id: str
    order: Optional[Entrust]
    text: str

    @classmethod
    def from_raw(cls, raw: Raw) -> "Doubt":
        order = raw["order"]
        return cls(
            kind=raw["kind"],
            user=raw["user"],
            tag=raw["tag"],
            order_id=raw["order_id"],
            order=None if order is None else Entrust.from_raw(order),
            text=raw["text"],
        )


@dataclass(frozen=True)
class Unanswered:
    """What was still unanswered when asked (``Trader.unanswered()``) or when
    a Trader closed (``Trader.close()`` returns it): the tags of orders, the
    order ids of cancels, the queries ("funds", "positions", "orders",
    "trades") and reconciliations without an answer, and the requests still
    in doubt from an earlier connection. ``text`` says it in one line (empty
    when nothing is missing)."""

    orders: Tuple[str, ...] = ()
    cancels: Tuple[str, ...] = ()
    queries: Tuple[str, ...] = ()
    reconciliations: int = 0
    in_doubt: Tuple[Doubt, ...] = ()
    text: str = ""

    def __bool__(self) -> bool:
        return bool(self.orders or self.cancels or self.queries or self.reconciliations or self.in_doubt)

    @classmethod
    def from_raw(cls, raw: Raw) -> "Unanswered":
        return cls(
            orders=tuple(raw["orders"]),
            cancels=tuple(raw["cancels"]),
            queries=tuple(raw["queries"]),
            reconciliations=raw["reconciliations"],
            in_doubt=tuple(Doubt.from_raw(d) for d in raw["in_doubt"]),
            text=raw["text"],
        )


__all__ = ["Doubt", "DoubtOutcome", "Unanswered"]
