#!/usr/bin/env bash
# Builds the release files into build/dist and checks them: the sdist, and
# the wheel built from it and repaired by auditwheel to a manylinux tag.
# Each is installed into a fresh CPython 3.13 environment and passes
# scripts/smoke.py there; the wheel with no compiler in reach, the sdist
# built from source by pip. Build logs go to build/release.
# shellcheck source=setup.sh
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

make_venv
install_requirements release

dist="$root/build/dist"
work="$root/build/release"
rm -rf "$dist" "$work"
mkdir -p "$dist" "$work"
python="$(find_python313)"
version="$("$venv_python" -c 'import sys, tomllib; print(tomllib.load(open(sys.argv[1], "rb"))["project"]["version"])' \
    "$root/pyproject.toml")"

# Runs a command with its output in build/release/LOG, shown if it fails.
logged() {
    local log="$work/$1.log"
    shift
    "$@" >"$log" 2>&1 || { cat "$log" >&2; die "failed: $* (log: ${log#"$root"/})"; }
}

say "building the sdist"
logged sdist "$venv_python" -m build --sdist --outdir "$dist" "$root"
sdist="$dist/quorvane-$version.tar.gz"

# The wheel is built from the sdist, so a file missing from the sdist fails
# here; and it is built as pip install builds from source (a wheel in an
# isolated environment, then installed), in the environment that then
# installs it, so this one build checks both.
say "building the wheel from the sdist with pip, in a fresh environment"
"$python" -m venv "$work/sdist-env"
# pip keeps the wheel it builds from a local sdist under the sdist's path; a
# stale one would skip the build this is here to check.
"$venv_python" -m pip cache remove quorvane >/dev/null 2>&1
logged wheel "$work/sdist-env/bin/python" -m pip wheel --no-deps --wheel-dir "$work/built" "$sdist"

say "repairing the wheel to a manylinux tag"
logged auditwheel "$venv/bin/auditwheel" repair --wheel-dir "$dist" "$work"/built/quorvane-"$version"-*.whl
wheels=("$dist"/quorvane-"$version"-cp313-cp313-manylinux*.whl)
[ -f "${wheels[0]}" ] || die "auditwheel made no manylinux wheel: $(ls "$dist")"
wheel="${wheels[0]}"

say "installing $(basename "$wheel") with no compiler on PATH"
"$python" -m venv "$work/wheel-env"
# Only the environment's own programs are in reach; CC and CXX fail at once
# should anything try to compile.
no_compiler=(env PATH="$work/wheel-env/bin" CC=/bin/false CXX=/bin/false)
logged wheel-install "${no_compiler[@]}" "$work/wheel-env/bin/python" -m pip install "$wheel"
"${no_compiler[@]}" "$work/wheel-env/bin/python" -I "$root/scripts/smoke.py" "$version" --no-compiler

say "installing the wheel built from $(basename "$sdist")"
logged sdist-install "$work/sdist-env/bin/python" -m pip install "$work"/built/quorvane-"$version"-*.whl
"$work/sdist-env/bin/python" -I "$root/scripts/smoke.py" "$version"

say "release files in ${dist#"$root"/}:"
ls -1 "$dist" >&2
