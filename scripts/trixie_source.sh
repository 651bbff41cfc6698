#!/usr/bin/env bash
# trixie_source.sh PACKAGE DIR: downloads Debian trixie's source package PACKAGE into DIR and
# prints its version. The machine's own apt lists stay as they are: the trixie source index is
# read through a private source list under QUORVALENT_CACHE (default ~/.cache/quorvalent).
# The newest version the index lists may not be downloadable (a mirror lags the index); the
# newest whose source arrives is taken. Progress goes to stderr.
set -euo pipefail
package="$1"
dest="$2"
cache="${QUORVALENT_CACHE:-$HOME/.cache/quorvalent}"
log() { echo "trixie source: $*" >&2; }

bash "$(dirname "$0")/debian_packages.sh" dpkg-dev xz-utils >&2
apt_dir="$cache/apt"
source "$(dirname "$0")/private_apt.sh"
private_apt "$apt_dir"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian trixie main" \
  >"$apt_dir/sources.list"
log "reading the trixie source index"
apt-get "${apt_opts[@]}" -q update >&2

mapfile -t versions < <(apt-cache "${apt_opts[@]}" showsrc "$package" | sed -n 's/^Version: //p' |
  sort -u -r -V)
if [ ${#versions[@]} -eq 0 ]; then
  log "trixie's source index lists no $package"
  exit 1
fi
for version in "${versions[@]}"; do
  rm -rf "$dest" && mkdir -p "$dest"
  log "downloading $package $version"
  if (cd "$dest" && apt-get "${apt_opts[@]}" -q source --download-only "$package=$version" >&2); then
    echo "$version"
    exit 0
  fi
  log "$package $version did not download"
done
log "no version of $package's source could be downloaded (tried: ${versions[*]})"
exit 1
