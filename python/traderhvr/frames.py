"""Orders, fills and positions as pandas DataFrames.

pandas is optional: ``pip install traderhvr[frames]`` or Debian's
python3-pandas. One row per record, one column per field; an order's
``state`` becomes its name ("ALL_TRADED", ...), and the record times become
timestamps: ``order_time`` and ``trade_time`` hold the instants (aware, local
time; NaT when the server sent none), whatever unit the module gave them in.
"""

from __future__ import annotations

import dataclasses
from typing import Any, Dict, Iterable, List, Sequence, Type

from .records import Order, Position, Trade

PANDAS_MISSING = (
    "to_frame() needs pandas: apt-get install python3-pandas, or pip install 'traderhvr[frames]'"
)


def orders_frame(orders: Iterable[Order]) -> Any:
    """A DataFrame of orders (an OrdersAnswer's, or orders kept from pushes)."""
    return _frame(Order, [_order_row(o) for o in orders])


def trades_frame(trades: Iterable[Trade]) -> Any:
    """A DataFrame of fills."""
    return _frame(Trade, [_trade_row(t) for t in trades])


def positions_frame(positions: Iterable[Position]) -> Any:
    """A DataFrame of positions, with ``volume`` (pre + new) added."""
    rows = []
    for p in positions:
        row = dataclasses.asdict(p)
        row["volume"] = p.volume
        rows.append(row)
    return _frame(Position, rows, extra=("volume",))


def _order_row(order: Order) -> Dict[str, Any]:
    row = dataclasses.asdict(order)
    row["state"] = order.state.name
    row["order_time"] = row.pop("order_datetime")
    return row


def _trade_row(trade: Trade) -> Dict[str, Any]:
    row = dataclasses.asdict(trade)
    row["trade_time"] = row.pop("trade_datetime")
    return row


def _columns(record_type: Type[Any], extra: Sequence[str]) -> List[str]:
    names = [f.name for f in dataclasses.fields(record_type) if not f.name.endswith("_datetime")]
    return names + list(extra)


def _frame(record_type: Type[Any], rows: List[Dict[str, Any]], extra: Sequence[str] = ()) -> Any:
    try:
        import pandas  # type: ignore[import]
    except ImportError as error:
        raise ImportError(PANDAS_MISSING) from error
    frame = pandas.DataFrame(rows, columns=_columns(record_type, extra))
    for time_column in ("order_time", "trade_time"):
        if time_column in frame.columns:
            frame[time_column] = pandas.to_datetime(frame[time_column])
    return frame


__all__ = ["orders_frame", "positions_frame", "trades_frame"]
