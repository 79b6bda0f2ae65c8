#!/usr/bin/env bash
# Build quietly and run the marlinox command on the shipped lambda genome and
# sample reads, or on the files given (make demo ARGS="my_reads.fq.gz").
set -euo pipefail
cd "$(dirname "$0")/.."
log=$(mktemp /tmp/marlinox-demo-build.XXXXXX)
table=$(mktemp /tmp/marlinox-demo-table.XXXXXX)
trap 'rm -f "$log" "$table"' EXIT
if ! dir=$(tools/build.sh 2>"$log" | tail -n 1) || [ -z "$dir" ]; then
    cat "$log" >&2
    echo "demo.sh: the build failed" >&2
    exit 1
fi
marlinox=$dir/bin/marlinox
if [ ! -x "$marlinox" ]; then
    grep -i "command" "$log" >&2 || true
    echo "demo.sh: the marlinox command was not built (it needs CLI11 and the decoding libraries)" >&2
    exit 1
fi
if [ $# -gt 0 ]; then
    exec "$marlinox" "$@"
fi
echo "\$ marlinox examples/data/lambda_virus.fa.gz"
"$marlinox" examples/data/lambda_virus.fa.gz
echo
echo "\$ marlinox examples/data/lambda_reads.fq.gz | head -n 6"
"$marlinox" examples/data/lambda_reads.fq.gz >"$table"
head -n 6 "$table"
echo "... $(($(wc -l <"$table") - 1)) rows in all"
