#!/usr/bin/env bash
# Builds, then times the whole job at scale; the table lands in bench/results/latest.md.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build
exec python3 bench/run.py "$@"
