"""traderhvr.Trader: a host of the TraderHVR trader module for Python code.

Threads and the GIL
-------------------
The module reports everything on its own network thread. The extension copies
each report while the module's call lasts, takes the GIL only to call the
callback, and never holds a lock of its own while Python runs. Callbacks
therefore run on the network thread, one at a time and in the order the
server sent: keep them short. A callback may call the Trader (insert, cancel,
queries) but must never call ``close()`` (it waits for the very thread that
runs the callback; it raises RuntimeError there). An exception raised by a
callback is logged on the "traderhvr" logger and counted in
``callback_errors``; the connection goes on. An event reaches ``events()``
after its callback has returned.

``events()`` waits with the GIL released and wakes every 100 ms to let signal
handlers run, so Ctrl-C stops a script waiting there.
"""

from __future__ import annotations

import atexit
import ipaddress
import logging
import os
import time
import weakref
from typing import Callable, Iterator, Mapping, Optional, Tuple, Type, Union

from . import _core
from .errors import NotLoggedIn, OrderRefused, TraderClosed
from .events import CALLBACK_OF, LOG_ERROR, LOG_WARNING, Event, Log, event_from_raw
from .records import OFFSET_CODES, PRICE_TYPE_ANY, PRICE_TYPE_LIMIT, SIDE_CODES, TIME_CONDITION_CODES

logger = logging.getLogger("traderhvr")

MODULE_FILE = "libTraderHVR.so"
MODULE_ENV = "TRADERHVR_MODULE"
MAX_VOLUME = 2**32 - 1


class PushMode:
    """Which pushes a first login asks for (the "pushmode" setting)."""

    RESUME = 0  # after the last push recorded in the user's .flow file
    NEW_ONLY = 1  # only pushes from now on
    REPLAY_DAY = 2  # every push of the trading day


def find_module(path: Optional[str] = None) -> str:
    """The module file to load: ``path``, else $TRADERHVR_MODULE, else the file
    beside this package, else the bare name for the dynamic loader's search
    path (an installed module)."""
    if path:
        return os.fspath(path)
    if os.environ.get(MODULE_ENV):
        return os.environ[MODULE_ENV]
    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), MODULE_FILE)
    if os.path.exists(beside):
        return beside
    return MODULE_FILE


def _wire_text(value: Union[str, bytes], what: str) -> bytes:
    """Text as the module sends it: str encoded as GBK, bytes as they are."""
    if isinstance(value, bytes):
        data = value
    elif isinstance(value, str):
        try:
            data = value.encode("gbk")
        except UnicodeEncodeError as error:
            raise ValueError(f"{what} {value!r} cannot be written in GBK") from error
    else:
        raise TypeError(f"{what} must be str or bytes, not {type(value).__name__}")
    if b"\0" in data:
        raise ValueError(f"{what} must not contain a NUL character")
    return data


def _check_host(host: str) -> str:
    try:
        ipaddress.ip_address(host.split("%", 1)[0])
    except ValueError as error:
        raise ValueError(f"host must be a numeric IPv4 or IPv6 address, not {host!r}") from error
    return host


def _catalog_rows(catalog: Optional[Mapping]) -> Optional[list]:
    if catalog is None:
        return None
    rows = []
    for code, terms in catalog.items():
        terms = terms or {}
        multiplier = int(terms.get("multiplier", 1))
        if not 0 <= multiplier <= MAX_VOLUME:
            raise ValueError(f"catalog: multiplier of {code} out of range: {multiplier}")
        rows.append(
            (
                _wire_text(code, "catalog code"),
                multiplier,
                _wire_text(terms.get("currency", "CNY"), "catalog currency"),
                _wire_text(terms.get("exchange", ""), "catalog exchange"),
            )
        )
    return rows


EventMatch = Union[Type[Event], Tuple[Type[Event], ...], Callable[[Event], bool]]


def _matcher(match: EventMatch) -> Callable[[Event], bool]:
    if isinstance(match, type) or isinstance(match, tuple):
        return lambda event: isinstance(event, match)
    return match


def _make_dispatcher(trader_ref: "weakref.ref[Trader]"):
    """The callable the extension calls on the module's threads. It holds the
    Trader only weakly, so a forgotten Trader can still be collected."""

    def dispatch(raw) -> None:
        trader = trader_ref()
        if trader is None:
            return
        event = event_from_raw(raw)
        if isinstance(event, Log):
            logger.log(_logging_level(event.level), "%s", event.text)
        name = CALLBACK_OF[type(event)]
        callback = getattr(trader, name)
        if callback is None:
            return
        try:
            callback(event)
        except Exception:
            trader.callback_errors += 1
            logger.exception("traderhvr: %s raised on %s; the connection goes on", name, type(event).__name__)

    return dispatch


def _logging_level(level: int) -> int:
    if level >= LOG_ERROR:
        return logging.ERROR
    if level == LOG_WARNING:
        return logging.WARNING
    return logging.INFO


class Trader:
    """One trader of the module: one connection, one login.

    ``module`` is the path of libTraderHVR.so (see :func:`find_module`).
    ``folder`` holds the ``<user>.flow`` file that lets pushes resume across
    restarts; ``pushmode`` is a :class:`PushMode` value. ``catalog`` maps
    instrument codes to ``{"multiplier": int, "currency": str, "exchange":
    str}``; positions of instruments missing from it are left out by the
    module, and without a catalog every position is left out with a
    warning (a Log event). ``queue_events=False`` keeps events out of ``events()``, for a
    script that only uses callbacks (the queue is otherwise unbounded).
    ``peertimeout`` (seconds, 0 = off) turns on the module's dead-peer
    detection: once the server has sent a heartbeat, that long without a
    byte from it ends the connection (a Disconnected event with error 110)
    and the module reconnects; choose it above the server's heartbeat period.

    Set the callbacks (``on_event``, ``on_answer``, ``on_order``,
    ``on_trade``, ``on_log``) before ``connect()``. Use the Trader as a
    context manager, or call ``close()``: both release the module's trader.
    """

    def __init__(
        self,
        module: Optional[str] = None,
        host: str = "127.0.0.1",
        port: int = 4400,
        folder: str = "flow",
        pushmode: int = PushMode.RESUME,
        catalog: Optional[Mapping] = None,
        queue_events: bool = True,
        peertimeout: int = 0,
    ):
        self.host = _check_host(host)
        if isinstance(peertimeout, bool) or not isinstance(peertimeout, int) or peertimeout < 0:
            raise ValueError(f"peertimeout must be a whole number of seconds, 0 or more, not {peertimeout!r}")
        self.peertimeout = peertimeout
        if not 0 < int(port) < 65536:
            raise ValueError(f"port out of range: {port}")
        self.port = int(port)
        if pushmode not in (PushMode.RESUME, PushMode.NEW_ONLY, PushMode.REPLAY_DAY):
            raise ValueError(f"pushmode must be 0, 1 or 2, not {pushmode!r}")
        self.pushmode = pushmode
        folder = os.fspath(folder)
        # The module uses the folder as a plain prefix of "<user>.flow".
        self.folder = folder if folder == "" or folder.endswith("/") else folder + "/"
        self.on_event: Optional[Callable[[Event], None]] = None
        self.on_answer: Optional[Callable[[Event], None]] = None
        self.on_order: Optional[Callable[[Event], None]] = None
        self.on_trade: Optional[Callable[[Event], None]] = None
        self.on_log: Optional[Callable[[Event], None]] = None
        self.callback_errors = 0
        self._started = False  # connect() called and no disconnect() since
        self._host = _core.Host(find_module(module), _catalog_rows(catalog), bool(queue_events))
        self._host.set_dispatcher(_make_dispatcher(weakref.ref(self)))
        _open_traders.add(self)

    # -- connection and login ------------------------------------------------

    def connect(self) -> None:
        """Starts connecting (again, after disconnect()); returns at once.
        Connected, ConnectFailed and, with a login, LoginResult follow. Once
        started, the module reconnects by itself; a second connect() does
        nothing until disconnect()."""
        if self._started:
            return
        self._host.connect(
            _wire_text(self.host, "host"), self.port, _wire_text(self.folder, "folder"), self.pushmode, self.peertimeout
        )
        self._started = True

    def login(self, user: str, password: str, resource: str = "") -> None:
        """Logs in now if connected, otherwise as soon as the connection is up,
        and again after every reconnect. The outcome arrives as LoginResult."""
        self._host.login(_wire_text(user, "user"), _wire_text(password, "password"), _wire_text(resource, "resource"))

    def disconnect(self) -> None:
        """Closes the connection and stops reconnecting; connect() starts again
        (log in again after it)."""
        self._started = False
        self._host.disconnect()

    @property
    def connected(self) -> bool:
        return self._host.connected

    @property
    def logged_in(self) -> bool:
        return self._host.logged_in

    # -- trading -------------------------------------------------------------

    def insert(
        self,
        code: str,
        volume: int,
        price: float,
        side: str = "buy",
        offset: str = "open",
        limit: bool = True,
        tag: str = "",
        time_condition: str = "day",
    ) -> str:
        """Sends an order and returns its tag, which its OrderAnswer (and the
        order's pushes) carry back. Without ``tag`` the module makes a unique
        one. Raises NotLoggedIn, OrderRefused (the module sent nothing) or
        ValueError; the server's own refusal arrives as an OrderAnswer."""
        if side not in SIDE_CODES:
            raise ValueError(f"side must be one of {sorted(SIDE_CODES)}, not {side!r}")
        if offset not in OFFSET_CODES:
            raise ValueError(f"offset must be one of {sorted(OFFSET_CODES)}, not {offset!r}")
        if time_condition not in TIME_CONDITION_CODES:
            raise ValueError(f"time_condition must be one of {sorted(TIME_CONDITION_CODES)}, not {time_condition!r}")
        if isinstance(volume, bool) or not isinstance(volume, int) or not 0 < volume <= MAX_VOLUME:
            raise ValueError(f"volume must be a whole number from 1 to {MAX_VOLUME}, not {volume!r}")
        code_bytes = _wire_text(code, "code")
        if not code_bytes:
            raise ValueError("code must not be empty")
        price = float(price)
        self._require_login("insert")
        tag_bytes = _wire_text(tag, "tag") if tag else self._host.make_entrust_id().encode()
        rc, why = self._host.insert(
            code_bytes,
            volume,
            price,
            ord(SIDE_CODES[side]),
            ord(PRICE_TYPE_LIMIT if limit else PRICE_TYPE_ANY),
            ord(TIME_CONDITION_CODES[time_condition]),
            ord(OFFSET_CODES[offset]),
            tag_bytes,
        )
        if rc != 0:
            detail = why or f"the module returned {rc}"
            raise OrderRefused(f"order {code} {side} {offset} {volume} @ {price} not sent: {detail}")
        return tag_bytes.decode("gbk", errors="replace")

    def cancel(self, order_id: Union[str, int]) -> None:
        """Asks to cancel the order with this server id. A refusal arrives as
        CancelRefused; a cancel shows as the order's CANCELLED push."""
        text = str(order_id)
        if not text.isdigit() or int(text) > MAX_VOLUME:
            raise ValueError(f"order_id must be a server order id (digits), not {order_id!r}")
        self._require_login("cancel")
        if self._host.cancel(text.encode()) != 0:
            raise OrderRefused(f"cancel of order {text} not sent")

    def query_account(self) -> None:
        """Asks for the funds; the answer arrives as AccountAnswer."""
        self._query("account")

    def query_positions(self) -> None:
        """Asks for the positions; the answer arrives as PositionsAnswer."""
        self._query("positions")

    def query_orders(self) -> None:
        """Asks for the day's orders; the answer arrives as OrdersAnswer."""
        self._query("orders")

    def query_trades(self) -> None:
        """Asks for the day's fills; the answer arrives as TradesAnswer."""
        self._query("trades")

    # -- events --------------------------------------------------------------

    def next_event(self, timeout: Optional[float] = None) -> Optional[Event]:
        """The next event, or None when none arrives within ``timeout``
        seconds (None: wait as long as it takes) or the Trader is closed and
        every event was read."""
        raw = self._host.next_event(timeout)
        return None if raw is None else event_from_raw(raw)

    def events(self, timeout: Optional[float] = None) -> Iterator[Event]:
        """Every event in arrival order. The iteration ends when no event
        arrives within ``timeout`` seconds of the previous one (None: never),
        or when the Trader is closed and drained."""
        while True:
            event = self.next_event(timeout)
            if event is None:
                return
            yield event

    def wait_for(self, match: EventMatch, timeout: float) -> Event:
        """Reads events until one matches (an event class, a tuple of them, or
        a predicate) and returns it; the events read before it are consumed.
        Raises TimeoutError when none matches within ``timeout`` seconds."""
        matches = _matcher(match)
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            event = self.next_event(max(0.0, left)) if left > 0 else None
            if event is None:
                if self._host.closed:
                    raise TraderClosed("the Trader was closed while waiting")
                raise TimeoutError(f"no matching event within {timeout} s")
            if matches(event):
                return event

    # -- lifetime ------------------------------------------------------------

    def close(self) -> None:
        """Logs out, closes the connection and releases the module's trader;
        waits for its network thread. Idempotent. Never call it from a
        callback (it raises RuntimeError there)."""
        self._host.close()
        _open_traders.discard(self)

    @property
    def closed(self) -> bool:
        return self._host.closed

    def __enter__(self) -> "Trader":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __del__(self):
        host = getattr(self, "_host", None)
        if host is not None and not host.closed:
            try:
                host.close()
            except Exception:
                pass  # from inside a callback: the extension leaves the trader running

    def _require_login(self, what: str) -> None:
        if self._host.closed:
            raise TraderClosed(f"{what}: the Trader is closed")
        if not self._host.logged_in:
            raise NotLoggedIn(f"{what}: not logged in (log in and wait for LoginResult first)")

    def _query(self, what: str) -> None:
        self._require_login(f"query_{what}")
        self._host.query(what)


# Traders still open when the interpreter exits are closed first, while
# callbacks can still take the GIL.
_open_traders: "weakref.WeakSet[Trader]" = weakref.WeakSet()


@atexit.register
def _close_open_traders() -> None:
    for trader in list(_open_traders):
        try:
            trader.close()
        except Exception:
            logger.exception("traderhvr: closing a Trader at exit failed")


__all__ = ["Trader", "PushMode", "find_module"]
