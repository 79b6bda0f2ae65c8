#!/usr/bin/env bash
# Build the module quietly and run the FASTA pipeline (default: the shipped genome).
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3.14}
dir=$(tools/build.sh 2>&1 | tail -n 1)
PYTHONPATH="$dir" exec "$python" examples/fasta_pipeline.py "$@"
