"""Instructions per call of each kernel against memcpy of the same length, counted under qemu.

    python benchmarks/count_instructions.py [--build build/aarch64] [--lengths 16,1024,65536]

Timing under an emulator means nothing; the instructions a guest executes do not change from
run to run. qemu logs every translated block (in_asm) and every block it executes (exec, with
chaining off so that none is skipped); the sum over executions of each block's length is the
count. The program runs each workload twice (REPEATS 1 and 11), so the difference over 10 is
one call without the start-up. Needs the cross build of the core tests (it holds
instruction_loop) and qemu-user for that architecture.
"""
import argparse
import os
import re
import subprocess
import tempfile
from pathlib import Path

QEMU = {"aarch64": ["qemu-aarch64", "-L", "/usr/aarch64-linux-gnu"]}
INSTRUCTION = re.compile(r"0x([0-9a-f]+):\s+[0-9a-f]{8}\s")


def executed_instructions(command):
    with tempfile.TemporaryDirectory() as tmp:
        log = Path(tmp) / "qemu.log"
        subprocess.run(command[:1] + ["-d", "in_asm,exec,nochain", "-D", str(log)] + command[1:],
                       check=True)
        block_sizes, total, start, size = {}, 0, None, 0
        with open(log, errors="replace") as f:
            for line in f:
                if line.startswith("IN:"):
                    start, size = None, 0
                elif (m := INSTRUCTION.match(line)):
                    if start is None:
                        start = int(m.group(1), 16)
                    size += 1
                    block_sizes[start] = size
                elif line.startswith("Trace"):
                    start = None
                    total += block_sizes[int(line.split("[")[1].split("/")[1], 16)]
        return total


def per_call(qemu, program, kernel, n):
    counts = [executed_instructions(qemu + [program, kernel, str(n), str(r)]) for r in (1, 11)]
    return (counts[1] - counts[0]) / 10


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build/aarch64")
    parser.add_argument("--arch", default="aarch64", choices=sorted(QEMU))
    parser.add_argument("--lengths", default="16,64,1024,65536")
    parser.add_argument("--kernels", default="swar,neon")
    args = parser.parse_args()
    program = os.path.join(args.build, "instruction_loop")
    lengths = [int(x) for x in args.lengths.split(",")]
    kernels = args.kernels.split(",")
    print(f"instructions per call under qemu ({args.arch}); in brackets, per memcpy of the same length")
    print("| kernel | " + " | ".join(f"{n:,}" for n in lengths) + " |")
    print("|---" * (len(lengths) + 1) + "|")
    copies = {n: per_call(QEMU[args.arch], program, "memcpy", n) for n in lengths}
    print("| memcpy | " + " | ".join(f"{copies[n]:,.0f}" for n in lengths) + " |")
    for kernel in kernels:
        cells = []
        for n in lengths:
            count = per_call(QEMU[args.arch], program, kernel, n)
            cells.append(f"{count:,.0f} ({count / copies[n]:.2f}×)")
        print(f"| {kernel} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
