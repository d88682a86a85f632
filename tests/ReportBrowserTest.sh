#!/usr/bin/env bash
# Drives the report's page in headless Chromium with puppeteer-core (installed from npm into the
# build tree, pointed at Debian's Chromium; never a downloaded browser) and keeps a screenshot
# beside the test's files. Skipped (77) without Chromium, Node.js or the npm registry.
# Usage: ReportBrowserTest.sh REPORT_BINARY DEMO_BINARY SCRIPT_DIR WORK_DIR
set -uo pipefail
report="$1"
demo="$2"
scripts="$3"
work="$4"
browser="$(command -v chromium || command -v chromium-browser || true)"
if [ -z "$browser" ] || ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    echo "SKIPPED: chromium, node or npm is not installed (scripts/setup installs them where it can)"
    exit 77
fi
modules="$(dirname "$work")/report-browser-node"
if [ ! -d "$modules/node_modules/puppeteer-core" ]; then
    mkdir -p "$modules"
    PUPPETEER_SKIP_DOWNLOAD=1 timeout 600 npm install --prefix "$modules" --no-audit --no-fund \
        --silent puppeteer-core@22.15.0 >"$modules/npm.log" 2>&1 ||
        { echo "SKIPPED: puppeteer-core could not be installed from npm"; tail "$modules/npm.log"; exit 77; }
fi
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
"$demo" --threads=2 --events=40 -raw=run.csv >/dev/null 2>&1 || { echo "FAIL: no run recorded"; exit 1; }
"$report" run.csv -q --html run.html || { echo "FAIL: no page written"; exit 1; }
NODE_PATH="$modules/node_modules" timeout 180 node "$scripts/page_test.js" "file://$work/run.html" \
    "$work/run.png" "$browser"
