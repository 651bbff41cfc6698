#!/usr/bin/env bash
# Builds a free-threaded CPython 3.13 (--disable-gil) from Debian's source package for trixie
# (scripts/trixie_source.sh) and prints the path of its interpreter.
#
# The build is cached outside the clone (QUORVALENT_CACHE, default ~/.cache/quorvalent), so a
# second run on the same machine reuses it. Progress goes to stderr; stdout is the path only.
set -euo pipefail

cache="${QUORVALENT_CACHE:-$HOME/.cache/quorvalent}"
package=python3.13
log() { echo "free-threaded CPython: $*" >&2; }

for done_stamp in "$cache"/python3.13t-*/.built; do
  [ -e "$done_stamp" ] || continue
  prefix="$(dirname "$done_stamp")"
  if "$prefix/bin/python3.13t" -c 'import sys; assert not sys._is_gil_enabled()' 2>/dev/null; then
    log "reusing $prefix"
    echo "$prefix/bin/python3.13t"
    exit 0
  fi
done

bash "$(dirname "$0")/debian_packages.sh" libssl-dev zlib1g-dev libffi-dev libbz2-dev \
  liblzma-dev libsqlite3-dev libreadline-dev >&2
work="$cache/src"
chosen=$(bash "$(dirname "$0")/trixie_source.sh" "$package" "$work")
upstream="${chosen%%-*}"
prefix="$cache/python3.13t-$chosen"
# Debian's patches serve its own packaging rules; the interpreter is built from the upstream
# tarball the source package carries.
orig=("$work"/"${package}_${upstream}".orig.tar.*)
[ -e "${orig[0]}" ] || { log "no upstream tarball in $work"; exit 1; }
tar -xf "${orig[0]}" -C "$work"
srcdir=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'Python-*' | head -n 1)
log "building $upstream with --disable-gil into $prefix (this takes several minutes)"
rm -rf "$prefix"
(
  cd "$srcdir"
  ./configure --disable-gil --prefix="$prefix" --with-ensurepip=install >"$work/configure.log" 2>&1 ||
    { tail -n 40 "$work/configure.log" >&2; exit 1; }
  make -j"$(nproc)" >"$work/make.log" 2>&1 || { tail -n 60 "$work/make.log" >&2; exit 1; }
  make install >"$work/install.log" 2>&1 || { tail -n 60 "$work/install.log" >&2; exit 1; }
)
"$prefix/bin/python3.13t" -c 'import sys, ssl; assert not sys._is_gil_enabled()'
touch "$prefix/.built"
rm -rf "$work"
log "built $prefix"
echo "$prefix/bin/python3.13t"
