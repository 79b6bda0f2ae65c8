#!/usr/bin/env bash
# Build marlinox with one interpreter and run the whole test suite against it.
# Runs wherever CPython 3.14 with its headers is installed: inside the project's
# chroots (tools/chroot.sh) or directly on a user's machine.
#
#   tools/test-inside.sh [--full]
#
# --full adds the checks that need the complete toolchain: AddressSanitizer +
# UndefinedBehaviorSanitizer build of the module under pytest, ThreadSanitizer
# build of the C++ tests, and `pip install .` into a fresh virtual environment
# with the suite run against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3.14}
arch=${MARLINOX_ARCH:-$(uname -m)}
export MARLINOX_ARCH=$arch PYTHON=$python
full=0
[ "${1:-}" = "--full" ] && full=1

step() { printf '\n=== [%s] %s\n' "$arch" "$*"; }

pytest_args=(-q -p no:cacheprovider -o addopts= tests)

step "build"
dir=$(tools/build.sh | tail -n 1)

step "symbols exported by the module"
nm -D --defined-only "$dir"/marlinox*.so

if [ -x "$dir/marlinox_cpp_tests" ]; then
    step "C++ tests"
    "$dir/marlinox_cpp_tests" --gtest_brief=1
fi

step "pytest"
PYTHONPATH="$dir" MARLINOX_BUILD_DIR="$dir" MARLINOX_HOOKS=1 "$python" -m pytest "${pytest_args[@]}"

if [ $full = 1 ]; then
    step "C++ tests under ThreadSanitizer"
    tsan=$(tools/build.sh thread | tail -n 1)
    if [ -x "$tsan/marlinox_cpp_tests" ]; then
        TSAN_OPTIONS="halt_on_error=1" "$tsan/marlinox_cpp_tests" --gtest_brief=1
    fi

    step "pytest under AddressSanitizer and UndefinedBehaviorSanitizer"
    asan=$(tools/build.sh address | tail -n 1)
    if [ -x "$asan/marlinox_cpp_tests" ]; then
        "$asan/marlinox_cpp_tests" --gtest_brief=1
    fi
    libasan=$(g++ -print-file-name=libasan.so)
    LD_PRELOAD="$libasan" ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" PYTHONMALLOC=malloc \
        PYTHONPATH="$asan" MARLINOX_BUILD_DIR="$asan" MARLINOX_SANITIZED=1 MARLINOX_HOOKS=1 \
        "$python" -m pytest "${pytest_args[@]}"

    step "reference leaks under the debug interpreter"
    pydebug=$(tools/build.sh pydebug | tail -n 1)
    PYTHONPATH="$pydebug" MARLINOX_HOOKS=1 "${PYTHON_DEBUG:-python3.14d}" -m pytest "${pytest_args[@]:0:4}" \
        tests/test_refleaks.py tests/test_failures.py

    step "pip install . into a fresh virtual environment"
    venv=$(mktemp -d /tmp/marlinox-venv.XXXXXX)
    trap 'rm -rf "$venv"' EXIT
    "$python" -m venv --system-site-packages "$venv"
    "$venv/bin/pip" install -q --no-build-isolation --no-index --no-deps \
        --config-settings=build-dir="$venv/build" .
    (cd "$venv" && "$venv/bin/python" -c 'import marlinox, sys; print("installed:", marlinox.__file__)')
    (tests=$PWD/tests; cd "$venv" && "$venv/bin/python" -m pytest -q -p no:cacheprovider -o addopts= \
        --rootdir="$venv" "$tests" -k 'not sanitize')
fi
