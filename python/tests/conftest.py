"""Fixtures: hvr-sim on a free loopback port, and Traders closed after each test.

HVR_SIM names the simulator (CTest sets it). traderhvr is the built package
(CTest: PYTHONPATH=BUILD/python) or an installed one; with
HVR_EXPECT_INSTALLED=PREFIX the suite refuses to run on any package not
installed under PREFIX (the wheel check uses it).
"""

import os
import pathlib
import subprocess

import pytest

import traderhvr
from steps import DEMO_CATALOG

REPO = pathlib.Path(__file__).resolve().parents[2]
_EXPECTED_PREFIX = os.environ.get("HVR_EXPECT_INSTALLED")
if _EXPECTED_PREFIX and not os.path.realpath(traderhvr.__file__).startswith(os.path.realpath(_EXPECTED_PREFIX)):
    raise RuntimeError(f"testing {traderhvr.__file__}, not the package installed under {_EXPECTED_PREFIX}")
SIM_BINARY = os.environ.get("HVR_SIM", str(REPO / "build" / "sim" / "hvr-sim"))
LISTENING = "hvr-sim listening on "


class Sim:
    """One hvr-sim process. start() returns once it listens: it reads the one
    line the simulator prints after binding."""

    def __init__(self, workdir: pathlib.Path):
        self.workdir = workdir
        self.db = workdir / "sim.db"
        self.port = 0
        self.process = None

    def start(self, fresh_day: bool = True, port: int = 0, extra=()) -> None:
        args = [SIM_BINARY, "--listen", "127.0.0.1", "--port", str(port), "--db", str(self.db)]
        if fresh_day:
            args.append("--fresh-day")
        args.extend(extra)
        log = open(self.workdir / "sim.log", "ab")
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=log, text=True)
        log.close()
        line = self.process.stdout.readline()
        if not line.startswith(LISTENING):
            self.process.kill()
            raise RuntimeError(f"hvr-sim did not start: {line!r} (log in {self.workdir / 'sim.log'})")
        self.port = int(line.rsplit(":", 1)[1])

    def stop(self, crash: bool = False) -> None:
        """SIGTERM, or SIGKILL with crash=True."""
        if self.process is not None and self.process.poll() is None:
            if crash:
                self.process.kill()
            else:
                self.process.terminate()
            self.process.wait(timeout=30)
        self.process = None

    def restart(self, extra=()) -> None:
        """The same day on the same port, after stop()."""
        self.start(fresh_day=False, port=self.port, extra=extra)


@pytest.fixture
def sim(tmp_path):
    server = Sim(tmp_path)
    server.start()
    yield server
    server.stop()


@pytest.fixture
def make_trader(sim, tmp_path):
    """make_trader(folder="a", **kwargs): a Trader on the test's simulator,
    closed when the test ends."""
    made = []

    def make(folder="flow", **kwargs):
        kwargs.setdefault("catalog", DEMO_CATALOG)
        kwargs.setdefault("port", sim.port)
        trader = traderhvr.Trader(folder=str(tmp_path / folder), **kwargs)
        made.append(trader)
        return trader

    yield make
    for trader in made:
        trader.close()
