from quorvalent_index import HashIndex

index = HashIndex(["ff00"])
index.within(b"ff00", 2)
