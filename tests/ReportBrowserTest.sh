#!/usr/bin/env bash
# Drives the report's page in headless Chromium with puppeteer-core (installed from npm into the
# build tree, pointed at Debian's Chromium; never a downloaded browser) and keeps screenshots
# beside the test's files (run.png, run-two.png). Skipped (77) without Chromium, Node.js or the npm registry.
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
# A second file whose scope name would end or comment out a page's script if it were embedded raw.
printf '%s\n' timestamp,datetime,context_id,event_type,param1,param2 1000,1.0,0,3,0,7 \
    '2000,1.0,7,5,<!--<script>,0' '9000,1.0,7,6,<!--<script>,0' >hostile.csv
"$report" run.csv hostile.csv -q --html two.html || { echo "FAIL: no page of two files written"; exit 1; }
NODE_PATH="$modules/node_modules" timeout 180 node "$scripts/page_test.js" "file://$work/run.html" \
    "file://$work/two.html" "$work/run.png" "$browser"
