#!/usr/bin/env bash
# Install marlinox with pip into a fresh virtual environment and run the test
# suite against the installed module, not the build tree.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3.14}
venv=$(mktemp -d /tmp/marlinox-venv.XXXXXX)
trap 'rm -rf "$venv"' EXIT
"$python" -m venv --system-site-packages "$venv"
"$venv/bin/pip" install -q --no-build-isolation --no-index --no-deps \
    --config-settings=build-dir="$venv/build" .
tests=$PWD/tests
cd "$venv"
"$venv/bin/python" -c 'import marlinox; print("installed:", marlinox.__file__)'
"$venv/bin/python" -m pytest -q -p no:cacheprovider -o addopts= --rootdir="$venv" "$tests"
