"""Exact, fast Hamming distance between hexadecimal strings."""

from typing import SupportsIndex

__version__: str

def hamming_distance(a: str, b: str, /) -> int:
    """Number of bits in which the hex digits of ``a`` and ``b`` differ.

    Both strings must have the same length in UTF-8 bytes and hold only ``0-9``, ``a-f`` and
    ``A-F``. Raises ValueError otherwise, and for anything but two ``str`` arguments.
    """

def check_hexstrings_within_dist(a: str, b: str, max_dist: SupportsIndex, /) -> bool:
    """Whether ``a`` and ``b`` differ in at most ``max_dist`` bits.

    A distance equal to ``max_dist`` answers True. The count stops as soon as the answer is
    known, so characters it never reads are not validated; ``max_dist`` must not be negative.
    Raises ValueError on bad arguments, different lengths or an invalid character it reads.
    """
