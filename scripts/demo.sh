#!/usr/bin/env bash
# Builds quorvane into .venv and runs the demo: the four indicators over
# generated bars, or over a CSV file given with --csv PATH. Arguments go to
# examples/demo.py (--help lists them).
# shellcheck source=setup.sh
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

make_venv
install_requirements demo
install_quorvane
# From the caller's directory, so that relative paths mean what they say.
exec "$venv_python" "$root/examples/demo.py" "$@"
