#!/usr/bin/env bash
# Runs every benchmark against its baseline and prints the ratios. Usage: bench/run.sh [build-dir]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../build}" && pwd)"

echo "== crypto: module vs PyNaCl (Python 3), and vs raw libsodium =="
"$build/py3" "$here/crypto_bench.py" "$build/bench/crypto_raw"

echo "== utp engine: two engines over the in-memory simulated network (goal >= 1 GB/s, scale ratio <= 2) =="
"$build/bench/utp_engine_bench"

echo "== uTP streams between two processes: one stream, 20 streams, ping-pong, connect time, against raw UDP and TCP =="
"$build/py3" "$here/stream_bench.py" "$build/bench/udp_blast"
