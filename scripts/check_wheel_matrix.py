"""Checks that the wheel workflow builds every wheel our users need, and nothing by accident.

For each runner of .github/workflows/wheels.yml, asks cibuildwheel which wheels it would build
there (--print-build-identifiers, with the runner's CIBW_ARCHS), and compares the union with the
wanted set: CPython 3.11 to 3.14 and the free-threaded 3.13t and 3.14t, on manylinux and
musllinux for x86_64 and aarch64, macOS for arm64 and x86_64, and Windows for AMD64 and ARM64.
Also checks that pyproject.toml alone, without the workflow's CIBW_ARCHS, names the same set.
"""
import os
import subprocess
import sys
from pathlib import Path

import yaml

ROOT = Path(__file__).resolve().parents[1]
PYTHONS = ["cp311", "cp312", "cp313", "cp313t", "cp314", "cp314t"]
PLATFORM_TAGS = {
    "linux": ["manylinux_x86_64", "manylinux_aarch64", "musllinux_x86_64", "musllinux_aarch64"],
    "macos": ["macosx_x86_64", "macosx_arm64"],
    "windows": ["win_amd64", "win_arm64"],
}
WANTED = {f"{py}-{tag}" for tags in PLATFORM_TAGS.values() for tag in tags for py in PYTHONS}


def identifiers(platform, archs=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith("CIBW_")}
    if archs:
        env["CIBW_ARCHS"] = archs
    out = subprocess.run([Path(sys.executable).parent / "cibuildwheel", "--platform", platform,
                          "--print-build-identifiers"], cwd=ROOT, env=env, check=True,
                         capture_output=True, text=True)
    return set(out.stdout.split())


def platform_of(runner):
    for prefix, platform in [("ubuntu", "linux"), ("macos", "macos"), ("windows", "windows")]:
        if runner.startswith(prefix):
            return platform
    raise SystemExit(f"unknown runner kind in the wheel workflow: {runner}")


def main():
    workflow = yaml.safe_load((ROOT / ".github/workflows/wheels.yml").read_text())
    runners = workflow["jobs"]["wheels"]["strategy"]["matrix"]["include"]
    built = set()
    for runner in runners:
        platform = platform_of(runner["os"])
        ids = identifiers(platform, runner["archs"])
        print(f"  {runner['os']:<16} {runner['archs']:<8} {len(ids):>2} wheels: {' '.join(sorted(ids))}")
        overlap = ids & built
        if overlap:
            raise SystemExit(f"two runners build the same wheels: {sorted(overlap)}")
        built |= ids
    from_config = set().union(*(identifiers(platform) for platform in PLATFORM_TAGS))
    problems = []
    if built != WANTED:
        problems.append(f"the workflow's runners miss {sorted(WANTED - built)} and add "
                        f"{sorted(built - WANTED)}")
    if from_config != WANTED:
        problems.append(f"pyproject.toml alone misses {sorted(WANTED - from_config)} and adds "
                        f"{sorted(from_config - WANTED)}")
    if problems:
        raise SystemExit("\n".join(problems))
    print(f"  {len(built)} wheels, every one wanted")


if __name__ == "__main__":
    main()
