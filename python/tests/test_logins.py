"""Logins over reconnects: refused credentials are never sent again by the
Trader, a refused switch of user leaves the previous user logged in, and a
switch that works starts the new user's book."""

import traderhvr
from traderhvr import Connected, Disconnected, LoginResult, Reconciled
from steps import WAIT, fill_one, log_in

TWO_ACCOUNTS = (
    "[account.demo]\npassword = demo\nbalance = 1000000\n\n"
    "[account.bob]\npassword = bob\nbalance = 500000\n\n"
    "[instrument.IF2412]\nexchange = CFFEX\nmultiplier = 300\ntick = 0.2\nlast = 3500\n"
    "band = 0.1\nmargin_ratio = 0.12\ncommission_ratio = 0.000023\n"
)


def refusals(sim, user):
    return (sim.workdir / "sim.log").read_text().count(f'login refused for "{user}"')


def test_a_refused_switch_keeps_demo_logged_in_and_bob_is_never_sent_again(sim, make_trader):
    trader = make_trader()
    log_in(trader)
    trader.login("bob", "bob")  # this server has no bob
    refused = trader.wait_for(LoginResult, WAIT)
    assert not refused.succeeded
    back = trader.wait_for(LoginResult, WAIT)
    assert back.succeeded and trader.logged_in

    sim.stop()
    sim.restart()
    trader.wait_for(Disconnected, WAIT)
    again = trader.wait_for(LoginResult, WAIT, where=lambda e: e.received > back.received)
    assert again.succeeded
    assert refusals(sim, "bob") == 1
    assert trader.wait_for(traderhvr.LoginRefused, WAIT).restoring == "demo"


def test_a_refused_login_after_a_reconnect_is_not_tried_again(sim, make_trader):
    trader = make_trader()
    log_in(trader)
    sim.stop()
    # The account is refused now; the server drops a connection that did not
    # log in after 0.3 s, and the Trader connects again two seconds later.
    sim.restart(extra=["--refuse-logins", "--login-timeout", "0.3"])
    refused = trader.wait_for(LoginResult, WAIT, where=lambda e: not e.succeeded)
    for _ in range(2):  # two more connections: a login sent on either would be answered before it ended
        trader.wait_for(Connected, WAIT, where=lambda e: e.received > refused.received)
    assert refusals(sim, "demo") == 1
    stopped = trader.wait_for(traderhvr.LoginRefused, WAIT)
    assert stopped.automatic and stopped.restoring == ""
    try:
        trader.wait_logged_in(WAIT)
        raise AssertionError("logged in with refused credentials")
    except traderhvr.NotLoggedIn as error:
        assert "refused" in str(error)


def test_a_switch_of_user_reconciles_the_new_users_book_with_its_own_orders(sim, make_trader, tmp_path):
    accounts = tmp_path / "accounts.ini"
    accounts.write_text(TWO_ACCOUNTS)
    sim.stop()
    sim.start(extra=["--config", str(accounts)])
    trader = make_trader()
    log_in(trader)
    fill_one(trader)
    trader.login("bob", "bob")
    switched = trader.wait_for(LoginResult, WAIT, where=lambda e: e.succeeded)
    bobs = trader.wait_for(Reconciled, WAIT, where=lambda e: e.received > switched.received)
    assert bobs.differences == ()
    assert trader.book().orders == {}
    trader.login("demo", "demo")
    back = trader.wait_for(LoginResult, WAIT, where=lambda e: e.received > bobs.received)
    assert back.succeeded
    demos = trader.wait_for(Reconciled, WAIT, where=lambda e: e.received > back.received)
    assert demos.differences == ()
    assert len(trader.book().orders) == 1
