#!/usr/bin/env bash
# The demo: shows the library at work. Argument: the build folder.
set -euo pipefail
BUILD=${1:-build}
if [[ -x "$BUILD/examples/xml_demo" ]]; then
  "$BUILD/examples/xml_demo"
else
  echo "The demo program is not built yet."
fi
