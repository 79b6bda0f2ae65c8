#!/usr/bin/env bash
# Reliability checks run by `tools/test-inside.sh --full` (x86_64 chroot):
# ThreadSanitizer for the C++ tests, AddressSanitizer + UndefinedBehaviorSanitizer
# for the whole Python suite, and reference leaks under the debug interpreter.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3.14}
arch=${MARLINOX_ARCH:-$(uname -m)}
step() { printf '\n=== [%s] %s\n' "$arch" "$*"; }
pytest_args=(-q -p no:cacheprovider -o addopts=)

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
# libstdc++ too: otherwise the interceptor of __cxa_throw finds no real function
# and the first C++ exception aborts the interpreter.
libasan="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)"
LD_PRELOAD="$libasan" ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" PYTHONMALLOC=malloc \
    PYTHONPATH="$asan" MARLINOX_BUILD_DIR="$asan" MARLINOX_SANITIZED=1 MARLINOX_HOOKS=1 \
    "$python" -m pytest "${pytest_args[@]}" tests

step "reference leaks under the debug interpreter"
pydebug=$(tools/build.sh pydebug | tail -n 1)
PYTHONPATH="$pydebug" MARLINOX_HOOKS=1 "${PYTHON_DEBUG:-python3.14d}" -m pytest "${pytest_args[@]}" \
    tests/test_refleaks.py tests/test_failures.py
