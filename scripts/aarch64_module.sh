#!/usr/bin/env bash
# Cross-builds both extension modules for 64-bit ARM against Debian's own arm64 CPython 3.11,
# and runs the whole pytest suite on them under qemu-user, where the NEON kernel is chosen.
#   - Debian's arm64 interpreter, its standard library, its headers and the libraries they
#     need are unpacked (dpkg -x) into a private root under QUORVALENT_CACHE: an arm64
#     python3.11 cannot be installed beside the machine's own. The package index is read
#     through a private apt configuration, so the machine's apt state is not touched.
#   - pytest, hypothesis and numpy come from PyPI as aarch64 wheels.
#   - The interpreter runs as `qemu-aarch64 -L <root>` behind a wrapper that qemu passes as
#     argv[0]: sys.executable is then the wrapper, so the tests' child interpreters run under
#     qemu too, and the standard library is found at /usr inside the root.
# The package metadata is that of the native install in .venv (the same sources); only the
# extension modules differ. Needs build/aarch64 from the full check.
set -euo pipefail
cd "$(dirname "$0")/.."
cache="${QUORVALENT_CACHE:-$HOME/.cache/quorvalent}"
root="$cache/arm64-python3.11"
deps="$cache/arm64-python3.11-site"
out=build/aarch64-module
log() { echo "arm64 module: $*" >&2; }

if [ ! -e "$root/.complete" ]; then
  apt_dir="$cache/apt-arm64"
  rm -rf "$apt_dir" "$root" && mkdir -p "$root"
  source scripts/private_apt.sh
  private_apt "$apt_dir"
  apt_opts+=(-o "APT::Architecture=arm64" -o "APT::Architectures::=arm64")
  for suite in "debian bookworm" "debian bookworm-updates" "debian-security bookworm-security"; do
    echo "deb [arch=arm64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/${suite% *} ${suite#* } main"
  done >"$apt_dir/sources.list"
  log "reading bookworm's arm64 package index"
  apt-get "${apt_opts[@]}" -q update >&2
  # The interpreter and what it loads; the C library comes from here too, so that the root
  # is one consistent Debian system.
  packages=(python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libpython3.11-dev
    libpython3.11 media-types libc6 libgcc-s1 libstdc++6 gcc-12-base zlib1g libbz2-1.0 liblzma5
    libexpat1 libffi8 libssl3 libsqlite3-0 libuuid1 libcrypt1 libdb5.3 libgdbm6 libgdbm-compat4
    libncursesw6 libtinfo6 libreadline8 libnsl2 libtirpc3 libtirpc-common libgssapi-krb5-2
    libk5crypto3 libkeyutils1 libkrb5-3 libkrb5support0 libcom-err2)
  (cd "$apt_dir/archives" && apt-get "${apt_opts[@]}" -q download "${packages[@]}" >&2)
  for deb in "$apt_dir"/archives/*.deb; do dpkg -x "$deb" "$root"; done
  rm -rf "$apt_dir"
  touch "$root/.complete"
fi

mkdir -p "$out"
python="$PWD/$out/python3.11"
cat >"$python" <<EOF
#!/bin/sh
exec qemu-aarch64 -L "$root" -0 "\$0" "$root/usr/bin/python3.11" "\$@"
EOF
chmod +x "$python"

if [ ! -e "$deps/.complete" ]; then
  rm -rf "$deps"
  python3 -m pip install -q --disable-pip-version-check --target "$deps" --only-binary=:all: \
    --implementation cp --python-version 3.11 --abi cp311 --platform manylinux_2_17_aarch64 \
    --platform manylinux2014_aarch64 --platform manylinux_2_28_aarch64 \
    "pytest>=7" "hypothesis>=6" "numpy>=1.24"
  touch "$deps/.complete"
fi

python3 -m venv .venv-arm
.venv-arm/bin/python -m pip install -q --disable-pip-version-check "nanobind>=2.4"
nanobind=$(.venv-arm/bin/python -c 'import nanobind, os; print(os.path.dirname(nanobind.__file__))')
suffix=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')

site="$out/site"
rm -rf "$site" && mkdir -p "$site/quorvalent_index"
cxx=(aarch64-linux-gnu-g++ -std=c++17 -O2 -fPIC -fvisibility=hidden -fvisibility-inlines-hidden
  -isystem "$root$include" -isystem "$root/usr/include" -Icore/include -Imodule)
"${cxx[@]}" -Wall -Wextra -Wpedantic -Werror -c module/quorvalent.cpp -o "$out/quorvalent.o"
"${cxx[@]}" -Wall -Wextra -Wpedantic -Werror -DNB_COMPACT_ASSERTIONS -isystem "$nanobind/include" \
  -isystem "$nanobind/ext/robin_map/include" -c module/quorvalent_index.cpp -o "$out/index.o"
# nanobind's own sources are not ours to hold to -Werror.
"${cxx[@]}" -DNB_COMPACT_ASSERTIONS -isystem "$nanobind/include" \
  -isystem "$nanobind/ext/robin_map/include" -c "$nanobind/src/nb_combined.cpp" -o "$out/nanobind.o"
for name in quorvalent _core; do
  printf '{\n  global: PyInit_%s;\n  local: *;\n};\n' "$name" >"$out/$name.map"
done
aarch64-linux-gnu-g++ -shared -Wl,--version-script="$out/quorvalent.map" \
  -o "$site/quorvalent$suffix" "$out/quorvalent.o" build/aarch64/libquorvalent_core.a
aarch64-linux-gnu-g++ -shared -Wl,--version-script="$out/_core.map" \
  -o "$site/quorvalent_index/_core$suffix" "$out/index.o" "$out/nanobind.o" \
  build/aarch64/libquorvalent_codes.a build/aarch64/libquorvalent_core.a -lpthread
cp python/quorvalent_index/*.py python/quorvalent_index/py.typed "$site/quorvalent_index/"
cp -r .venv/lib/python3.11/site-packages/quorvalent-*.dist-info .venv/lib/python3.11/site-packages/quorvalent-stubs "$site/"

for module in "$site/quorvalent$suffix" "$site/quorvalent_index/_core$suffix"; do
  exports=$(aarch64-linux-gnu-nm -D --defined-only "$module" | awk '{print $NF}' | sort | tr '\n' ' ')
  [ "$exports" = "PyInit_$(basename "$module" | cut -d. -f1) " ] ||
    { echo "$module exports more than its init entry: $exports" >&2; exit 1; }
done

export PYTHONPATH="$PWD/$site:$deps"
"$python" -c 'import platform, quorvalent, quorvalent_index._core as c
print("arm64 module:", platform.machine(), "CPython", platform.python_version(), "hex kernel", c.hex_kernel)
assert platform.machine() == "aarch64" and c.hex_kernel == "neon"'
# Tests that limit the address space skip themselves under the emulator, whose own mappings the
# limit would bind.
(cd tests && QUORVALENT_EMULATED=qemu-user "$python" -m pytest -c ../pyproject.toml --rootdir .. -q -p no:cacheprovider "$@")
