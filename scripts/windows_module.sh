#!/usr/bin/env bash
# Cross-builds both extension modules for 64-bit Windows (CPython 3.13) with MinGW-w64, and
# checks what each DLL exports and imports. Neither PyPI nor Debian has a Windows CPython, so:
#   - the headers are CPython's own Include/ and PC/pyconfig.h, from the upstream tarball in
#     Debian's trixie source package;
#   - the import library is made with dlltool from the interpreter symbols the objects use,
#     naming python313.dll, which is how a linker sees the real one.
# The modules are linked, not run: no Windows interpreter can be had here. The release wheels
# for Windows are built with MSVC by cibuildwheel; this proves the bindings compile and link
# against the Windows ABI of the interpreter. Needs build/mingw from the full check.
set -euo pipefail
cd "$(dirname "$0")/.."
cache="${QUORVALENT_CACHE:-$HOME/.cache/quorvalent}"
out=build/windows-module
headers="$cache/cpython3.13-windows-headers"

if [ ! -e "$headers/.complete" ]; then
  work="$cache/src-headers"
  version=$(bash scripts/trixie_source.sh python3.13 "$work")
  upstream="${version%%-*}"
  rm -rf "$headers" && mkdir -p "$headers"
  tar -xf "$work/python3.13_${upstream}.orig.tar.xz" -C "$headers" --strip-components=1 \
    "Python-$upstream/Include" "Python-$upstream/PC/pyconfig.h.in"
  # The interpreter's own Windows build copies this template as it stands for a GIL build.
  cp "$headers/PC/pyconfig.h.in" "$headers/PC/pyconfig.h"
  rm -rf "$work"
  touch "$headers/.complete"
fi

python3 -m venv .venv-win
.venv-win/bin/python -m pip install -q --disable-pip-version-check "nanobind>=2.4"
nanobind=$(.venv-win/bin/python -c 'import nanobind, os; print(os.path.dirname(nanobind.__file__))')

rm -rf "$out" && mkdir -p "$out"
cxx=(x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -Wall -Wextra -Wpedantic -Werror -DMS_WIN64
  -isystem "$headers/Include" -isystem "$headers/PC" -Icore/include -Imodule)
"${cxx[@]}" -c module/quorvalent.cpp -o "$out/quorvalent.o"
"${cxx[@]}" -DNB_COMPACT_ASSERTIONS -isystem "$nanobind/include" \
  -isystem "$nanobind/ext/robin_map/include" -c module/quorvalent_index.cpp -o "$out/index.o"
# nanobind's own sources are not ours to hold to -Werror.
x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -DMS_WIN64 -DNB_COMPACT_ASSERTIONS \
  -isystem "$headers/Include" -isystem "$headers/PC" -isystem "$nanobind/include" \
  -isystem "$nanobind/ext/robin_map/include" -c "$nanobind/src/nb_combined.cpp" -o "$out/nanobind.o"

{
  echo "LIBRARY python313.dll"
  echo "EXPORTS"
  x86_64-w64-mingw32-nm -u "$out"/*.o | awk '{print $NF}' | sed 's/^__imp_//' | grep -E '^_?Py' | sort -u
} >"$out/python313.def"
x86_64-w64-mingw32-dlltool -d "$out/python313.def" -l "$out/libpython313.a" -D python313.dll

link=(x86_64-w64-mingw32-g++-posix -shared -static -s)
"${link[@]}" -o "$out/quorvalent.cp313-win_amd64.pyd" "$out/quorvalent.o" \
  build/mingw/libquorvalent_core.a "$out/libpython313.a"
"${link[@]}" -o "$out/_core.cp313-win_amd64.pyd" "$out/index.o" "$out/nanobind.o" \
  build/mingw/libquorvalent_codes.a build/mingw/libquorvalent_core.a "$out/libpython313.a"

# Exports: the init entry, and for the index only nanobind's two exception classes, whose
# type information nanobind's headers mark for export on Windows. Imports: the interpreter
# and the system's C runtime, nothing of the toolchain (it is linked in).
check() {
  local pyd="$1" allowed="$2" dump exports imports
  dump=$(x86_64-w64-mingw32-objdump -p "$pyd")
  exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ {on = 1; next} on && /^[ \t]*\[/ {print $NF} on && /^$/ {on = 0}' <<<"$dump" | sort)
  imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | sort)
  echo "  $(basename "$pyd"): exports $(echo $exports); imports $(echo $imports)"
  grep -qx "PyInit_$(basename "$pyd" | cut -d. -f1)" <<<"$exports" ||
    { echo "$pyd does not export its init entry" >&2; exit 1; }
  stray=$(grep -vxE "$allowed" <<<"$exports" || true)
  [ -z "$stray" ] || { echo "$pyd exports more than it should: $stray" >&2; exit 1; }
  stray=$(grep -vxE 'python313\.dll|KERNEL32\.dll|msvcrt\.dll' <<<"$imports" || true)
  [ -z "$stray" ] || { echo "$pyd depends on more than the interpreter and the C runtime: $stray" >&2; exit 1; }
}
check "$out/quorvalent.cp313-win_amd64.pyd" 'PyInit_quorvalent'
check "$out/_core.cp313-win_amd64.pyd" 'PyInit__core|_ZT[IV]N8nanobind4abi1(12python_error|17builtin_exception)E'
echo "both modules compile and link for 64-bit Windows"
