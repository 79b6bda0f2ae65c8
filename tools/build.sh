#!/usr/bin/env bash
# Build marlinox and its C++ tests with the given interpreter (default python3.14)
# into build/<arch>[-<variant>]. Usage: tools/build.sh [address|thread|debug|pydebug]
# pydebug builds the module alone against Debian's debug interpreter,
# python3.14d; thread builds the C++ tests alone.
# The test build compiles the fault-injection hooks that the test suite uses.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3.14}
arch=${MARLINOX_ARCH:-$(uname -m)}
variant=${1:-}
dir=build/$arch${variant:+-$variant}
args=(-DMARLINOX_TESTS=ON -DMARLINOX_TEST_HOOKS=ON -DPython_EXECUTABLE="$(command -v "$python")")
# What a variant's checks run; the others build everything.
targets=()
case "$variant" in
    "") ;;
    address) args+=(-DMARLINOX_SANITIZE="$variant" -DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    thread)
        args+=(-DMARLINOX_SANITIZE="$variant" -DCMAKE_BUILD_TYPE=RelWithDebInfo)
        targets=(--target marlinox_cpp_tests) ;;
    debug) args+=(-DCMAKE_BUILD_TYPE=Debug) ;;
    pydebug)
        python=${PYTHON_DEBUG:-python3.14d}
        args=(-DMARLINOX_TESTS=OFF -DMARLINOX_TEST_HOOKS=ON -DMARLINOX_COMMAND=OFF
              -DPython_EXECUTABLE="$(command -v "$python")") ;;
    *) echo "build.sh: unknown variant $variant" >&2; exit 2 ;;
esac
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
# Progress and errors go to stderr; stdout carries only the build directory.
cmake -S . -B "$dir" "${generator[@]}" "${args[@]}" >&2
cmake --build "$dir" -j"${JOBS:-2}" "${targets[@]}" >&2
echo "$dir"
