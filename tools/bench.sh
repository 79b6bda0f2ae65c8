#!/usr/bin/env bash
# The benchmarks in one command: fetch the real genomes (Debian example
# packages, kept outside the work tree) where the host can, then build and run
# bench/run.py (the module) or, with "command" first, bench/command.py (the
# marlinox command against seqkit) in the amd64 chroot. Other arguments go to
# the script.
#
#   tools/bench.sh [--quick] [--repeats N]
#   tools/bench.sh command [--quick] [--repeats N]
set -euo pipefail
cd "$(dirname "$0")/.."
cache=${MARLINOX_CACHE:-/var/cache/marlinox}/bench-data
data=build/bench-data
mkdir -p "$cache" "$data"
if command -v apt-get >/dev/null; then
    for package in bowtie2-examples bowtie-examples ragout-examples; do
        if ! ls "$cache/$package"_*.deb >/dev/null 2>&1; then
            (cd "$cache" && apt-get download -q "$package" >/dev/null 2>&1) ||
                echo "bench.sh: $package not available; its genomes are skipped" >&2
        fi
    done
    for deb in "$cache"/*.deb; do
        [ -e "$deb" ] && dpkg-deb -x "$deb" "$cache/extracted"
    done
fi
# The four genomes the benchmark knows, and the E. coli assembly's contigs,
# copied into the (git-ignored) build tree so that the chroot sees them.
for name in lambda_virus.fa.gz NC_008253.fna.gz MG1655-K12.fasta.gz N315.fasta.gz mg1655_contigs.fasta.gz; do
    found=$(find "$cache/extracted" -name "$name" -print -quit 2>/dev/null || true)
    [ -n "$found" ] && cp -u "$found" "$data/"
done
script=bench/run.py
if [ "${1:-}" = command ]; then
    script=bench/command.py
    shift
fi
exec tools/chroot.sh run amd64 env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE \
    python3.14 "$script" --genomes "$data" "$@"
