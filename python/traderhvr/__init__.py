"""traderhvr: drive the TraderHVR trader module from Python.

    from traderhvr import Trader, LoginResult, OrderPush

    with Trader(port=4400, catalog={"IF2412": {"multiplier": 300}}) as trader:
        trader.connect()
        trader.login("demo", "demo")
        trader.wait_for(LoginResult, timeout=10)
        tag = trader.insert("IF2412", 1, 3500.0)
        for event in trader.events(timeout=5):
            print(event)

See traderhvr.trader for threads, callbacks, asyncio, replayed pushes,
logging and forks.
"""

from ._version import __version__

from .book import Book, BookFill, BookOrder, BookPosition, Difference, DifferenceKind
from .doubts import Doubt, DoubtOutcome, Unanswered
from .errors import NotLoggedIn, OrderRefused, TraderClosed, TraderError, TraderForked
from .events import (
    LOG_ERROR,
    LOG_INFO,
    LOG_WARNING,
    AccountAnswer,
    CancelRefused,
    ConnectFailed,
    Connected,
    Disconnected,
    DoubtResolved,
    Event,
    InDoubt,
    Log,
    LoginRefused,
    LoginResult,
    NewDayChecked,
    OrderAnswer,
    OrderPush,
    OrdersAnswer,
    PositionsAnswer,
    Reconciled,
    TradePush,
    TradesAnswer,
)
from .frames import orders_frame, positions_frame, trades_frame
from .records import Account, Entrust, Offset, Order, OrderState, Position, PositionSide, Side, TimeCondition, Trade
from .trader import PEER_TIMEOUT, PushMode, Trader, find_module

__all__ = [
    "Account", "AccountAnswer", "Book", "BookFill", "BookOrder", "BookPosition", "CancelRefused",
    "ConnectFailed", "Connected", "Difference", "DifferenceKind", "Disconnected", "Doubt", "DoubtOutcome",
    "DoubtResolved", "Entrust", "Event", "InDoubt", "LOG_ERROR", "LOG_INFO", "LOG_WARNING", "Log", "LoginRefused",
    "LoginResult", "NewDayChecked", "NotLoggedIn", "Offset", "Order",
    "OrderAnswer", "OrderPush", "OrderRefused", "OrderState", "OrdersAnswer", "Position", "PositionsAnswer",
    "PEER_TIMEOUT", "PositionSide", "PushMode", "Reconciled", "Side", "TimeCondition", "Trade", "TradePush", "Trader", "TraderClosed", "TraderError", "TraderForked",
    "TradesAnswer", "Unanswered",
    "__version__", "find_module", "orders_frame", "positions_frame", "trades_frame",
]
