#!/usr/bin/env bash
# Builds everything and runs every test, in six stages:
#
#   lint      clang-format on the C++ sources, ruff on the Python ones
#             and ShellCheck on the scripts: seconds, so it goes first;
#   normal    the core's GoogleTest suite (with the check that the
#             benchmark's floor computes what the kernels compute), then the
#             Python suite against the extension installed in .venv;
#   sanitize  both suites again, built with AddressSanitizer and
#             UndefinedBehaviorSanitizer, the extension installed in
#             .venv-sanitize; any report fails the run. Each Hypothesis
#             property draws a fifth of its examples there;
#   aarch64   the core's suite cross-compiled for 64-bit ARM and run under
#             qemu-user, so the kernel vectors written on x86-64 must come out
#             bit for bit on another architecture;
#   clang     the core's suite built with clang++ 19, warnings as errors;
#   release   scripts/release.sh: the sdist and the manylinux wheel, each
#             installed into a fresh environment and smoke-tested.
#
# QUORVANE_TEST_STAGES picks stages (default: "lint normal clang release
# sanitize aarch64", the quick ones first). With others, sanitize runs in
# the background beside them, its output shown when it ends. Each stage
# says how many seconds it took.
# Arguments are passed to every pytest run.
# shellcheck source=setup.sh
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

# Installs Debian packages as root; otherwise says what to install.
install_debian_packages() {
    if [ "$(id -u)" -ne 0 ]; then
        die "missing: install Debian's $* (sudo apt-get install $*) and run again, \
or choose other stages with QUORVANE_TEST_STAGES"
    fi
    say "installing Debian's $*"
    export DEBIAN_FRONTEND=noninteractive
    apt-get -o DPkg::Lock::Timeout=300 install -y -q "$@" >/dev/null 2>&1 \
        || { apt-get -o DPkg::Lock::Timeout=300 update -q >/dev/null \
            && apt-get -o DPkg::Lock::Timeout=300 install -y -q "$@" >/dev/null; } \
        || die "apt-get could not install $*"
}

have_gtest() {
    [ -f /usr/include/gtest/gtest.h ] \
        && { ls /usr/lib/*/libgtest.a >/dev/null 2>&1 || [ -f /usr/lib/libgtest.a ]; }
}

have_cross_tools() {
    command -v aarch64-linux-gnu-g++ && command -v qemu-aarch64 \
        && [ -f /usr/src/googletest/CMakeLists.txt ]
}

# The extension and the core's tests are one CMake build: the core's objects
# compiled once serve both. These settings go to every such build.
with_core_tests=(-Ccmake.define.QUORVANE_BUILD_TESTS=ON -Ccmake.define.QUORVANE_WERROR=ON)

# Configures the core's tests in DIR with further CMake settings.
configure_core_tests() {
    local dir="$1"
    shift
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DQUORVANE_BUILD_TESTS=ON -DQUORVANE_WERROR=ON "$@" >/dev/null
}

# Builds what in DIR is not up to date (the tests, when only they changed)
# and runs the core's tests there.
run_core_tests() {
    cmake --build "$1"
    ctest --test-dir "$1" --output-on-failure --timeout 300
}

stage_normal() {
    say "building and running the core's tests"
    run_core_tests "$root/build/core-tests"
    say "running the Python tests"
    "$venv_python" -m pytest -q tests/python "$@"
}

stage_sanitize() {
    use_venv "$root/.venv-sanitize"
    make_venv
    install_requirements test
    install_quorvane "${with_core_tests[@]}" -Ccmake.define.QUORVANE_SANITIZE=ON \
        -Cinstall.strip=false -Cbuild-dir=build/sanitize
    say "running the core's tests with sanitizers"
    run_core_tests "$root/build/sanitize"
    say "running the Python tests with sanitizers, each property with a fifth of its examples"
    # The interpreter is not instrumented, so the sanitizer's runtime must be
    # loaded first. PYTHONMALLOC=malloc puts Python's objects under its
    # watch too. Leak detection is off: at exit the interpreter itself
    # leaves memory that no suppression tells apart from ours (the leak
    # test measures ours). The C++ runtime is preloaded too, so the
    # sanitizer finds the real __cxa_throw for the C++ extensions of other
    # packages. Capturing at the Python level only lets a report, written to
    # descriptor 2 as the process ends, reach the log. Every allocation
    # checked makes a Hypothesis example some six times slower; the normal
    # stage draws them all.
    local compiler="${CXX:-c++}"
    LD_PRELOAD="$("$compiler" -print-file-name=libasan.so) $("$compiler" -print-file-name=libstdc++.so)" \
        PYTHONMALLOC=malloc \
        ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 \
        UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        QUORVANE_EXAMPLES_DIVISOR=5 \
        "$venv_python" -m pytest -q --capture=sys tests/python "$@"
    use_venv "$root/.venv"
}

stage_aarch64() {
    have_cross_tools >/dev/null || install_debian_packages g++-aarch64-linux-gnu qemu-user googletest
    local build="$root/build/aarch64" toolchain="$root/cmake/aarch64-linux-gnu.cmake"
    if [ ! -f "$build/googletest/lib/cmake/GTest/GTestConfig.cmake" ]; then
        say "cross-compiling GoogleTest for aarch64"
        cmake -S /usr/src/googletest -B "$build/googletest-build" -G Ninja \
            -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DBUILD_GMOCK=OFF \
            -DCMAKE_INSTALL_PREFIX="$build/googletest" -DCMAKE_INSTALL_LIBDIR=lib >/dev/null
        cmake --build "$build/googletest-build"
        cmake --install "$build/googletest-build" >/dev/null
    fi
    say "cross-compiling the core's tests for aarch64 and running them under qemu-user"
    configure_core_tests "$build/core-tests" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DGTest_DIR="$build/googletest/lib/cmake/GTest"
    run_core_tests "$build/core-tests"
}

# Debian 12's default clang, 14, lacks the builtin that libstdc++'s
# std::source_location needs; clang 19 is in Debian 12 and 13 alike.
stage_lint() {
    if ! command -v clang-format >/dev/null || ! command -v shellcheck >/dev/null; then
        install_debian_packages clang-format shellcheck
    fi
    say "checking the layout of the C++ sources, and the Python sources and scripts"
    git ls-files -z '*.cpp' '*.hpp' | xargs -0 clang-format --dry-run --Werror
    "$venv/bin/ruff" check --quiet .
    shellcheck scripts/*.sh .ci/run
}

stage_clang() {
    command -v clang++-19 >/dev/null || install_debian_packages clang-19
    say "building and running the core's tests with clang++-19"
    configure_core_tests "$root/build/core-tests-clang" -DCMAKE_CXX_COMPILER=clang++-19
    run_core_tests "$root/build/core-tests-clang"
}

stage_release() {
    bash "$root/scripts/release.sh"
}

# Runs a stage and says how long it took.
run_stage() {
    local stage="$1" started=$SECONDS
    shift
    "stage_$stage" "$@"
    say "stage $stage passed in $((SECONDS - started)) s"
}

# The sanitize stage takes longest and shares nothing with the others, so
# when other stages are chosen too it runs beside them and the set-up, in
# the background, its output in build/logs/sanitize.log and shown whole
# when it ends: one core each.
background=(sanitize)
logs="$root/build/logs"
running=()  # "stage pid" of each background stage not yet shown

start_in_background() {
    local stage="$1"
    shift
    mkdir -p "$logs"
    rm -f "$logs/$stage.ended"
    say "stage $stage runs in the background; its output comes when it ends"
    # In a process group of its own, so that stopping the run stops all of it.
    set -m
    (
        trap 'touch "$logs/$stage.ended"' EXIT
        run_stage "$stage" "$@"
    ) </dev/null >"$logs/$stage.log" 2>&1 &
    set +m
    running+=("$stage $!")
}

# Shows the output of each background stage that has ended, or with "all"
# waits for every one; stops the run at the first that failed.
show_ended() {
    local entry stage pid status still=()
    for entry in "${running[@]}"; do
        stage="${entry% *}" pid="${entry#* }"
        if [ "${1:-}" != all ] && [ ! -f "$logs/$stage.ended" ]; then
            still+=("$entry")
            continue
        fi
        status=0
        wait "$pid" || status=$?
        say "output of stage $stage (build/logs/$stage.log):"
        cat "$logs/$stage.log" >&2
        [ "$status" -eq 0 ] || die "stage $stage failed"
    done
    running=("${still[@]}")
}

# SIGKILL: a group signalled as it starts could lose a catchable signal
# while its subshell resets the traps it inherited.
stop_background() {
    local entry
    for entry in "${running[@]}"; do
        kill -KILL -- "-${entry#* }" 2>/dev/null || true
        wait "${entry#* }" 2>/dev/null || true
    done
}
trap stop_background EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

stages="${QUORVANE_TEST_STAGES:-lint normal clang release sanitize aarch64}"
for stage in $stages; do
    declare -F "stage_$stage" >/dev/null \
        || die "unknown test stage '$stage' (lint, normal, sanitize, aarch64, clang, release)"
done
# CMake's builds, each on every core (the background stage's too).
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"

started=$SECONDS
have_gtest || install_debian_packages libgtest-dev
cd "$root" || exit
# The background stage starts once .venv has its interpreter, from which it
# makes its own environment, and sets itself up while this one does.
make_venv
read -ra chosen <<<"$stages"
foreground=()
for stage in "${chosen[@]}"; do
    if [ "${#chosen[@]}" -gt 1 ] && [[ " ${background[*]} " == *" $stage "* ]]; then
        start_in_background "$stage" "$@"
    else
        foreground+=("$stage")
    fi
done
install_requirements test
install_quorvane "${with_core_tests[@]}" -Ccmake.define.QUORVANE_BUILD_BENCH=ON \
    -Cbuild-dir=build/core-tests
say "set-up done in $((SECONDS - started)) s"
for stage in "${foreground[@]}"; do
    show_ended
    run_stage "$stage" "$@"
done
show_ended all
say "every stage passed in $((SECONDS - started)) s"
