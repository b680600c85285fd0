#!/bin/bash
# Installs the package as a Python user would, with pip into a fresh virtual
# environment, and replays a capture with it from another folder, with
# nothing of the build tree in the environment.
#   wheel_in_venv_test.sh PYTHON_SOURCE LIBRARY_DIR TOOL PYTHON
# No package index is reachable: the environment sees Debian's numpy and
# setuptools through --system-site-packages, and pip neither downloads nor
# isolates the build.
set -euo pipefail
source=$1 libdir=$2 tool=$3 python=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; exit 1; }

# pip builds in the folder it is given: a copy keeps the source tree clean.
cp -r "$source" "$work/python"
rm -rf "$work/python/build" "$work/python"/*.egg-info
"$python" -m venv --system-site-packages "$work/venv"
VORLAN_LIBRARY_PATH=$libdir "$work/venv/bin/pip" install --quiet --no-index --no-build-isolation \
  --disable-pip-version-check "$work/python" >"$work/pip.log" 2>&1 || { cat "$work/pip.log"; fail "pip install"; }
rm -rf "$work/python"

unset VORLAN_LIBRARY_PATH LD_LIBRARY_PATH PYTHONPATH
mkdir "$work/elsewhere"
cd "$work/elsewhere"
"$tool" sim --seed 1 --seconds 3 --out "$work/sample.pcap" >/dev/null

"$work/venv/bin/python" - "$work/venv" <<'PYTHON' || fail "the installed package is not the venv's own"
import os, sys
import vorlan, vorlan.sdk, vorlan.sdk2
venv = os.path.realpath(sys.argv[1])
for path in (vorlan.__file__, vorlan.sdk.library()._name, vorlan.sdk2.library()._name):
    assert os.path.realpath(path).startswith(venv + os.sep), path
print("vorlan", vorlan.__version__, "from", os.path.dirname(vorlan.__file__))
PYTHON

for library in 1 2; do
  python_points=$("$work/venv/bin/python" -c \
    "import sys, vorlan; print(sum(len(f.x) for f in vorlan.replay(sys.argv[1], library=$library)))" \
    "$work/sample.pcap")
  tool_points=$("$tool" replay "$work/sample.pcap" --sdk $library | sed -n 's/.*frames [0-9]*  points \([0-9]*\).*/\1/p')
  echo "library $library: Python $python_points points, the tool $tool_points"
  [ -n "$tool_points" ] && [ "$python_points" = "$tool_points" ] || fail "library $library gives other points"
done
echo "wheel in a fresh venv: passed"
