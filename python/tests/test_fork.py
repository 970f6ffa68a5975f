"""A forked child must leave its parent's Trader alone."""

import subprocess
import sys

FORKING_SCRIPT = r"""
import os, sys, traderhvr
from traderhvr import LoginResult, OrderAnswer
trader = traderhvr.Trader(port=int(sys.argv[1]), folder=sys.argv[2])
trader.connect()
trader.login("demo", "demo")
assert trader.wait_for(LoginResult, 15).succeeded
child = os.fork()
if child == 0:
    try:
        trader.insert("IF2412", 1, 3500.0)
        print("child: insert went through", flush=True)
    except traderhvr.TraderForked as error:
        print("child: refused:", error, flush=True)
    trader.close()  # nothing: the trader is the parent's
    with trader:
        pass        # nor here
    sys.exit(0)     # nor at exit: no logout, no wait
_, status = os.waitpid(child, 0)
print("child exit", os.waitstatus_to_exitcode(status), flush=True)
print("parent logged in:", trader.logged_in, flush=True)
tag = trader.insert("IF2412", 1, 3500.0)
answer = trader.wait_for(OrderAnswer, 15, where=lambda a: a.tag == tag)
print("parent order accepted:", answer.accepted, flush=True)
trader.close()
"""


def test_a_forked_child_neither_logs_the_parent_out_nor_hangs(sim, tmp_path):
    result = subprocess.run(
        [sys.executable, "-c", FORKING_SCRIPT, str(sim.port), str(tmp_path / "flow")],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("child: refused: insert: this Trader was made in process ")
    assert lines[1:] == ["child exit 0", "parent logged in: True", "parent order accepted: True"]
