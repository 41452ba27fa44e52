# shellcheck shell=bash
# Set-up shared by the project's commands; sourced, not run.
#
# Finds CPython 3.13 (PYTHON, then python3.13 on PATH, then a pyenv
# installation, then /usr/bin/python3.13), makes the project's virtual
# environment in .venv, installs the Python packages a command needs and
# builds quorvane into it. Each step is skipped when what it would make is
# already there and up to date, so a second run reuses the first one's work.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Makes DIR the virtual environment that the functions below work on.
use_venv() {
    venv="$1"
    venv_python="$venv/bin/python"
    export PATH="$venv/bin:$PATH"
}
use_venv "$root/.venv"

die() { printf 'quorvane: %s\n' "$*" >&2; exit 1; }
say() { printf '==> %s\n' "$*" >&2; }

# A working CPython 3.13 with the interpreter lock (not a free-threaded build).
is_python313() {
    "$1" - <<'PY' >/dev/null 2>&1
import sys, sysconfig
ok = (sys.implementation.name == "cpython" and sys.version_info[:2] == (3, 13)
      and not sysconfig.get_config_var("Py_GIL_DISABLED"))
sys.exit(0 if ok else 1)
PY
}

find_python313() {
    if [ -n "${PYTHON:-}" ]; then
        is_python313 "$PYTHON" || die "PYTHON=$PYTHON is not a working CPython 3.13"
        printf '%s\n' "$PYTHON"
        return
    fi
    if command -v python3.13 >/dev/null 2>&1 && is_python313 python3.13; then
        command -v python3.13
        return
    fi
    local pyenv_root="${PYENV_ROOT:-}"
    if [ -z "$pyenv_root" ] && command -v pyenv >/dev/null 2>&1; then
        pyenv_root="$(pyenv root 2>/dev/null || true)"
    fi
    pyenv_root="${pyenv_root:-$HOME/.pyenv}"
    local candidate
    while IFS= read -r candidate; do
        if is_python313 "$candidate/bin/python3.13"; then
            printf '%s\n' "$candidate/bin/python3.13"
            return
        fi
    done < <(printf '%s\n' "$pyenv_root"/versions/3.13.* | sort -V -r)
    if is_python313 /usr/bin/python3.13; then
        printf '%s\n' /usr/bin/python3.13
        return
    fi
    die "CPython 3.13 not found. Set PYTHON=/path/to/python3.13, put python3.13 on PATH, \
install it with pyenv ('pyenv install 3.13'), or install Debian's python3.13, python3.13-dev and python3.13-venv."
}

make_venv() {
    if [ -x "$venv_python" ] && is_python313 "$venv_python"; then
        return
    fi
    local python
    python="$(find_python313)"
    "$python" - <<'PY' || die "$python has no development headers (Python.h): install python3.13-dev, or point PYTHON at a CPython 3.13 that has them"
import os, sys, sysconfig
sys.exit(0 if os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")) else 1)
PY
    say "making the virtual environment ${venv#"$root"/} with $python"
    rm -rf "$venv"
    "$python" -m venv "$venv" || die "$python cannot make a virtual environment: install python3.13-venv"
}

# Installs what building needs and what the named extras of pyproject.toml
# list, unless this environment already has it.
install_requirements() {
    local stamp packages
    stamp="$venv/.installed-${*// /-}-$(sha256sum "$root/pyproject.toml" | cut -c1-16)"
    [ -f "$stamp" ] && return
    say "installing the Python packages of the extras: $*"
    packages="$("$venv_python" "$root/scripts/requirements.py" "$@")" \
        || die "cannot read the extras $* from pyproject.toml"
    # shellcheck disable=SC2086 # one requirement a line, none with a space
    "$venv_python" -m pip install --quiet --disable-pip-version-check $packages \
        || die "pip could not install the extras $*"
    if ! command -v cmake >/dev/null 2>&1 \
        || ! cmake --version | awk 'NR==1 { split($3, v, "."); exit !(v[1] > 3 || (v[1] == 3 && v[2] >= 26)) }'; then
        "$venv_python" -m pip install --quiet --disable-pip-version-check 'cmake>=3.26' \
            || die "pip could not install CMake"
    fi
    touch "$stamp"
}

# Builds and installs quorvane into the environment when its sources changed;
# arguments are further build settings (-C options). Compiler warnings are
# errors under CI.
install_quorvane() {
    local sources definitions="$*" stamp
    if [ -n "${CI:-}" ]; then
        definitions="$definitions -Ccmake.define.QUORVANE_WERROR=ON"
    fi
    sources="$(cd "$root" && { git ls-files -co --exclude-standard core module CMakeLists.txt pyproject.toml quorvane.pyi quorvane_stream.pyi quorvane_ta 2>/dev/null \
        || find core module CMakeLists.txt pyproject.toml quorvane.pyi quorvane_stream.pyi quorvane_ta -type f; } | sort | xargs cat | sha256sum | cut -c1-16)"
    stamp="$venv/.built-$sources-$(printf '%s' "$definitions" | sha256sum | cut -c1-16)"
    if [ -f "$stamp" ] && "$venv_python" -c 'import quorvane' 2>/dev/null; then
        return
    fi
    say "building quorvane"
    rm -f "$venv"/.built-*
    # shellcheck disable=SC2086
    "$venv_python" -m pip install --quiet --disable-pip-version-check --no-build-isolation \
        --no-deps $definitions "$root" || die "building quorvane failed"
    touch "$stamp"
}
