"""Trading records as plain Python values.

The module hands its records to the listener only for the length of one
call; the extension copies each into these frozen dataclasses, with every text
already decoded from GBK to ``str``. The module's one-character codes become
words: ``side`` "buy"/"sell" (orders and fills) or "long"/"short"
(positions), ``offset`` "open"/"close"/"close_today", ``time_condition``
"day"/"section"/"ioc", ``limit`` a bool, ``state`` an :class:`OrderState`.

Times: ``Order.order_time`` and ``Trade.trade_time`` are the numbers the module
gives, whose unit depends on where the record came from (an order push carries
whole seconds since the epoch, an order query answer and every fill the
server's milliseconds); ``order_datetime`` and ``trade_datetime`` are the same
instants as timezone-aware datetimes in local time (None when the server sent
no time).
"""

from __future__ import annotations

import enum
from dataclasses import dataclass
from datetime import datetime, timezone
from typing import Any, Dict, Literal, Mapping, Optional

Raw = Mapping[str, Any]

# The words of the module's codes, as types: a type checker catches
# ``side="long"`` in an order (that word is a position's).
Side = Literal["buy", "sell"]
PositionSide = Literal["long", "short"]
Offset = Literal["open", "close", "close_today"]
TimeCondition = Literal["day", "section", "ioc"]


class OrderState(enum.Enum):
    """State of an order as the server reports it."""

    ALL_TRADED = "0"
    PART_TRADED_QUEUING = "1"
    PART_TRADED_NOT_QUEUING = "2"
    QUEUING = "3"
    NOT_QUEUING = "4"
    CANCELLED = "5"
    UNKNOWN = "6"

    @property
    def finished(self) -> bool:
        """True when the order will change no more."""
        return self in _FINISHED_STATES


_FINISHED_STATES = frozenset(
    {OrderState.ALL_TRADED, OrderState.PART_TRADED_NOT_QUEUING, OrderState.NOT_QUEUING, OrderState.CANCELLED}
)

# The module's character codes, both ways. Keys of the *_CODES tables are the
# words a caller passes; the reading tables map codes back, with the word the
# module's own conversion gives any other code.
SIDE_CODES: Dict[Side, str] = {"buy": "0", "sell": "1"}
OFFSET_CODES: Dict[Offset, str] = {"open": "0", "close": "1", "close_today": "3"}
TIME_CONDITION_CODES: Dict[TimeCondition, str] = {"day": "3", "section": "2", "ioc": "1"}
PRICE_TYPE_ANY = "1"
PRICE_TYPE_LIMIT = "2"

_SIDES: Dict[str, Side] = {"0": "buy"}
_POSITION_SIDES: Dict[str, PositionSide] = {"0": "long"}
_OFFSETS: Dict[str, Offset] = {"0": "open", "1": "close"}
_TIME_CONDITIONS: Dict[str, TimeCondition] = {"3": "day", "2": "section"}


def _char(code: int) -> str:
    return chr(code) if 0 <= code < 0x110000 else ""


def _side(code: int) -> Side:
    return _SIDES.get(_char(code), "sell")


def _position_side(code: int) -> PositionSide:
    return _POSITION_SIDES.get(_char(code), "short")


def _offset(code: int) -> Offset:
    return _OFFSETS.get(_char(code), "close_today")


def _time_condition(code: int) -> TimeCondition:
    return _TIME_CONDITIONS.get(_char(code), "ioc")


# Divisors that turn a record time into seconds since the epoch.
MILLISECONDS = 1000
SECONDS = 1


def epoch_datetime(value: int, per_second: int) -> Optional[datetime]:
    """``value`` (``per_second`` units in a second since the epoch) as an
    aware datetime in local time; None for 0 (no time) or a value no datetime
    can hold."""
    if value <= 0:
        return None
    try:
        return datetime.fromtimestamp(value / per_second, tz=timezone.utc).astimezone()
    except (OverflowError, OSError, ValueError):
        return None


def _state(code: int) -> OrderState:
    try:
        return OrderState(_char(code))
    except ValueError:
        return OrderState.UNKNOWN


@dataclass(frozen=True)
class Entrust:
    """An order as the server answered it: ``order_id`` is the server's id."""

    code: str
    volume: int
    price: float
    side: Side
    offset: Offset
    limit: bool
    time_condition: TimeCondition
    order_id: str
    tag: str

    @classmethod
    def from_raw(cls, raw: Raw) -> "Entrust":
        return cls(**_entrust_fields(raw))


@dataclass(frozen=True)
class Order:
    """An order with its state, from an order push or an order query.

    ``order_time`` is the module's number: whole seconds since the epoch in an
    order push, the server's milliseconds in an order query answer;
    ``order_datetime`` is that instant, whichever the source.
    """

    code: str
    volume: int
    price: float
    side: Side
    offset: Offset
    limit: bool
    time_condition: TimeCondition
    order_id: str
    tag: str
    trading_date: int
    order_time: int
    traded_volume: int
    left_volume: int
    state: OrderState
    order_type: int
    state_message: str
    order_datetime: Optional[datetime]

    @classmethod
    def from_raw(cls, raw: Raw, per_second: int = MILLISECONDS) -> "Order":
        """``per_second``: SECONDS for an order push, MILLISECONDS (the
        default) for an order query answer."""
        fields = _entrust_fields(raw)
        fields["order_id"] = raw["order_id"]
        return cls(
            **fields,
            trading_date=raw["trading_date"],
            order_time=raw["order_time"],
            traded_volume=raw["traded_volume"],
            left_volume=raw["left_volume"],
            state=_state(raw["state"]),
            order_type=raw["order_type"],
            state_message=raw["state_message"],
            order_datetime=epoch_datetime(raw["order_time"], per_second),
        )


@dataclass(frozen=True)
class Trade:
    """A fill, from a trade push or a trade query (whose ``tag`` is empty).
    ``trade_time`` is the server's milliseconds since the epoch in both;
    ``trade_datetime`` is that instant."""

    code: str
    trade_id: str
    order_id: str
    tag: str
    trading_date: int
    trade_time: int
    volume: int
    price: float
    side: Side
    offset: Offset
    order_type: int
    amount: float
    trade_datetime: Optional[datetime]

    @classmethod
    def from_raw(cls, raw: Raw) -> "Trade":
        return cls(
            **fill_fields(raw),
            order_type=raw["order_type"],
            trade_datetime=epoch_datetime(raw["trade_time"], MILLISECONDS),
        )


def fill_fields(raw: Raw) -> Dict[str, Any]:
    """The fields a fill has wherever it comes from (a trade push or answer,
    or the book), with its codes as words."""
    return {
        "trade_id": raw["trade_id"],
        "order_id": raw["order_id"],
        "tag": raw["tag"],
        "code": raw["code"],
        "side": _side(raw["direction"]),
        "offset": _offset(raw["offset"]),
        "volume": raw["volume"],
        "price": raw["price"],
        "amount": raw["amount"],
        "trade_time": raw["trade_time"],
        "trading_date": raw["trading_date"],
    }


@dataclass(frozen=True)
class Position:
    """One position line. Only instruments of the Trader's catalog appear."""

    code: str
    currency: str
    side: PositionSide
    pre_volume: int
    new_volume: int
    avail_pre_volume: int
    avail_new_volume: int
    total_cost: float
    margin: float
    avg_price: float
    dyn_profit: float

    @property
    def volume(self) -> int:
        return self.pre_volume + self.new_volume

    @classmethod
    def from_raw(cls, raw: Raw) -> "Position":
        fields = dict(raw)
        fields["side"] = _position_side(fields.pop("direction"))
        return cls(**fields)


@dataclass(frozen=True)
class Account:
    """Funds of one account."""

    account_name: str
    currency: str
    balance: float
    pre_balance: float
    margin: float
    commission: float
    frozen_margin: float
    frozen_commission: float
    close_profit: float
    dyn_profit: float
    deposit: float
    withdraw: float
    available: float

    @classmethod
    def from_raw(cls, raw: Raw) -> "Account":
        return cls(**raw)


def _entrust_fields(raw: Raw) -> Dict[str, Any]:
    return {
        "code": raw["code"],
        "volume": raw["volume"],
        "price": raw["price"],
        "side": _side(raw["direction"]),
        "offset": _offset(raw["offset"]),
        "limit": _char(raw["price_type"]) != PRICE_TYPE_ANY,
        "time_condition": _time_condition(raw["time_condition"]),
        "order_id": raw["entrust_id"],
        "tag": raw["tag"],
    }
