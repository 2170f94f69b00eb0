#!/bin/sh
# The Node.js package's tests: installs its npm dependencies, builds the
# addon and the C tool from this repository's sources (cmake-js), and runs
# node --test. Skips, saying why, where Node, npm or the npm packages
# cannot be had; a build or test failure fails.
# ZIPFOLDER_TOOL may name the C tool to compare with (default: the one built here).
set -e
cd "$(dirname "$0")"
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  echo "node: skipped, Node.js or npm is not installed"
  exit 0
fi
if ! node -e 'process.exit(Number(process.versions.node.split(".")[0]) >= 18 ? 0 : 1)'; then
  echo "node: skipped, Node $(node --version) is older than 18"
  exit 0
fi
if ! npm install --ignore-scripts --no-audit --no-fund --loglevel=error >npm-install.log 2>&1; then
  echo "node: skipped, the npm packages cannot be installed ($(grep -m 1 "npm error" npm-install.log))"
  rm -f npm-install.log
  exit 0
fi
rm -f npm-install.log
./node_modules/.bin/cmake-js compile --parallel 2 --log-level warn --CDZIPFOLDER_WERROR=ON
node --test test/*.test.js
