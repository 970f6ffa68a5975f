"""The examples, run as a user would, against the test's hvr-sim."""

import os
import pathlib
import subprocess
import sys

EXAMPLES = pathlib.Path(os.environ.get("HVR_EXAMPLES", pathlib.Path(__file__).resolve().parents[2] / "examples" / "python"))


def run_example(name, sim, tmp_path, *extra):
    return subprocess.run(
        [sys.executable, str(EXAMPLES / name), "--port", str(sim.port), "--folder", str(tmp_path / name), *extra],
        capture_output=True,
        text=True,
        timeout=60,
    )


def test_minimal_example_fills_and_prints_the_position(sim, tmp_path):
    result = run_example("minimal.py", sim, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("logged in as demo, trading date ")
    assert lines[1] == "order 1 accepted: buy 1 IF2412 @ 3500.0"
    assert lines[2] == "order 1 filled: 1 lot(s)"
    assert lines[3] == "position IF2412 long 1 @ 3500, margin 126,000.00 CNY"


def test_strategy_example_completes_its_round_trips(sim, tmp_path):
    # A fill of another session first: the strategy's login replays it, and
    # the strategy must leave it alone.
    assert run_example("minimal.py", sim, tmp_path).returncode == 0
    result = run_example("strategy.py", sim, tmp_path, "--rounds", "2")
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    assert lines[:4] == [
        "buy 1 IF2412 @ 3500 (open)",
        "sell 1 IF2412 @ 3500 (close)",
        "buy 1 IF2412 @ 3500 (open)",
        "sell 1 IF2412 @ 3500 (close)",
    ]
    assert lines[4].startswith("funds: balance ") and "close profit 0.00 CNY" in lines[4]
    assert lines[5] == "2 round trip(s) done"


def test_asyncio_example_follows_both_orders_to_their_fills(sim, tmp_path):
    result = run_example("asyncio_orders.py", sim, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    assert lines[:2] == ["logged in as demo", "2 orders accepted"]
    assert sorted(lines[2:4]) == ["order 1 all_traded", "order 2 all_traded"]
    assert lines[4:] == ["position IF2412 long 2"]
