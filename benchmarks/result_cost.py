"""What returning a distance above 256 costs: a new int, where smaller ones are shared.

    python benchmarks/result_cost.py

Two pairs of 1,024-digit strings that differ only in how many digits differ (distance 250,
a shared int, and 262, a new one), built the same way so that they sit alike in memory; the
difference of their best times is the cost of making and freeing the int.
"""
import timeit, random, quorvalent
hd = quorvalent.hamming_distance
rng = random.Random(5)
n = 1024
a = "".join(rng.choice("0123456789abcdef") for _ in range(n))
def with_distance(target):
    chars = list(a); d = 0; i = 0
    while d < target:
        v = int(chars[i], 16); w = v ^ 1   # one bit per changed digit
        chars[i] = "%x" % w; d += 1; i += 1
    return "".join(chars)
b_small, b_big = with_distance(250), with_distance(262)
assert hd(a, b_small) == 250 and hd(a, b_big) == 262
ns = dict(hd=hd, a=a, s=b_small, g=b_big)
best = {"cached (250)": 1e9, "allocated (262)": 1e9}
for r in range(40):
    for k, stmt in (("cached (250)", "hd(a, s)"), ("allocated (262)", "hd(a, g)")):
        best[k] = min(best[k], timeit.timeit(stmt, globals=ns, number=50000) / 50000 * 1e9)
print({k: round(v, 2) for k, v in best.items()}, "cost of the int:", round(best["allocated (262)"] - best["cached (250)"], 2), "ns")
