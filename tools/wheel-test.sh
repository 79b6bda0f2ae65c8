#!/usr/bin/env bash
# Build the wheel, install it into a fresh virtual environment and run the test
# suite, or the given test files, against the installed module, not the build
# tree.
#
#   tools/wheel-test.sh [TEST_FILE...]
#
# The wheel goes to build/<arch>-dist; CMake builds in build/<arch>-wheel,
# which is kept between runs so that a rebuild only compiles what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3.14}
arch=${MARLINOX_ARCH:-$(uname -m)}
dist=build/$arch-dist
work=build/$arch-wheel

log=$(mktemp /tmp/marlinox-wheel-log.XXXXXX)
venv=$(mktemp -d /tmp/marlinox-venv.XXXXXX)
trap 'rm -rf "$venv" "$log"' EXIT

rm -rf "$dist"
if ! "$python" -m build --wheel --no-isolation --outdir "$dist" \
        -C build-dir="$work" . >"$log" 2>&1; then
    cat "$log" >&2
    echo "wheel-test.sh: building the wheel failed" >&2
    exit 1
fi
wheels=("$dist"/marlinox-*.whl)
if [ ${#wheels[@]} -ne 1 ] || [ ! -f "${wheels[0]}" ]; then
    echo "wheel-test.sh: expected one wheel in $dist, found: ${wheels[*]}" >&2
    exit 1
fi
wheel=$PWD/${wheels[0]}
echo "wheel: ${wheel#"$PWD"/}"

"$python" -m venv --system-site-packages "$venv"
"$venv/bin/pip" install -q --no-index --no-deps "$wheel"

tests=("$PWD/tests")
[ $# -eq 0 ] || tests=("${@/#/$PWD/}")
cd "$venv"
# Nothing from the work tree may reach the installed copy.
unset PYTHONPATH MARLINOX_BUILD_DIR MARLINOX_HOOKS
"$venv/bin/python" - "$venv" <<'PY'
import importlib.machinery, pathlib, sys, sysconfig
import marlinox
venv = pathlib.Path(sys.argv[1]).resolve()
site = pathlib.Path(sysconfig.get_path("platlib")).resolve()
so = pathlib.Path(marlinox.__file__).resolve()
assert site.is_relative_to(venv), f"site-packages {site} is outside the venv"
assert so.parent == site, f"marlinox loaded from {so}, not from {site}"
assert isinstance(marlinox.__loader__, importlib.machinery.ExtensionFileLoader), marlinox.__loader__
stubs = sorted(p.name for p in (site / "marlinox").iterdir())
assert stubs == ["__init__.pyi", "py.typed"], stubs
print("installed:", so)
PY
# The wheel carries the command where the build found CLI11 and the decoding libraries.
command=
if [ -x "$venv/bin/marlinox" ]; then
    command=$venv/bin/marlinox
    echo "installed: $command"
elif [ -n "${MARLINOX_EXPECT_COMMAND:-}" ]; then
    echo "wheel-test.sh: the wheel has no marlinox command" >&2
    exit 1
fi
MARLINOX_COMMAND=$command MARLINOX_INSTALLED=1 "$venv/bin/python" -m pytest -q -p no:cacheprovider -o addopts= \
    --rootdir="$venv" "${tests[@]}"
