#!/usr/bin/env bash
# The whole program on generated datasets, commands and options, with the
# properties every run must keep (tests/fuzz/program.py; make fuzz runs it
# longer with random seeds). A fixed seed keeps this run repeatable.
set -uo pipefail
build=$1
python3 tests/fuzz/program.py --program "$build/codebook" --runs 80 --seed 14 --keep "$build/program-failures"
