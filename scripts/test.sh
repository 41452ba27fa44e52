#!/usr/bin/env bash
# Builds everything and runs every test: the core's GoogleTest suite and the
# check that the benchmark's floor computes what the kernels compute, then
# the Python suite against the extension installed in .venv.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

have_gtest() {
    [ -f /usr/include/gtest/gtest.h ] && ls /usr/lib/*/libgtest.a /usr/lib/libgtest.a >/dev/null 2>&1
}

ensure_gtest() {
    have_gtest && return
    if [ "$(id -u)" -ne 0 ]; then
        die "GoogleTest is missing: install Debian's libgtest-dev (sudo apt-get install libgtest-dev) and run again"
    fi
    say "installing GoogleTest (Debian's libgtest-dev)"
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -q libgtest-dev >/dev/null 2>&1 \
        || { apt-get update -q >/dev/null && apt-get install -y -q libgtest-dev >/dev/null; } \
        || die "apt-get could not install libgtest-dev"
}

make_venv
install_requirements test
install_quorvane
ensure_gtest

say "building and running the core's tests"
cmake -S "$root" -B "$root/build/core-tests" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DQUORVANE_BUILD_TESTS=ON -DQUORVANE_BUILD_BENCH=ON -DQUORVANE_WERROR=ON >/dev/null
cmake --build "$root/build/core-tests"
ctest --test-dir "$root/build/core-tests" --output-on-failure --timeout 300

say "running the Python tests"
cd "$root"
"$venv_python" -m pytest -q tests/python "$@"
