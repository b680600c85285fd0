#!/bin/bash
# Compares the dynamic symbols a shared library defines with a kept list, so
# that an accidental export or a lost function shows at once.
set -euo pipefail
library=$1
expected=$2
actual=$(nm -D --defined-only "$library" | awk '{print $3}' | sed 's/@.*//' | sort -u)
wanted=$(grep -v '^#' "$expected" | sed '/^$/d' | sort -u)
if [ "$actual" != "$wanted" ]; then
  echo "exported symbols differ from $expected (< exported only, > listed only):"
  diff <(echo "$actual") <(echo "$wanted") || true
  exit 1
fi
echo "exports match ($(echo "$actual" | wc -l) symbols)"
