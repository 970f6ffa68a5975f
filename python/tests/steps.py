"""Trading steps the tests share: log in, fill an order, match events."""

import traderhvr

WAIT = 15.0  # seconds any one expected event may take
DEMO_CATALOG = {
    "IF2412": {"multiplier": 300, "currency": "CNY"},
    "AU2412": {"multiplier": 1000, "currency": "CNY"},
}


def log_in(trader, user="demo", password="demo"):
    """Connects, logs in and returns the LoginResult."""
    trader.connect()
    trader.login(user, password)
    result = trader.wait_for(traderhvr.LoginResult, WAIT)
    assert result.succeeded, result.message
    return result


def order_reaches(order_id, state):
    return lambda e: isinstance(e, traderhvr.OrderPush) and e.order.order_id == order_id and e.order.state is state


def answer_to(tag):
    return lambda e: isinstance(e, traderhvr.OrderAnswer) and e.tag == tag


def fill_one(trader, code="IF2412", price=3500.0, side="buy", offset="open"):
    """Inserts one order that fills at once; returns its order id once the
    ALL_TRADED push arrived."""
    tag = trader.insert(code, 1, price, side=side, offset=offset)
    answer = trader.wait_for(answer_to(tag), WAIT)
    assert answer.accepted, answer.error
    trader.wait_for(order_reaches(answer.order_id, traderhvr.OrderState.ALL_TRADED), WAIT)
    return answer.order_id
