import os
import sys
from pathlib import Path

import pytest

from quorvalent_index import HashError

# The oracle lives beside the tests; the module under test is the installed one.
sys.path.insert(0, str(Path(__file__).parent))


@pytest.fixture
def refuses():
    """refuses(fragment, function, *args, **kwargs): a plain ValueError whose message holds
    every fragment."""
    def check(fragments, function, *args, **kwargs):
        with pytest.raises(ValueError) as info:
            function(*args, **kwargs)
        assert type(info.value) in (ValueError, HashError), f"{type(info.value).__name__} escaped"
        for fragment in [fragments] if isinstance(fragments, str) else fragments:
            assert fragment in str(info.value), (fragment, str(info.value))
        return str(info.value)
    return check


def pytest_collectreport(report):
    """Where the optional packages are meant to be installed (QUORVALENT_REQUIRE_OPTIONAL, set by
    the test command), a test module skipped for a missing one fails instead."""
    if os.environ.get("QUORVALENT_REQUIRE_OPTIONAL") and report.skipped and "could not import" in str(report.longrepr):
        report.outcome = "failed"


def stops_on_ctrl_c(call, after=0.5, within=1.5):
    """Runs call(), sends Ctrl-C to the main thread `after` seconds in, and checks that it raised
    KeyboardInterrupt no later than `within` seconds after that."""
    import _thread
    import signal
    import threading
    import time
    # Python's own Ctrl-C handler, whatever this process inherited: a process started in the
    # background by a shell without job control ignores SIGINT (and interrupt_main() then does
    # nothing), and a SparkContext leaves its own handler behind.
    inherited = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        timer = threading.Timer(after, _thread.interrupt_main)
        started = time.monotonic()
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            call()
        elapsed = time.monotonic() - started
        timer.join()
    finally:
        signal.signal(signal.SIGINT, inherited)
    assert elapsed < after + within, f"took {elapsed:.2f} s to stop"
