import numpy as np
import numpy.typing as npt

from quorvalent_index import HashError, HashIndex

index = HashIndex(["ff00", "ff01"])
index.add(h for h in ["0000"])
ids, dists = index.within("ff00", 2)
first: npt.NDArray[np.int64] = ids
nearest_ids, _ = index.nearest("ff00", 1)
offsets, many_ids, many_dists = index.within_many(["ff00"], 1, threads=2)
i, j, d = index.pairs(3, other=HashIndex(["ff00"]), threads=None, progress=lambda done, total: None)
texts: list[str] = index.hex(ids.tolist())
for a, b, c in index.iter_pairs(3, batch=100):
    batch_first: npt.NDArray[np.int64] = a
try:
    HashIndex(["zz"])
except HashError as error:
    where: int | None = error.position
named = HashIndex(["ff00", "00ff"], ids=np.array([7, 9]))
removed: int = named.remove([7])
named.compact()
held: bool = 9 in named
group_ids, reps = named.groups(2, "star", priority=np.array([1.0]), threads=2)
table: dict[str, npt.NDArray[np.int64]] = named.sweep([0, 2])
live: npt.NDArray[np.int64] = named.ids()
width: int | None = index.bits
packed = HashIndex.from_codes(np.array([1, 2], dtype=np.uint64), bits=64)
packed.save("/tmp/index.npz")
loaded: HashIndex = HashIndex.load("/tmp/index.npz", mmap=True)
