"""Writes hashes_100k.txt.gz: 100,000 random 64-bit hashes, 1,000 of them near-duplicates
planted 1 to 8 bits away from an earlier hash, with a comment header and a few blank lines
(line numbers in reports count them).

Run once; the output is shipped so that the README's first command is the same everywhere.

    python examples/make_hashes.py examples/hashes_100k.txt.gz
"""
import gzip
import random
import sys

COUNT, PLANTED = 100_000, 1_000

rng = random.Random(20261208)
hashes = [rng.getrandbits(64) for _ in range(COUNT - PLANTED)]
for _ in range(PLANTED):
    flipped = rng.choice(hashes)
    for bit in rng.sample(range(64), rng.randint(1, 8)):
        flipped ^= 1 << bit
    hashes.append(flipped)
rng.shuffle(hashes)

lines = ["# 64-bit hashes for quorvalent_index: 1,000 near-duplicates planted 1 to 8 bits away", ""]
for k, h in enumerate(hashes):
    # Mixed case on purpose: digits are compared by value, not by spelling.
    text = f"{h:016x}"
    lines.append(text.upper() if rng.random() < 0.2 else text)
    if k % 25_000 == 24_999:
        lines.append("")
path = sys.argv[1] if len(sys.argv) > 1 else "hashes_100k.txt.gz"
# mtime=0 keeps the file byte-identical from one run to the next.
with gzip.GzipFile(path, "wb", mtime=0) as out:
    out.write(("\n".join(lines) + "\n").encode())
