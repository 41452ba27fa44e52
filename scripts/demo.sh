#!/usr/bin/env bash
# Builds quorvane into .venv and runs the demo; arguments go to the demo.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

make_venv
install_requirements demo
install_quorvane
cd "$root"
exec "$venv_python" examples/demo.py "$@"
