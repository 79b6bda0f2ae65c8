#!/usr/bin/env bash
# Build the module quietly and run the FASTA pipeline (default: the shipped genome).
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3.14}
log=$(mktemp /tmp/marlinox-demo-build.XXXXXX)
trap 'rm -f "$log"' EXIT
if ! dir=$(tools/build.sh 2>"$log" | tail -n 1) || [ -z "$dir" ]; then
    cat "$log" >&2
    echo "demo.sh: the build failed" >&2
    exit 1
fi
PYTHONPATH="$dir" "$python" examples/fasta_pipeline.py "$@"
