#!/usr/bin/env bash
# Builds a free-threaded CPython 3.13 (--disable-gil) from Debian's source package for trixie
# and prints the path of its interpreter. The machine's own apt lists stay as they are: the
# trixie source index is read through a private source list under the cache directory.
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

bash "$(dirname "$0")/debian_packages.sh" dpkg-dev xz-utils libssl-dev zlib1g-dev libffi-dev \
  libbz2-dev liblzma-dev libsqlite3-dev libreadline-dev

apt_dir="$cache/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian trixie main" \
  >"$apt_dir/sources.list"
apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=/nonexistent"
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir" -o "Dir::Cache::pkgcache="
  -o "Dir::Cache::srcpkgcache=" -o "Debug::NoLocking=1")
log "reading the trixie source index"
apt-get "${apt_opts[@]}" -q update >&2

# The newest version the index lists may not be downloadable (a mirror lags the index); take
# the newest whose source arrives.
mapfile -t versions < <(apt-cache "${apt_opts[@]}" showsrc "$package" | sed -n 's/^Version: //p' |
  sort -u -r -V)
if [ ${#versions[@]} -eq 0 ]; then
  log "trixie's source index lists no $package" >&2
  exit 1
fi
work="$cache/src"
chosen=""
for version in "${versions[@]}"; do
  rm -rf "$work" && mkdir -p "$work"
  log "downloading $package $version"
  if (cd "$work" && apt-get "${apt_opts[@]}" -q source --download-only "$package=$version" >&2); then
    chosen="$version"
    break
  fi
  log "$package $version did not download"
done
if [ -z "$chosen" ]; then
  log "no version of $package's source could be downloaded (tried: ${versions[*]})"
  exit 1
fi

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
