"""Writes hashes.txt: random 64-bit hashes with near-duplicates planted among them.

Run once; the output is shipped so that the example is the same everywhere.
"""
import random
import sys

rng = random.Random(20261208)
hashes = [rng.getrandbits(64) for _ in range(2900)]
# 100 near-duplicates of earlier hashes, each 1 to 6 bits away from its original.
for _ in range(100):
    original = rng.choice(hashes[:2900])
    flipped = original
    for bit in rng.sample(range(64), rng.randint(1, 6)):
        flipped ^= 1 << bit
    hashes.append(flipped)
rng.shuffle(hashes)
out = open(sys.argv[1] if len(sys.argv) > 1 else "hashes.txt", "w")
for h in hashes:
    # Mixed case on purpose: digits are compared by value, not by spelling.
    text = f"{h:016x}"
    out.write((text.upper() if rng.random() < 0.2 else text) + "\n")
