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
# What to look at first: where each longest run lies and how surprising it
# is, then the same run as a BED line for a genome browser.
columns=identifier,length,stop_free_run,strand,frame,start,end,evalue
show() {
    echo "\$ marlinox $*"
    "$marlinox" "$@"
    echo
}
show --columns "$columns" examples/data/lambda_virus.fa.gz
echo "\$ marlinox --columns $columns examples/data/lambda_reads.fq.gz | head -n 6"
"$marlinox" --columns "$columns" examples/data/lambda_reads.fq.gz >"$table"
head -n 6 "$table"
echo "... $(($(wc -l <"$table") - 1)) rows in all"
echo
show --format bed examples/data/lambda_virus.fa.gz
echo "\$ marlinox examples/data/lambda_virus.fa.gz    # the default table, the module's values"
"$marlinox" examples/data/lambda_virus.fa.gz
