#!/bin/sh
# Runs the protocol suites with node's test runner against the installation given as $1,
# installing the pinned client libraries first when they are not there yet.
set -e
cd "$(dirname "$0")"
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  echo "protocol tests skipped: node and npm are not installed (scripts/prerequisites installs them)"
  exit 77
fi
if [ ! -d node_modules/vscode-languageserver-protocol ] || [ ! -d node_modules/@vscode/debugadapter-testsupport ]; then
  npm ci --no-audit --no-fund >/dev/null
fi
VORN="$1/bin/vorn" node --test
# The debugged programs run under the user's interpreter: again under the debug one.
if [ -x /usr/bin/python2.7-dbg ]; then
  VORN="$1/bin/vorn" PYTHON=/usr/bin/python2.7-dbg exec node --test dap.test.js
fi
