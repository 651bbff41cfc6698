#!/usr/bin/env bash
# The full check, from a fresh Debian machine: every test (scripts/test.sh), then the checks
# that prove the module holds under bad input and faults:
#   - differential fuzzing of every kernel against the reference (libFuzzer, ASan + UBSan),
#     and of the index's searches against brute force on every scan kernel
#   - the Python tests against an AddressSanitizer + UndefinedBehaviorSanitizer build
#   - reference counts of every path under Debian's debug interpreter
#   - a valgrind memcheck run of the main Python tests under Debian's interpreter
#   - the distributions: sdist and wheel contents, metadata, and the type stubs
#   - the documentation site: a strict build, and the workflow that publishes it
#   - the Python tests under a free-threaded CPython 3.13 built from Debian's trixie sources
#   - the C++ core tests built for 64-bit ARM and run under qemu-user (NEON and the portable
#     kernels), with the kernels' instruction counts,
#     and for 64-bit Windows with MinGW-w64 and run under wine
#   - both Python modules built for 64-bit ARM against Debian's arm64 CPython 3.11, and the
#     pytest suite run on them under qemu-user
# Any report fails the run. FUZZ_SECONDS sets the fuzzing time (default 60).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/test.sh

bash scripts/debian_packages.sh clang libclang-rt-14-dev python3.11-dbg python3.11-dev \
  python3.11-venv valgrind g++-aarch64-linux-gnu qemu-user g++-mingw-w64-x86-64-posix wine64
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
pip_quiet=(-q --disable-pip-version-check)

echo "== Differential fuzzing, ${FUZZ_SECONDS:-60} s"
CC=clang CXX=clang++ cmake -S . -B build/fuzz "${generator[@]}" -DQUORVALENT_BUILD_FUZZER=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/fuzz
mkdir -p build/fuzz/corpus
# The log is kept whole: on a crash the fuzzer's report (input, stack, sanitizer text) is shown
# in full; on success only its closing statistics.
if ! build/fuzz/fuzz_kernels -max_total_time="${FUZZ_SECONDS:-60}" -print_final_stats=1 \
    -artifact_prefix=build/fuzz/ build/fuzz/corpus fuzz/corpus >build/fuzz/log.txt 2>&1; then
  cat build/fuzz/log.txt
  echo "fuzzer found a disagreement or a crash; the reproducer is in build/fuzz/" >&2
  exit 1
fi
grep -v '^#' build/fuzz/log.txt | tail -n 12

# fuzz NAME SECONDS: runs build/fuzz/fuzz_NAME on fuzz/corpus_NAME, and fails the check with
# the fuzzer's whole report on a disagreement or a crash.
fuzz() {
  local name=$1 seconds=$2
  echo "== Differential fuzzing: $name, $seconds s"
  mkdir -p "build/fuzz/corpus_$name"
  if ! "build/fuzz/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="build/fuzz/$name-" \
      "build/fuzz/corpus_$name" "fuzz/corpus_$name" >"build/fuzz/${name}_log.txt" 2>&1; then
    cat "build/fuzz/${name}_log.txt"
    echo "the $name fuzzer found a disagreement or a crash; the reproducer is in build/fuzz/" >&2
    exit 1
  fi
  grep -v '^#' "build/fuzz/${name}_log.txt" | tail -n 8
}
fuzz index "${FUZZ_INDEX_SECONDS:-45}"
fuzz arrow "${FUZZ_ARROW_SECONDS:-30}"

echo "== Python tests, AddressSanitizer + UndefinedBehaviorSanitizer build"
python3 -m venv .venv-asan
.venv-asan/bin/python -m pip install "${pip_quiet[@]}" pytest hypothesis numpy
.venv-asan/bin/python -m pip install "${pip_quiet[@]}" . \
  --config-settings=cmake.define.QUORVALENT_SANITIZE=ON --config-settings=build-dir=build/asan
# -s keeps a sanitizer's report on the screen: it aborts the process before pytest could show it.
(cd tests && LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
  PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 \
  ../.venv-asan/bin/python -m pytest -c ../pyproject.toml --rootdir .. -q -s -p no:cacheprovider)

echo "== Reference counts, debug interpreter"
python3.11-dbg -m venv .venv-dbg
.venv-dbg/bin/python -c 'import sys; assert hasattr(sys, "gettotalrefcount"), "not a debug build"'
.venv-dbg/bin/python -m pip install "${pip_quiet[@]}" pytest
.venv-dbg/bin/python -m pip install "${pip_quiet[@]}" . --config-settings=build-dir=build/dbg
(cd tests && ../.venv-dbg/bin/python -W ignore -m pytest -c ../pyproject.toml --rootdir .. -q \
  -p no:cacheprovider quorvalent/test_refcounts.py)

echo "== valgrind memcheck, Debian's interpreter"
/usr/bin/python3.11 -m venv .venv-valgrind
.venv-valgrind/bin/python -m pip install "${pip_quiet[@]}" pytest numpy
.venv-valgrind/bin/python -m pip install "${pip_quiet[@]}" . --config-settings=build-dir=build/valgrind
(cd tests && PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
  --errors-for-leak-kinds=definite --show-leak-kinds=definite --num-callers=30 \
  --suppressions=valgrind/python.supp \
  ../.venv-valgrind/bin/python -m pytest -c ../pyproject.toml --rootdir .. -q -p no:cacheprovider \
  quorvalent/test_hamming_distance.py quorvalent/test_check_within.py \
  quorvalent/test_invalid_inputs.py quorvalent_index/test_bad_input.py)

echo "== Other CPython versions found on this machine"
# A check that finds nothing to test must not pass as if it had tested something: without
# another CPython this stage fails, unless QUORVALENT_OTHER_PYTHONS=none says to skip it.
others=()
if [ "${QUORVALENT_OTHER_PYTHONS:-}" != "none" ]; then
  candidates=()
  pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
  command -v pyenv >/dev/null && pyenv_root="$(pyenv root)"
  candidates+=("$pyenv_root"/versions/3.1[2-9]*/bin/python)
  for minor in 12 13 14; do
    command -v "python3.$minor" >/dev/null && candidates+=("$(command -v "python3.$minor")")
  done
  declare -A seen=()
  for python in "${candidates[@]}"; do
    [ -x "$python" ] || continue
    # A pyenv shim exists for versions that are not selected; it fails when run.
    version=$("$python" -c 'import platform; print(platform.python_version())' 2>/dev/null) || continue
    [ -z "${seen[$version]:-}" ] || continue
    seen[$version]=1
    others+=("$python")
  done
  if [ ${#others[@]} -eq 0 ]; then
    echo "no CPython 3.12 or newer found; install one, or set QUORVALENT_OTHER_PYTHONS=none" >&2
    exit 1
  fi
else
  echo "skipped: QUORVALENT_OTHER_PYTHONS=none"
fi
for python in "${others[@]}"; do
  version=$("$python" -c 'import platform; print(platform.python_version())')
  echo "-- CPython $version"
  "$python" -m venv ".venv-$version"
  ".venv-$version/bin/python" -m pip install "${pip_quiet[@]}" pytest hypothesis numpy
  ".venv-$version/bin/python" -m pip install "${pip_quiet[@]}" . --config-settings=build-dir="build/py$version"
  (cd tests && "../.venv-$version/bin/python" -m pytest -c ../pyproject.toml --rootdir .. -q \
    -p no:cacheprovider)
done

echo "== Free-threaded CPython 3.13"
# Built once per machine from Debian's trixie source package and cached outside the clone.
# Without it this stage fails, unless QUORVALENT_FREE_THREADED=skip says to skip it.
if [ "${QUORVALENT_FREE_THREADED:-}" = "skip" ]; then
  echo "skipped: QUORVALENT_FREE_THREADED=skip"
else
  if ! ft_python=$(bash scripts/free_threaded_python.sh); then
    echo "no free-threaded CPython 3.13 could be built from trixie's sources (see above);" \
      "set QUORVALENT_FREE_THREADED=skip to run the check without it" >&2
    exit 1
  fi
  unset PYTHON_GIL
  "$ft_python" -m venv .venv-ft
  # Wheels only: the newest releases of some test tools have none for 3.13t yet, and their
  # sources need what this machine lacks (a Rust toolchain with network access).
  .venv-ft/bin/python -m pip install "${pip_quiet[@]}" --only-binary=:all: pytest hypothesis numpy
  .venv-ft/bin/python -m pip install "${pip_quiet[@]}" . --config-settings=build-dir=build/ft
  .venv-ft/bin/python -c '
import sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED"), "not a free-threaded interpreter"
import quorvalent, quorvalent_index
assert not sys._is_gil_enabled(), "importing the modules turned the GIL back on"
print("GIL stays disabled after import on", sys.version.split()[0])'
  (cd tests && ../.venv-ft/bin/python -m pytest -c ../pyproject.toml --rootdir .. -q \
    -p no:cacheprovider)
  .venv-ft/bin/python benchmarks/bench.py --threads-only
fi

echo "== C++ core tests on 64-bit ARM, under qemu-user"
cmake -S . -B build/aarch64 "${generator[@]}" -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release \
  -DQUORVALENT_BUILD_TESTS=ON -DQUORVALENT_GTEST_SOURCE=/usr/src/googletest
cmake --build build/aarch64
ctest --test-dir build/aarch64 --output-on-failure
# Instructions per call of the NEON and portable kernels against memcpy, counted by qemu.
python3 benchmarks/count_instructions.py --build build/aarch64

echo "== Both Python modules for 64-bit ARM, against Debian's arm64 CPython 3.11, the pytest suite under qemu-user"
bash scripts/aarch64_module.sh

echo "== C++ core tests on 64-bit Windows (MinGW-w64), under wine"
cmake -S . -B build/mingw "${generator[@]}" -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake -DCMAKE_BUILD_TYPE=Release \
  -DQUORVALENT_BUILD_TESTS=ON -DQUORVALENT_GTEST_SOURCE=/usr/src/googletest
cmake --build build/mingw
# One wine process for the whole program: started per test, as CTest would, wine costs
# seconds each. The Windows build must run the very tests the native one does, so every kernel
# this CPU runs natively is run under the Windows ABI too.
export WINEDEBUG=-all
wine build/mingw/core_tests.exe --gtest_brief=1
wine build/mingw/replay_kernels.exe fuzz/corpus
wine build/mingw/replay_index.exe fuzz/corpus_index
wine build/mingw/replay_arrow.exe fuzz/corpus_arrow
# Suite.test per line, sorted: the two linkers order the suites differently.
list_tests() {
  "$@" --gtest_list_tests | tr -d '\r' |
    awk '/^Running/ {next} /^[^ ]/ {suite = $1; next} {print suite $1}' | sort
}
diff <(list_tests build/tests/core_tests) <(list_tests wine build/mingw/core_tests.exe) ||
  { echo "the Windows build lists other tests (other kernels) than the native one" >&2; exit 1; }
echo "the Windows build ran the same $(list_tests build/tests/core_tests | wc -l) tests as the native one"

echo "== Both Python modules cross-built for 64-bit Windows (compiled and linked, not run)"
bash scripts/windows_module.sh

echo "== Documentation site, strict build, and the workflow that publishes it"
# The tests above built it in a temporary folder and checked the command-line page; this is
# the build the publishing workflow runs, kept in build/site.
NO_MKDOCS_2_WARNING=1 .venv/bin/python -m mkdocs build --strict --site-dir build/site
.venv/bin/python scripts/check_docs_workflow.py

echo "== Distributions and type stubs"
bash scripts/package_check.sh

echo "== Full check passed"
