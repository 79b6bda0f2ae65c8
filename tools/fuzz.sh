#!/usr/bin/env bash
# Fuzz with libFuzzer under AddressSanitizer and UndefinedBehaviorSanitizer
# (clang++ from the x86_64 chroot).
#
#   tools/fuzz.sh [SECONDS] [JOBS]
#
# Builds three harnesses into build/fuzz: the sequence kernels with the SSE2
# block scan and with the portable 64-bit classification of the ASCII kernel,
# and the command's record reader and row writer. Runs each for SECONDS
# (default 20) on a working corpus seeded from tests/fuzz/corpus (the
# command's from tests/fuzz/command_corpus). The working corpus is kept in
# build/fuzz/corpus-<variant>, so a later run goes on from it. A crash input is
# written to build/fuzz/crash-* and the script fails.
# Ends with one summary line per harness: executions, corpus entries and bytes.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
jobs=${2:-1}
out=build/fuzz
mkdir -p "$out"
cxx=${CXX_FUZZ:-clang++}

# The kernels, internal failures and the command's reading path with its
# decoders (gzip members through zlib here): no Python in any of them.
core=(src/analysis/*.cpp src/failure/*.cpp)
# (member_inflater_isal.cpp compiles to nothing without MARLINOX_HAVE_ISAL.)
command=(src/parallel/*.cpp src/command/failures/*.cpp src/command/input/*.cpp src/command/records/*.cpp
         src/command/rows/*.cpp src/command/process/owned_thread.cpp src/command/process/terminal.cpp)
command_libraries=(-ldeflate -lz -lbz2 -llzma -lzstd)
flags=(-std=c++20 -O1 -g -Isrc -Wall -Wextra -Werror -fno-omit-frame-pointer
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)

build() {
    local name=$1 harness=$2; shift 2
    local binary=$out/$name
    local sources=("$harness" "${core[@]}")
    local libraries=()
    if [ "$name" = command_fuzz ]; then
        sources+=("${command[@]}")
        libraries=("${command_libraries[@]}")
    fi
    local newest
    newest=$(ls -t "${sources[@]}" src/*/*.hpp src/command/*/*.hpp "$0" | head -n 1)
    if [ ! -x "$binary" ] || [ "$newest" -nt "$binary" ]; then
        "$cxx" "${flags[@]}" "$@" "${sources[@]}" "${libraries[@]}" -o "$binary"
    fi
}

# The kernel harnesses and the command's compile side by side, on two cores.
(build kernels_fuzz tests/fuzz/stop_free_run_fuzz.cpp &&
    build kernels_fuzz_portable tests/fuzz/stop_free_run_fuzz.cpp -DMARLINOX_PORTABLE_SCAN) &
kernels=$!
build command_fuzz tests/fuzz/command_fuzz.cpp
wait "$kernels"

status=0
summary=()
for name in kernels_fuzz kernels_fuzz_portable command_fuzz; do
    corpus=$out/corpus-${name#kernels_fuzz}
    corpus=${corpus%-}
    seeds=tests/fuzz/corpus
    if [ "$name" = command_fuzz ]; then
        corpus=$out/corpus-command
        seeds=tests/fuzz/command_corpus
    fi
    mkdir -p "$corpus"
    log=$out/$name.log
    # The kernel writes a diagnostic to stderr for every failing input; fd 2 is
    # closed for the target (close_fd_mask=2) while libFuzzer and the sanitizers
    # keep reporting on a duplicate of it.
    if ! ASAN_OPTIONS="abort_on_error=1:detect_leaks=1" \
        "$out/$name" -max_total_time="$seconds" -close_fd_mask=2 -max_len=4096 \
        -use_value_profile=1 -jobs="$jobs" -workers="$jobs" -print_final_stats=1 \
        -artifact_prefix="$out/crash-$name-" "$corpus" "$seeds" >"$log" 2>&1; then
        status=1
        tail -n 60 "$log" >&2
    fi
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | awk '{s += $2} END {print s + 0}')
    entries=$(find "$corpus" -type f | wc -l)
    bytes=$(find "$corpus" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')
    summary+=("fuzz $name: $runs executions in ${seconds}s, corpus $entries inputs ($bytes bytes), status $([ $status = 0 ] && echo ok || echo FAILED)")
done
printf '%s\n' "${summary[@]}"
exit $status
