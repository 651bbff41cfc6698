#!/usr/bin/env bash
# Installs those of the named Debian packages that are missing (as root, or through sudo).
set -euo pipefail
missing=()
for pkg in "$@"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
[ ${#missing[@]} -gt 0 ] || exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -q
$sudo apt-get install -y -q "${missing[@]}"
