#!/usr/bin/env bash
# Times quorvane against its speed floor and its peers: builds quorvane into
# .venv and the floor program into build/bench, installs the peers, prints a
# Markdown report and writes it with a chart to bench/results.md and
# bench/performance.png. Arguments go to bench/run.py (--quick for a trial).
# shellcheck source=setup.sh
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

make_venv
install_requirements bench
install_quorvane

say "building the floor program"
cmake -S "$root" -B "$root/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DQUORVANE_BUILD_BENCH=ON >/dev/null
cmake --build "$root/build/bench" >/dev/null

say "timing; this takes a few minutes"
cd "$root" || exit
# Where these are set for some processors they slow NumPy down; the peers
# get NumPy's own choices.
exec env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE \
    "$venv_python" bench/run.py --build-dir "$root/build/bench" "$@"
