import sys
from pathlib import Path

import pytest

# The oracle lives beside the tests; the module under test is the installed one.
sys.path.insert(0, str(Path(__file__).parent))


def _raises_exactly(message, function, *args):
    """Calls function(*args) and requires a plain ValueError (no subclass) with this message."""
    with pytest.raises(ValueError) as info:
        function(*args)
    assert type(info.value) is ValueError, f"{type(info.value).__name__} escaped"
    assert str(info.value) == message


@pytest.fixture
def raises_exactly():
    return _raises_exactly
