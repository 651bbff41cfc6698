# Type-checks under mypy --strict: the API used as documented.
from quorvalent import __version__, check_hexstrings_within_dist, hamming_distance

distance: int = hamming_distance("ff", "0f")
close: bool = check_hexstrings_within_dist("ff", "0f", 4)
also_close: bool = check_hexstrings_within_dist("ff", "0f", True)
version: str = __version__
