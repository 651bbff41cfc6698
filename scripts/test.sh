#!/usr/bin/env bash
# Every test, from a fresh Debian machine: installs what the tests need, builds and runs the
# C++ core tests under CTest, installs the package into .venv and runs the Python tests.
set -euo pipefail
cd "$(dirname "$0")/.."

# Java for the Spark tests; qemu-user to load the index on a CPU model without POPCNT.
bash scripts/debian_packages.sh libgtest-dev g++ openjdk-17-jre-headless qemu-user
command -v cmake >/dev/null || bash scripts/debian_packages.sh cmake

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

echo "== C++ core tests"
cmake -S . -B build/tests "${generator[@]}" -DQUORVALENT_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release
cmake --build build/tests
ctest --test-dir build/tests --output-on-failure

echo "== Python tests"
python3 -m venv .venv
.venv/bin/python -m pip install -q --disable-pip-version-check ".[test]"
# From outside the source tree, so that the installed module is the one under test. The test
# extra installs pyarrow, Polars and pandas: their tests must run here, not skip.
(cd tests && QUORVALENT_REQUIRE_OPTIONAL=1 ../.venv/bin/python -m pytest -c ../pyproject.toml --rootdir .. "$@")
