"""Orders in doubt: the server is killed with orders in flight, some read by
it and some not; after the reconnect each is resolved once, as the server's
request journal says, and nothing is sent again."""

import time

from traderhvr import DoubtOutcome, DoubtResolved, InDoubt, Reconciled
from steps import WAIT, log_in


def wait_for_line(path, text, timeout=WAIT):
    """Returns once the file holds text (the simulator logs it)."""
    deadline = time.monotonic() + timeout
    while text not in path.read_text():
        assert time.monotonic() < deadline, f"{text!r} never came in {path}"
        time.sleep(0.02)


def journaled_inserts(journal):
    """(tag, fate) of every order insert (function code 2) in the journal."""
    inserts = []
    for line in journal.read_text().splitlines():
        fields = line.split()
        if len(fields) >= 7 and fields[1] == "in" and fields[3] == "2":
            inserts.append((fields[6], fields[5]))
    return inserts


def test_orders_in_flight_when_the_server_is_killed_are_resolved_once_as_its_journal_says(sim, make_trader, tmp_path):
    journal = tmp_path / "requests.journal"
    sim.stop()
    # The login and its reconciliation's two queries are answered; the next
    # three requests are handled and stored but never answered; the server
    # reads nothing after the sixth.
    sim.start(extra=["--request-journal", str(journal), "--mute-after", "3", "--freeze-after", "6"])
    trader = make_trader()
    log_in(trader)
    trader.wait_for(Reconciled, WAIT)
    tags = [trader.insert("IF2412", 1, 3300.0) for _ in range(6)]
    wait_for_line(sim.workdir / "sim.log", "frozen after 6 packets")
    sim.stop(crash=True)

    cut_off = trader.wait_for(InDoubt, WAIT)
    assert sorted(d.tag for d in cut_off.doubts) == sorted(tags)
    assert sorted(d.tag for d in trader.in_doubt()) == sorted(tags)

    sim.restart(extra=["--request-journal", str(journal)])
    trader.wait_logged_in(WAIT)  # the login the Trader sends by itself
    resolved = {}
    for _ in tags:
        event = trader.wait_for(DoubtResolved, WAIT)
        assert event.doubt.tag not in resolved
        resolved[event.doubt.tag] = event
    assert trader.in_doubt() == ()

    inserts = journaled_inserts(journal)
    handled = {tag for tag, fate in inserts if fate == "handled"}
    assert len(handled) == 3 and handled < set(tags)
    for tag, event in resolved.items():
        if tag in handled:
            assert event.outcome is DoubtOutcome.RECEIVED, event.text
            assert event.order is not None and event.order.tag == tag
        else:
            assert event.outcome is DoubtOutcome.NEVER_RECEIVED, event.text
            assert event.order is None
    # Nothing was sent again: each tag reached the server once at most.
    assert len(inserts) == len({tag for tag, _ in inserts})
    # Resolved once: a later reconciliation resolves nothing more.
    trader.reconcile()
    leftover = []
    while (event := trader.next_event(timeout=0)) is not None:
        leftover.append(event)
    assert not any(isinstance(e, DoubtResolved) for e in leftover)
