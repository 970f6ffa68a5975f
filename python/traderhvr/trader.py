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

Every wait (``events()``, ``wait_for()``, ``wait_logged_in()``, ``close()``)
is done with the GIL released and wakes every 100 ms to let signal handlers
run, so Ctrl-C stops a script waiting there. ``aevents()`` and
``await_for()`` wait inside an asyncio event loop without a thread of their
own: the extension's queue has a descriptor the loop watches.

Reading events
--------------
``events()``, ``next_event()`` and ``aevents()`` read one stream: each event
comes out of it once. ``wait_for()`` and ``await_for()`` are waiters; any
number of them may wait at once, on any threads and in asyncio tasks. A
waiter sees every event nobody had taken when it started (an event is taken
when the stream hands it out or a waiter returns it) and every event that
arrives while it waits, and returns the first that matches. Reading past an
event takes nothing from anybody: it stays for the stream and for every other
waiter, so waiting for one answer never loses a fill, and two waiters for
the same event both get it. The event a waiter returns is taken: the stream
skips it and later waiters do not see it.

Logins and reconnects
---------------------
A login is sent at once when connected, else as soon as the connection is
up. Once its credentials worked, the Trader logs in again by itself after
every reconnect; credentials the server refused are never sent again by
itself (a LoginRefused event says so, and who, if anybody, is logged in
instead). ``wait_logged_in()`` (``await_logged_in()``) waits out a
reconnect instead of catching NotLoggedIn.

Orders in doubt
---------------
Orders and cancels sent on a connection that ended before their answer are
in doubt (an InDoubt event names them); after the next login and its
reconciliation each is resolved once as received or never received (a
DoubtResolved event). Nothing is sent again by itself. ``in_doubt()`` lists
the open ones, ``unanswered()`` every request still awaiting its answer. See
traderhvr.doubts.

Closing
-------
``close()``, leaving ``with`` or ``async with``, and the exit of the
interpreter wait up to ``close_timeout`` seconds (default 5) for the answers
of requests already sent, then release the trader; what is still
unanswered then is logged as a warning on the "traderhvr" logger and
returned (an :class:`~traderhvr.Unanswered`). A Ctrl-C while close() waits
(the second one, when the first ended the script) stops waiting: callbacks
are not run any more for events the module still delivers (their number is
logged), the callback running at that moment is interrupted (KeyboardInterrupt
inside it, at its next Python instruction), the trader is released and the
KeyboardInterrupt is raised again.

Replayed pushes
---------------
A server answers a login and then sends at once the pushes the login resumed
from: those missed since the flow file's last one, or, with ``pushmode``
REPLAY_DAY or no flow file, the whole trading day. Pushes that arrive after a
login's answer and before the server's answer to the first request made
after it (the reconciliation's orders query, or, with ``reconcile=False``, a
funds query the Trader sends for this alone and shows to nobody) are marked
``replayed``: they tell of what happened before the login. A strategy that
acts on new fills only skips ``event.replayed``.

A new trading day
-----------------
After a login on a new trading date the module may warn (level 103) that a
server numbering each day's pushes from 1 could have skipped the first ones.
Such a login is always reconciled, and a NewDayChecked event (also logged)
follows its Reconciled event with the answer: "nothing missing", or what the
pushes missed and the book took from the server.

Logging
-------
The package logs on the "traderhvr" logger, which has a NullHandler: nothing
is printed unless the application configures logging. Each of the module's
log lines becomes a record at its level (102 INFO, 103 WARNING, 104 ERROR)
whose message is the line in UTF-8 with its English gloss in brackets; the
record also carries ``text`` (the line), ``gloss`` (the meaning, from the
package's log-lines.md; None for an unlisted line) and ``level_code`` (102 to
104) for a log aggregator.

Ending the program from a callback
----------------------------------
``sys.exit()`` (SystemExit) inside a callback ends the program as it does in
the main thread: no further callback runs, and the SystemExit, with its code,
is raised in the main thread at its next Python instruction (a wait of this
package notices within 100 ms; a blocking call of another library returns
first). The exit then closes the Traders as usual.

Forks
-----
A process forked after a Trader was made shares its connection but not the
module's network thread. In the child every Trader is unusable: each call
raises :class:`TraderForked`, and ``close()`` (also at exit, by ``with`` or
by garbage collection) does nothing, so the child never logs the parent out
nor waits for a thread it does not have. Make a new Trader in the child.
"""

from __future__ import annotations

import asyncio
import atexit
import ipaddress
import logging
import os
import time
import weakref
from typing import (
    Any,
    AsyncIterator,
    Callable,
    Iterator,
    List,
    Mapping,
    Optional,
    Set,
    Tuple,
    Type,
    TypeVar,
    Union,
    overload,
)

from . import _core, loglines
from .book import Book, reconciled_fields
from .doubts import Doubt, Unanswered
from .errors import NotLoggedIn, OrderRefused, TraderClosed, TraderError, TraderForked
from .events import CALLBACK_OF, LOG_ERROR, LOG_WARNING, Event, Log, NewDayChecked, Reconciled, event_from_raw
from .records import (
    OFFSET_CODES,
    PRICE_TYPE_ANY,
    PRICE_TYPE_LIMIT,
    SIDE_CODES,
    TIME_CONDITION_CODES,
    Offset,
    Side,
    TimeCondition,
)

logger = logging.getLogger("traderhvr")
# A library leaves the output to the application (see "Logging" above).
logger.addHandler(logging.NullHandler())

MODULE_FILE = "libTraderHVR.so"
MODULE_ENV = "TRADERHVR_MODULE"
MAX_VOLUME = 2**32 - 1
CLOSE_TIMEOUT = 5.0  # seconds close() waits for answers by default
# Seconds without a byte from a server that sent heartbeats before the
# connection is dropped and made again; hvr-host's --peertimeout default too.
PEER_TIMEOUT = 15

E = TypeVar("E", bound=Event)
Callback = Callable[[Event], None]
# An instrument's terms: "multiplier" (int), "currency" and "exchange" (str).
CatalogTerms = Mapping[str, Any]


class PushMode:
    """Which pushes a first login asks for (the "pushmode" setting)."""

    RESUME = 0  # after the last push recorded in the user's .flow file
    NEW_ONLY = 1  # only pushes from now on
    REPLAY_DAY = 2  # every push of the trading day


def find_module(path: Optional[str] = None) -> str:
    """The module file to load: ``path``, else $TRADERHVR_MODULE, else the file
    beside this package (an installed package carries it), else the bare name
    for the dynamic loader's search path."""
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


CatalogRow = Tuple[bytes, int, bytes, bytes]


def _catalog_rows(catalog: Optional[Mapping[str, Optional[CatalogTerms]]]) -> Optional[List[CatalogRow]]:
    if catalog is None:
        return None
    rows = []
    for code, given in catalog.items():
        terms: CatalogTerms = given or {}
        multiplier = int(terms.get("multiplier", 1))
        if not 0 <= multiplier <= MAX_VOLUME:
            raise ValueError(f"catalog: multiplier of {code} out of range: {multiplier}")
        rows.append(
            (
                _wire_text(code, "catalog code"),
                multiplier,
                _wire_text(str(terms.get("currency", "CNY")), "catalog currency"),
                _wire_text(str(terms.get("exchange", "")), "catalog exchange"),
            )
        )
    return rows


EventMatch = Union[Type[Event], Tuple[Type[Event], ...], Callable[[Event], bool]]


def _matcher(match: EventMatch, where: Optional[Callable[[Any], bool]]) -> Callable[[Event], bool]:
    if isinstance(match, (type, tuple)):
        kinds = match

        def of_kind(event: Event) -> bool:
            return isinstance(event, kinds) and (where is None or where(event))

        return of_kind
    if where is not None:
        raise TypeError("where= goes with an event class, not with a predicate")
    return match


class _ExitState:
    """sys.exit() from a callback (see "Ending the program from a callback")."""

    requested = False  # a callback asked: no callback runs any more
    interpreter_exiting = False  # the interpreter is closing the Traders at exit


def _exit_from_callback(stop: SystemExit, where: str) -> None:
    if _ExitState.requested or _ExitState.interpreter_exiting:
        return
    _ExitState.requested = True
    logger.info("traderhvr: %s called sys.exit(%r): the program ends", where, stop.code)
    _core.exit_main(stop)


def _log_event(event: Event) -> None:
    """The module's log lines and the new-day check on the "traderhvr"
    logger (see "Logging" above)."""
    if isinstance(event, Log):
        meaning = loglines.gloss(event.text)
        extra = {"text": event.text, "gloss": meaning, "level_code": event.level}
        if meaning is None:
            logger.log(_logging_level(event.level), "%s", event.text, extra=extra)
        else:
            logger.log(_logging_level(event.level), "%s (%s)", event.text, meaning, extra=extra)
    elif isinstance(event, NewDayChecked):
        level = logging.INFO if event.nothing_missing else logging.WARNING
        logger.log(level, "traderhvr: %s", event.text, extra={"text": event.text, "gloss": event.text})


def _make_dispatcher(trader_ref: "weakref.ref[Trader]") -> Callable[[Tuple[str, Any, int]], None]:
    """The callable the extension calls on the module's threads. It holds the
    Trader only weakly, so a forgotten Trader can still be collected."""

    def dispatch(raw: Tuple[str, Any, int]) -> None:
        trader = trader_ref()
        if trader is None or _ExitState.requested:
            return
        event = event_from_raw(raw)
        _log_event(event)
        name = CALLBACK_OF[type(event)]
        callback: Optional[Callback] = getattr(trader, name)
        if callback is None:
            return
        try:
            callback(event)
        except SystemExit as stop:
            _exit_from_callback(stop, name)
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


class _LoopWake:
    """Wakes the coroutines of one event loop that wait for a Trader's events.

    The loop watches the queue's wake descriptor only while a coroutine
    waits. The descriptor turns readable when an event is queued (or the
    queue closes); the watcher drains it and wakes every waiter, which then
    reads the queue without blocking. A waiter registers before it yields, so
    an event queued between its read and its wait still wakes it."""

    def __init__(self, loop: asyncio.AbstractEventLoop, host: Any) -> None:
        self.loop = loop
        self.host = host
        self.waiters: Set["asyncio.Future[None]"] = set()
        self.watching = False

    def waiter(self) -> "asyncio.Future[None]":
        future: "asyncio.Future[None]" = self.loop.create_future()
        self.waiters.add(future)
        if not self.watching:
            self.loop.add_reader(self.host.wake_fd, self._readable)
            self.watching = True
        return future

    def forget(self, future: "asyncio.Future[None]") -> None:
        self.waiters.discard(future)
        if not self.waiters and self.watching:
            self.loop.remove_reader(self.host.wake_fd)
            self.watching = False

    def _readable(self) -> None:
        self.host.drain_wake()
        for future in self.waiters:
            if not future.done():
                future.set_result(None)


class Trader:
    """One trader of the module: one connection, one login.

    ``module`` is the path of libTraderHVR.so (see :func:`find_module`).
    ``folder`` holds the ``<user>.flow`` file that lets pushes resume across
    restarts; ``pushmode`` is a :class:`PushMode` value. ``catalog`` maps
    instrument codes to ``{"multiplier": int, "currency": str, "exchange":
    str}``; positions of instruments missing from it are left out by the
    module, and without a catalog every position is left out with a
    warning (a Log event). ``queue_events=False`` keeps events out of
    ``events()`` and ``aevents()``, for a script that only uses callbacks (the
    queue is otherwise unbounded). ``peertimeout`` (seconds, default 15 as
    in hvr-host; 0 = off) is the module's dead-peer detection: once the
    server has sent a heartbeat, that long without a byte from it ends the
    connection (a Disconnected event with error 110) and the module
    reconnects; keep it above the server's heartbeat period.
    ``threads="shared"`` puts the module's trader on the process's pool of
    network threads (made by the first trader that asks, with
    ``poolthreads`` threads, 0 = one per CPU) instead of a thread of its own:
    for many traders in one process; its callbacks then share a thread with
    other traders' (README, "Many traders in one host"). ``reconcile=False`` stops the comparison
    of the book with the server after every login (see traderhvr.book).

    Set the callbacks (``on_event``, ``on_answer``, ``on_order``,
    ``on_trade``, ``on_log``) before ``connect()``. Use the Trader as a
    context manager (``with`` or ``async with``), or call ``close()``: each
    waits for the answers still due, then releases the module's trader.
    """

    def __init__(
        self,
        module: Optional[str] = None,
        host: str = "127.0.0.1",
        port: int = 4400,
        folder: str = "flow",
        pushmode: int = PushMode.RESUME,
        catalog: Optional[Mapping[str, Optional[CatalogTerms]]] = None,
        queue_events: bool = True,
        peertimeout: int = PEER_TIMEOUT,
        reconcile: bool = True,
        threads: str = "own",
        poolthreads: int = 0,
        close_timeout: float = CLOSE_TIMEOUT,
    ) -> None:
        self.host = _check_host(host)
        if isinstance(peertimeout, bool) or not isinstance(peertimeout, int) or peertimeout < 0:
            raise ValueError(f"peertimeout must be a whole number of seconds, 0 or more, not {peertimeout!r}")
        self.peertimeout = peertimeout
        if threads not in ("own", "shared"):
            raise ValueError(f"threads must be 'own' or 'shared', not {threads!r}")
        if isinstance(poolthreads, bool) or not isinstance(poolthreads, int) or poolthreads < 0:
            raise ValueError(f"poolthreads must be a whole number, 0 or more, not {poolthreads!r}")
        self.threads = threads
        self.poolthreads = poolthreads
        if not 0 < int(port) < 65536:
            raise ValueError(f"port out of range: {port}")
        self.port = int(port)
        if pushmode not in (PushMode.RESUME, PushMode.NEW_ONLY, PushMode.REPLAY_DAY):
            raise ValueError(f"pushmode must be 0, 1 or 2, not {pushmode!r}")
        self.pushmode = pushmode
        folder = os.fspath(folder)
        # The module uses the folder as a plain prefix of "<user>.flow".
        self.folder = folder if folder == "" or folder.endswith("/") else folder + "/"
        self.on_event: Optional[Callback] = None
        self.on_answer: Optional[Callback] = None
        self.on_order: Optional[Callback] = None
        self.on_trade: Optional[Callback] = None
        self.on_log: Optional[Callback] = None
        self.callback_errors = 0
        self.queue_events = bool(queue_events)
        self._started = False  # connect() called and no disconnect() since
        self._owner_pid = os.getpid()
        self._forked = False
        if float(close_timeout) < 0:
            raise ValueError(f"close_timeout must be 0 or more seconds, not {close_timeout!r}")
        self.close_timeout = float(close_timeout)
        self._wake: Optional[_LoopWake] = None
        self.reconcile_after_login = bool(reconcile)
        self._host = _core.Host(
            find_module(module), _catalog_rows(catalog), self.queue_events, self.reconcile_after_login
        )
        self._host.set_dispatcher(_make_dispatcher(weakref.ref(self)))
        _open_traders.add(self)

    # -- connection and login ------------------------------------------------

    def connect(self) -> None:
        """Starts connecting (again, after disconnect()); returns at once.
        Connected, ConnectFailed and, with a login, LoginResult follow. Once
        started, the module reconnects by itself; a second connect() does
        nothing until disconnect()."""
        self._usable("connect")
        if self._started:
            return
        self._host.connect(
            _wire_text(self.host, "host"),
            self.port,
            _wire_text(self.folder, "folder"),
            self.pushmode,
            self.peertimeout,
            self.threads,
            self.poolthreads,
        )
        self._started = True

    def login(self, user: str, password: str, resource: str = "") -> None:
        """Logs in now if connected, otherwise as soon as the connection is up.
        Once these credentials worked, the Trader logs in with them again after
        every reconnect; if the server refuses them they are never sent again
        (LoginRefused). Logged in as another user, it logs that user out
        first. The outcome arrives as LoginResult; ``wait_logged_in()`` waits
        for it."""
        self._usable("login")
        self._host.login(_wire_text(user, "user"), _wire_text(password, "password"), _wire_text(resource, "resource"))

    def wait_logged_in(self, timeout: float) -> None:
        """Returns once logged in: at once when a login holds, else after the
        login on its way (the one the Trader sends by itself after a
        reconnect, say). Raises TimeoutError after ``timeout`` seconds,
        NotLoggedIn when no login is coming (none given, or the last one was
        refused), TraderClosed once closed, and RuntimeError inside a
        callback (the answer arrives on that thread)."""
        self._usable("wait_logged_in")
        status = self._host.wait_logged_in(timeout)
        self._logged_in_or_raise(status, timeout)

    async def await_logged_in(self, timeout: float) -> None:
        """wait_logged_in() for a coroutine: the wait runs on a thread of the
        loop's default executor, so the loop stays free."""
        self._usable("await_logged_in")
        loop = asyncio.get_running_loop()
        status = await loop.run_in_executor(None, self._host.wait_logged_in, timeout)
        self._logged_in_or_raise(status, timeout)

    def _logged_in_or_raise(self, status: str, timeout: float) -> None:
        if status == "logged_in":
            return
        if self._host.closed:
            raise TraderClosed("the Trader was closed while waiting for a login")
        if status == "expected":
            raise TimeoutError(f"not logged in within {timeout} s")
        raise NotLoggedIn(self._why_not_logged_in(status))

    def _why_not_logged_in(self, status: str) -> str:
        if status == "expected":
            return "not logged in yet: the Trader logs in by itself once connected; wait_logged_in() waits for it"
        refusal = self._host.last_refusal
        if status == "refused" and refusal is not None:
            return f"not logged in: the login of {refusal['user']} was refused ({refusal['message']}); call login() again"
        return "not logged in: call login() (and connect())"

    def disconnect(self) -> None:
        """Closes the connection and stops reconnecting; connect() starts again
        (log in again after it)."""
        self._usable("disconnect")
        self._started = False
        self._host.disconnect()

    @property
    def connected(self) -> bool:
        self._usable("connected")
        return bool(self._host.connected)

    @property
    def logged_in(self) -> bool:
        self._usable("logged_in")
        return bool(self._host.logged_in)

    # -- trading -------------------------------------------------------------

    def insert(
        self,
        code: str,
        volume: int,
        price: float,
        side: Side = "buy",
        offset: Offset = "open",
        limit: bool = True,
        tag: str = "",
        time_condition: TimeCondition = "day",
    ) -> str:
        """Sends an order and returns its tag, which its OrderAnswer (and the
        order's pushes) carry back. Without ``tag`` the module makes a unique
        one. Raises NotLoggedIn, OrderRefused (the module sent nothing) or
        ValueError; the server's own refusal arrives as an OrderAnswer."""
        self._usable("insert")
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
        status, rc, made_tag, why = self._host.insert(
            code_bytes,
            volume,
            price,
            ord(SIDE_CODES[side]),
            ord(PRICE_TYPE_LIMIT if limit else PRICE_TYPE_ANY),
            ord(TIME_CONDITION_CODES[time_condition]),
            ord(OFFSET_CODES[offset]),
            _wire_text(tag, "tag") if tag else b"",
        )
        self._sent_or_raise(status, "insert")
        if status != "sent":
            detail = why or f"the module returned {rc}"
            raise OrderRefused(f"order {code} {side} {offset} {volume} @ {price} not sent: {detail}")
        return tag if tag else made_tag.decode("ascii", errors="replace")

    def cancel(self, order_id: Union[str, int]) -> None:
        """Asks to cancel the order with this server id. A refusal arrives as
        CancelRefused naming the order; a cancel shows as the order's
        CANCELLED push."""
        self._usable("cancel")
        text = str(order_id)
        if not text.isdigit() or int(text) > MAX_VOLUME:
            raise ValueError(f"order_id must be a server order id (digits), not {order_id!r}")
        self._require_login("cancel")
        status, rc, _, why = self._host.cancel(text.encode())
        self._sent_or_raise(status, "cancel")
        if status != "sent":
            raise OrderRefused(f"cancel of order {text} not sent: {why or f'the module returned {rc}'}")

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

    # -- the book ------------------------------------------------------------

    def book(self) -> Book:
        """A copy of the logged-in user's book (each user has one): orders by
        id (and by tag), fills by trade id, positions from the fills beside
        the server's last positions answer, and the count of duplicate
        pushes."""
        self._usable("book")
        return Book.from_raw(self._host.book())

    def in_doubt(self) -> Tuple[Doubt, ...]:
        """The orders and cancels in doubt not resolved yet: sent on a
        connection that ended before their answer (see traderhvr.doubts)."""
        self._usable("in_doubt")
        return tuple(Doubt.from_raw(d) for d in self._host.in_doubt())

    def unanswered(self) -> Unanswered:
        """Every request sent and not answered yet, and those in doubt."""
        self._usable("unanswered")
        return Unanswered.from_raw(self._host.unanswered())

    def start_reconcile(self) -> int:
        """Sends the orders and trades queries of a reconciliation and returns
        its id at once; its result arrives as a Reconciled event with that
        ``id`` (for asyncio: ``await_for(Reconciled, where=...)``)."""
        self._usable("start_reconcile")
        self._require_login("reconcile")
        reconciliation = self._host.reconcile()
        if reconciliation is None:
            raise NotLoggedIn(f"reconcile: {self._why_not_logged_in(self._host.login_status)}")
        return reconciliation

    def reconcile(self, timeout: float = 30.0) -> Reconciled:
        """Compares the book with the server's orders and fills, reports each
        difference and makes the book hold the server's view; returns the
        result (also delivered as an event). Raises TimeoutError, TraderError
        when the connection ended before the server answered, and
        RuntimeError inside a callback (the answers arrive on that thread)."""
        reconciliation = self.start_reconcile()
        raw = self._host.wait_reconciled(reconciliation, timeout)
        if raw is None:
            raise self._no_match(timeout)
        result = Reconciled(**reconciled_fields(raw))
        if result.interrupted:
            raise TraderError(result.summary)
        return result

    # -- events --------------------------------------------------------------

    def next_event(self, timeout: Optional[float] = None) -> Optional[Event]:
        """The next event of the stream, or None when none arrives within
        ``timeout`` seconds (None: wait as long as it takes) or the Trader is
        closed and every event was read. Events a waiter returned are not in
        it; those waiters only read past are."""
        self._usable("next_event")
        return self._read(timeout)

    def events(self, timeout: Optional[float] = None) -> Iterator[Event]:
        """Every event in arrival order. The iteration ends when no event
        arrives within ``timeout`` seconds of the previous one (None: never),
        or when the Trader is closed and drained."""
        while True:
            event = self.next_event(timeout)
            if event is None:
                return
            yield event

    @overload
    def wait_for(self, match: Type[E], timeout: float, where: Optional[Callable[[E], bool]] = None) -> E:
        ...

    @overload
    def wait_for(
        self, match: Tuple[Type[Event], ...], timeout: float, where: Optional[Callable[[Event], bool]] = None
    ) -> Event:
        ...

    @overload
    def wait_for(self, match: Callable[[Event], bool], timeout: float) -> Event:
        ...

    def wait_for(self, match: EventMatch, timeout: float, where: Optional[Callable[[Any], bool]] = None) -> Event:
        """The first event that matches: an event class (then the result has
        that type) or a tuple of classes, optionally narrowed by ``where``, or
        a predicate. A waiter sees every event not taken when it starts and
        every later one (see "Reading events" above); any number may wait at
        once. Raises TimeoutError when none matches within ``timeout``
        seconds, or TraderClosed when the Trader closes meanwhile."""
        self._usable("wait_for")
        matches = _matcher(match, where)
        deadline = time.monotonic() + timeout
        waiter = self._host.start_waiter()
        try:
            while True:
                left = deadline - time.monotonic()
                found = self._host.waiter_next(waiter, max(0.0, left))
                if found is None:
                    raise self._no_match(timeout)
                seq, raw = found
                event = event_from_raw(raw)
                if matches(event):
                    self._host.take(seq)
                    return event
        finally:
            self._host.end_waiter(waiter)

    # -- events under asyncio ------------------------------------------------

    async def anext_event(self, timeout: Optional[float] = None) -> Optional[Event]:
        """next_event() for a coroutine: waits in the running event loop,
        never blocking it. None after ``timeout`` seconds (None: no limit) or
        when the Trader is closed and drained."""
        self._usable("anext_event")
        self._require_queue("anext_event")
        return await self._aread(timeout)

    async def aevents(self, timeout: Optional[float] = None) -> AsyncIterator[Event]:
        """``async for event in trader.aevents():`` every event in arrival
        order; ends as events() does."""
        while True:
            event = await self.anext_event(timeout)
            if event is None:
                return
            yield event

    @overload
    async def await_for(self, match: Type[E], timeout: float, where: Optional[Callable[[E], bool]] = None) -> E:
        ...

    @overload
    async def await_for(
        self, match: Tuple[Type[Event], ...], timeout: float, where: Optional[Callable[[Event], bool]] = None
    ) -> Event:
        ...

    @overload
    async def await_for(self, match: Callable[[Event], bool], timeout: float) -> Event:
        ...

    async def await_for(
        self, match: EventMatch, timeout: float, where: Optional[Callable[[Any], bool]] = None
    ) -> Event:
        """wait_for() for a coroutine, with the same matching and the same
        keeping of the events read past."""
        self._usable("await_for")
        self._require_queue("await_for")
        matches = _matcher(match, where)
        loop = asyncio.get_running_loop()
        deadline = loop.time() + timeout
        waiter = self._host.start_waiter()
        try:
            while True:
                found = self._host.waiter_next(waiter, 0)
                if found is not None:
                    seq, raw = found
                    event = event_from_raw(raw)
                    if matches(event):
                        self._host.take(seq)
                        return event
                    continue
                left = deadline - loop.time()
                if self._host.closed or left <= 0:
                    raise self._no_match(timeout)
                await self._wait_readable(loop, left)
        finally:
            self._host.end_waiter(waiter)

    # -- lifetime ------------------------------------------------------------

    def close(self, timeout: Optional[float] = None) -> Unanswered:
        """Waits up to ``timeout`` seconds (None: ``close_timeout``) for the
        answers of requests already sent, then logs out, closes the
        connection and releases the module's trader, waiting for its network
        thread. Returns what was still unanswered (also logged as a warning
        when anything was). Idempotent: a second call returns an empty
        Unanswered. Never call it from a callback (it raises RuntimeError
        there). In a forked child it does nothing: the trader is the parent's.
        A Ctrl-C while it waits: see "Closing" in the module's documentation."""
        if self._in_forked_child():
            return Unanswered()
        bound = self.close_timeout if timeout is None else float(timeout)
        interrupted: Optional[BaseException] = None
        try:
            if not self._host.closed:
                awaited = Unanswered.from_raw(self._host.unanswered())
                logger.info("traderhvr: closing%s", f": waiting up to {bound} s for {awaited.text}" if awaited else "")
        except KeyboardInterrupt as caught:  # a second Ctrl-C on the way into the close
            interrupted = caught
        raw = self._host.close(bound, interrupted is not None)
        _open_traders.discard(self)
        if raw is None:
            if interrupted is not None:
                raise interrupted
            return Unanswered()
        report = Unanswered.from_raw(raw)
        error = interrupted or raw["error"]
        if report:
            logger.warning("traderhvr: closed with %s", report.text)
        if error is not None:
            dropped = raw["dropped_callbacks"]
            running = " and interrupted the callback that was running" if raw["interrupted_callback"] else ""
            logger.warning(
                "traderhvr: interrupted while closing: stopped waiting for answers, ran no callback for %d "
                "event%s the module still delivered%s; events stay readable from events()",
                dropped, "" if dropped == 1 else "s", running,
            )
            raise error
        return report

    @property
    def closed(self) -> bool:
        self._usable("closed")
        return bool(self._host.closed)

    def __enter__(self) -> "Trader":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    async def __aenter__(self) -> "Trader":
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        """Closes on a thread of the loop's default executor, so the loop
        goes on while close() waits for answers."""
        await asyncio.get_running_loop().run_in_executor(None, self.close)

    def __del__(self) -> None:
        host = getattr(self, "_host", None)
        if host is None or host.abandoned or host.closed:
            return
        try:
            host.close(0.0)
        except Exception:
            pass  # from inside a callback: the extension leaves the trader running

    # -- inner workings --------------------------------------------------------

    def _in_forked_child(self) -> bool:
        return self._forked or os.getpid() != self._owner_pid

    def _abandon(self) -> None:
        """In a forked child: never touch the parent's trader again."""
        self._forked = True
        self._host.abandon()

    def _usable(self, what: str) -> None:
        if self._in_forked_child():
            raise TraderForked(
                f"{what}: this Trader was made in process {self._owner_pid} and this process "
                f"({os.getpid()}) is a fork of it; the connection is the parent's. Make a new Trader here."
            )

    def _require_login(self, what: str) -> None:
        if self._host.closed:
            raise TraderClosed(f"{what}: the Trader is closed")
        if not self._host.logged_in:
            raise NotLoggedIn(f"{what}: {self._why_not_logged_in(self._host.login_status)}")

    def _sent_or_raise(self, status: str, what: str) -> None:
        if status == "closed":
            raise TraderClosed(f"{what}: the Trader is closed")
        if status == "not_logged_in":
            raise NotLoggedIn(f"{what}: {self._why_not_logged_in(self._host.login_status)}")

    def _require_queue(self, what: str) -> None:
        if not self.queue_events:
            raise ValueError(f"{what}: this Trader was made with queue_events=False, so no event is queued")

    def _query(self, what: str) -> None:
        self._usable(f"query_{what}")
        self._require_login(f"query_{what}")
        status, _, _, _ = self._host.query(what)
        self._sent_or_raise(status, f"query_{what}")

    def _read(self, timeout: Optional[float]) -> Optional[Event]:
        raw = self._host.next_event(timeout)
        return None if raw is None else event_from_raw(raw)

    async def _aread(self, timeout: Optional[float]) -> Optional[Event]:
        """The stream's next event, waiting in the running loop for at most
        ``timeout`` seconds (None: no limit)."""
        loop = asyncio.get_running_loop()
        deadline = None if timeout is None else loop.time() + timeout
        while True:
            event = self._read(0)
            if event is not None:
                return event
            if self._host.closed:
                return None
            left = None if deadline is None else deadline - loop.time()
            if left is not None and left <= 0:
                return None
            await self._wait_readable(loop, left)

    async def _wait_readable(self, loop: asyncio.AbstractEventLoop, timeout: Optional[float]) -> None:
        """Waits until an event is queued (or the Trader closes), at most
        ``timeout`` seconds."""
        wake = self._loop_wake(loop)
        woken = wake.waiter()
        try:
            await asyncio.wait({woken}, timeout=timeout)
        finally:
            wake.forget(woken)

    def _no_match(self, timeout: float) -> Exception:
        if self._host.closed:
            return TraderClosed("the Trader was closed while waiting")
        return TimeoutError(f"no matching event within {timeout} s")

    def _loop_wake(self, loop: asyncio.AbstractEventLoop) -> _LoopWake:
        wake = self._wake
        if wake is None or wake.loop is not loop:
            if wake is not None and wake.waiters:
                raise RuntimeError("a Trader's events are awaited in one event loop at a time")
            wake = self._wake = _LoopWake(loop, self._host)
        return wake


# Traders still open when the interpreter exits are closed first, while
# callbacks can still take the GIL.
_open_traders: "weakref.WeakSet[Trader]" = weakref.WeakSet()


@atexit.register
def _close_open_traders() -> None:
    _ExitState.interpreter_exiting = True
    for trader in list(_open_traders):
        try:
            trader.close()
        except Exception:
            logger.exception("traderhvr: closing a Trader at exit failed")


def _abandon_in_child() -> None:
    """Runs in the child right after os.fork(): the parent's Traders become
    unusable there (no logout, no wait for the parent's network thread)."""
    for trader in list(_open_traders):
        trader._abandon()


os.register_at_fork(after_in_child=_abandon_in_child)


__all__ = ["PEER_TIMEOUT", "Trader", "PushMode", "find_module"]
