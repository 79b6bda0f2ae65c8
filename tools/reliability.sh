#!/usr/bin/env bash
# Reliability checks run by `tools/test-inside.sh --full` (x86_64 chroot):
#  1. C++ tests under ThreadSanitizer, and under AddressSanitizer + UBSan;
#  2. the whole Python suite against the AddressSanitizer + UBSan build, with the
#     sanitizer runtimes preloaded into the interpreter and leak detection on
#     (suppressions limited to the interpreter's own allocations: tools/lsan.supp);
#  3. reference and block leaks, failure paths (among them every allocation of
#     a small call of each function failing in turn) and hostile objects under
#     the debug interpreter (python3.14d);
#  4. a short libFuzzer run over the kernels and the command's reading path
#     (tools/fuzz.sh; longer runs by hand).
# Sanitizer reports go to build/reliability/*.log as well as failing the step.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3.14}
arch=${MARLINOX_ARCH:-$(uname -m)}
step() { printf '\n=== [%s] %s %s\n' "$arch" "$(date +%T)" "$*"; }
pytest_args=(-q -p no:cacheprovider -o addopts=)
reports=$PWD/build/reliability
rm -rf "$reports" && mkdir -p "$reports"

# Any report file left by a sanitizer (also from child processes) is a finding.
no_reports() {
    local found
    found=$(find "$reports" -name "$1.*" -type f | head -n 5)
    if [ -n "$found" ]; then
        echo "sanitizer findings:" >&2
        for file in $found; do head -n 40 "$file" >&2; done
        return 1
    fi
    echo "$1: 0 findings"
}

step "C++ tests under ThreadSanitizer"
tsan=$(tools/build.sh thread | tail -n 1)
if [ -x "$tsan/marlinox_cpp_tests" ]; then
    # The expected failures' diagnostics go to a file, shown only on failure.
    TSAN_OPTIONS="halt_on_error=1:log_path=$reports/tsan" "$tsan/marlinox_cpp_tests" --gtest_brief=1 \
        2>"$reports/tsan-stderr.log" || { tail -n 100 "$reports/tsan-stderr.log" >&2; exit 1; }
    no_reports tsan
fi

step "pytest under AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer"
asan=$(tools/build.sh address | tail -n 1)
if [ -x "$asan/marlinox_cpp_tests" ]; then
    ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:log_path=$reports/asan-cpp" \
        "$asan/marlinox_cpp_tests" --gtest_brief=1 \
        2>"$reports/asan-cpp-stderr.log" || { tail -n 100 "$reports/asan-cpp-stderr.log" >&2; exit 1; }
    no_reports asan-cpp
fi
# The interpreter does not link libstdc++: preload it after the ASan runtime, or
# the runtime's interceptor of __cxa_throw finds no real function to call and
# the first C++ exception of the module aborts the process.
libasan=$(g++ -print-file-name=libasan.so)
libstdcxx=$(g++ -print-file-name=libstdc++.so.6)
# This run is for the module's own memory safety. The Dask examples start
# clusters of interpreters that would each carry the sanitizer: at exit the
# leak check reports Python objects that the cluster's coroutines still hold
# (not the module's) and aborts, and on a busy machine the slow shutdown
# outlasts the cluster's own deadlines. They run in the ordinary pytest step.
LD_PRELOAD="$libasan:$libstdcxx" \
    ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:log_path=$reports/asan" \
    LSAN_OPTIONS="suppressions=$PWD/tools/lsan.supp:print_suppressions=0" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan" PYTHONMALLOC=malloc \
    PYTHONPATH="$asan" MARLINOX_BUILD_DIR="$asan" MARLINOX_SANITIZED=1 MARLINOX_HOOKS=1 \
    "$python" -m pytest "${pytest_args[@]}" --ignore=tests/test_dask.py tests
no_reports asan
no_reports ubsan

step "reference leaks, failures and hostile objects under the debug interpreter"
pydebug=$(tools/build.sh pydebug | tail -n 1)
PYTHONPATH="$pydebug" MARLINOX_HOOKS=1 "${PYTHON_DEBUG:-python3.14d}" -m pytest "${pytest_args[@]}" \
    tests/test_refleaks.py tests/test_failures.py tests/test_hostile.py

step "fuzzing the kernels and the record reader (short run; see tools/fuzz.sh for long ones)"
tools/fuzz.sh "${MARLINOX_FUZZ_SECONDS:-20}"
