# Must fail under mypy --strict: bytes are not accepted.
from quorvalent import hamming_distance

hamming_distance(b"ff", b"0f")
