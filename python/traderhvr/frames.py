"""Orders, fills and positions as pandas DataFrames.

pandas is optional: Debian's python3-pandas (seen from a virtual environment
only when it was made with ``python3 -m venv --system-site-packages``), or
``pip install 'traderhvr[frames]'``. One row per record, one column per
field, for the records of answers and pushes (Order, Trade, Position) and of
the book (BookOrder, BookFill, BookPosition): ``Book.orders_frame()`` is
``orders_frame(book.orders.values())``. An order's ``state`` becomes its name
("ALL_TRADED", ...); ``order_time`` and ``trade_time`` hold the instants as
timestamps (aware, local time; NaT when the server sent none), whatever unit
the record gave them in; a Position gets ``volume`` (pre + new), a
BookPosition ``net``.
"""

from __future__ import annotations

import dataclasses
import os
import sys
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Optional, Type, Union

from .records import Order, Position, Trade

if TYPE_CHECKING:
    from .book import BookFill, BookOrder, BookPosition

_FRAMES_EXTRA = "pip install 'traderhvr[frames]'"


def orders_frame(orders: Iterable[Union[Order, "BookOrder"]]) -> Any:
    """A DataFrame of orders: an OrdersAnswer's, orders kept from pushes, or
    the book's (``book.orders.values()``)."""
    rows = [_row(o, {"order_time": o.order_datetime}) for o in orders]
    return _frame(Order, rows)


def trades_frame(trades: Iterable[Union[Trade, "BookFill"]]) -> Any:
    """A DataFrame of fills: a TradesAnswer's, or the book's
    (``book.fills.values()``)."""
    rows = [_row(t, {"trade_time": t.trade_datetime}) for t in trades]
    return _frame(Trade, rows)


def positions_frame(positions: Iterable[Union[Position, "BookPosition"]]) -> Any:
    """A DataFrame of positions: a PositionsAnswer's, with ``volume`` (pre +
    new), or the book's, with ``net``."""
    rows = []
    for p in positions:
        extra = {"volume": p.volume} if isinstance(p, Position) else {"net": p.net}
        rows.append(_row(p, extra))
    return _frame(Position, rows)


def _row(record: Any, extra: Dict[str, Any]) -> Dict[str, Any]:
    """The record's fields (their datetime twins left out: ``extra`` sets
    the time columns to the instants), the state by its name."""
    row = {f.name: getattr(record, f.name) for f in dataclasses.fields(record) if not f.name.endswith("_datetime")}
    if "state" in row:
        row["state"] = row["state"].name
    row.update(extra)
    return row


def _columns(rows: List[Dict[str, Any]], empty_type: Type[Any]) -> List[str]:
    """Every column the rows have, in the order they first appear; an empty
    frame gets the columns of ``empty_type``."""
    if not rows:
        return [f.name for f in dataclasses.fields(empty_type) if not f.name.endswith("_datetime")]
    seen: Dict[str, None] = {}
    for row in rows:
        seen.update(dict.fromkeys(row))
    return list(seen)


def _frame(empty_type: Type[Any], rows: List[Dict[str, Any]]) -> Any:
    try:
        import pandas  # type: ignore[import]
    except ImportError as error:
        raise ImportError(pandas_missing(error)) from error
    frame = pandas.DataFrame(rows, columns=_columns(rows, empty_type))
    for time_column in ("order_time", "trade_time"):
        if time_column in frame.columns:
            frame[time_column] = pandas.to_datetime(frame[time_column])
    return frame


def _venv_sees_system_packages() -> Optional[bool]:
    """Inside a virtual environment: whether it sees the system's packages
    (``--system-site-packages``); None outside one."""
    if sys.prefix == sys.base_prefix:
        return None
    try:
        with open(os.path.join(sys.prefix, "pyvenv.cfg"), encoding="utf-8") as config:
            for line in config:
                key, _, value = line.partition("=")
                if key.strip() == "include-system-site-packages":
                    return value.strip().lower() == "true"
    except OSError:
        pass
    return False


def _system_pandas() -> Optional[str]:
    """Where the system's (Debian's python3-pandas) pandas lies, if it does."""
    for folder in (
        os.path.join(sys.base_prefix, "lib", "python3", "dist-packages"),
        os.path.join(sys.base_prefix, "lib", f"python{sys.version_info[0]}.{sys.version_info[1]}", "site-packages"),
    ):
        if os.path.isdir(os.path.join(folder, "pandas")):
            return folder
    return None


def pandas_missing(error: Optional[BaseException] = None) -> str:
    """What to do when pandas cannot be imported, said for this interpreter."""
    installed = _system_pandas()
    if _venv_sees_system_packages() is False:
        system = (
            f"the system's pandas ({installed}) is installed but not seen from here"
            if installed
            else "the system's packages are not seen from here either"
        )
        return (
            f"DataFrames need pandas, which this virtual environment ({sys.prefix}) does not have; "
            f"it was made without --system-site-packages, so {system}. Make the environment with "
            f"'python3 -m venv --system-site-packages' (offline; then Debian's python3-pandas serves it), "
            f"or {_FRAMES_EXTRA} in it"
        )
    if installed and installed in sys.path:
        return f"DataFrames need pandas; the one in {installed} could not be imported: {error}"
    if installed:
        return (
            f"DataFrames need pandas; the system's is in {installed}, which this interpreter "
            f"({sys.executable}) does not search: run the system's python3, or {_FRAMES_EXTRA}"
        )
    return f"DataFrames need pandas: apt-get install python3-pandas, or {_FRAMES_EXTRA}"


__all__ = ["orders_frame", "positions_frame", "trades_frame"]
