"""Errors raised by traderhvr.Trader."""


class TraderError(Exception):
    """Base of every error a Trader raises for a trading call."""


class NotLoggedIn(TraderError):
    """An order, cancel or query was asked for while no login holds.

    Requests sent without a login would be refused by the server, and after a
    reconnect they would overtake the new login, so they are refused here.
    """


class OrderRefused(TraderError):
    """The module refused a request locally and sent nothing (for example a
    price that is not a number or too large for the wire)."""


class TraderClosed(TraderError):
    """The Trader was closed; make a new one."""


class TraderForked(TraderError):
    """The Trader was made in another process, of which this one is a fork.

    The connection and the module's network thread belong to the parent: the
    child must not trade, log out or wait on them. Make a new Trader in the
    child instead."""
