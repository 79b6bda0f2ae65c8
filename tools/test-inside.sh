#!/usr/bin/env bash
# Build marlinox with one interpreter and run the whole test suite against it.
# Runs wherever CPython 3.14 with its headers is installed: inside the project's
# chroots (tools/chroot.sh) or directly on a user's machine.
#
#   tools/test-inside.sh [--full | --no-wheel]
#
# Always: the build, the C++ tests and the Python suite against the build tree.
# Then the wheel installed into a fresh virtual environment (tools/wheel-test.sh)
# with the tests of what installing changes (the module, the command, the type
# stubs); the rest of the suite has already run against the same sources.
# --full adds `pip install .` and the reliability checks that need the complete
# toolchain (tools/reliability.sh: sanitizers, reference leaks, fuzzing).
# --no-wheel leaves the wheel out: under emulation its second compilation of
# every source costs more than it checks, and the native run checks it.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3.14}
arch=${MARLINOX_ARCH:-$(uname -m)}
export MARLINOX_ARCH=$arch PYTHON=$python
full=0
wheel=1
case "${1:-}" in
    --full) full=1 ;;
    --no-wheel) wheel=0 ;;
    "") ;;
    *) echo "test-inside.sh: unknown option $1" >&2; exit 2 ;;
esac

step() { printf '\n=== [%s] %s %s\n' "$arch" "$(date +%T)" "$*"; }
export -f step

step "build"
dir=$(tools/build.sh | tail -n 1)

step "symbols exported by the module"
nm -D --defined-only "$dir"/marlinox*.so

if [ -x "$dir/marlinox_cpp_tests" ]; then
    step "C++ tests"
    # Every expected internal failure writes its diagnostic to stderr; keep
    # those thousands of lines out of the log unless something fails.
    cpp_log=$(mktemp /tmp/marlinox-cpp-stderr.XXXXXX)
    if ! "$dir/marlinox_cpp_tests" --gtest_brief=1 2>"$cpp_log"; then
        tail -n 100 "$cpp_log" >&2
        rm -f "$cpp_log"
        exit 1
    fi
    rm -f "$cpp_log"
fi

if [ -x "$dir/bin/marlinox" ]; then
    step "the marlinox command"
    "$dir/bin/marlinox" --version
    # Where the build tree has the command, the wheel must carry it too.
    export MARLINOX_EXPECT_COMMAND=1
fi

if [ $wheel = 1 ]; then
    step "wheel in a fresh virtual environment"
    tools/wheel-test.sh tests/test_module.py tests/test_runs.py tests/test_typing.py tests/test_command.py \
        tests/test_command_runs.py
fi

if [ $full = 1 ]; then
    # The wheel's build tree: pip's front end, not a third compilation.
    step "pip install . into a fresh virtual environment"
    venv=$(mktemp -d /tmp/marlinox-pip.XXXXXX)
    "$python" -m venv --system-site-packages "$venv"
    "$venv/bin/pip" install -q --no-build-isolation --no-index --no-deps \
        --config-settings=build-dir="build/$arch-wheel" .
    [ -z "${MARLINOX_EXPECT_COMMAND:-}" ] || [ -x "$venv/bin/marlinox" ] ||
        { echo "pip install . gave no marlinox command" >&2; exit 1; }
    (cd "$venv" && unset PYTHONPATH MARLINOX_BUILD_DIR && MARLINOX_COMMAND=$([ -x "$venv/bin/marlinox" ] && echo "$venv/bin/marlinox") \
        "$venv/bin/python" -m pytest -q -p no:cacheprovider -o addopts= --rootdir="$venv" \
        "$OLDPWD/tests/test_module.py" "$OLDPWD/tests/test_runs.py" "$OLDPWD/tests/test_command.py")
    rm -rf "$venv"

    tools/reliability.sh
fi

# Last, so that its summary line closes the output.
step "pytest"
PYTHONPATH="$dir" MARLINOX_BUILD_DIR="$dir" MARLINOX_HOOKS=1 \
    "$python" -m pytest -q -p no:cacheprovider -o addopts= tests
