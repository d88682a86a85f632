#!/usr/bin/env bash
# Opens the report's HTML page in headless Chromium: no console errors, a bar in the rendered SVG
# for every scope, and a screenshot kept beside the test's files. Skipped (77) without Chromium.
# Usage: ReportBrowserTest.sh REPORT_BINARY DEMO_BINARY WORK_DIR
set -uo pipefail
report="$1"
demo="$2"
work="$3"
browser="$(command -v chromium || command -v chromium-browser || true)"
if [ -z "$browser" ]; then
    echo "SKIPPED: chromium is not installed (scripts/setup installs it where it can)"
    exit 77
fi
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
"$demo" --threads=2 --events=20 -raw=run.csv >/dev/null 2>&1 || { echo "FAIL: no run recorded"; exit 1; }
"$report" run.csv -q --html run.html || { echo "FAIL: no page written"; exit 1; }
flags=(--headless --no-sandbox --disable-gpu --disable-quic --no-first-run
       --disable-background-networking --disable-component-update --disable-sync
       --user-data-dir="$work/profile" --enable-logging=stderr --v=0 --window-size=1600,1000)
timeout 120 "$browser" "${flags[@]}" --screenshot="$work/run.png" "file://$work/run.html" \
    >/dev/null 2>browser.log || { echo "FAIL: chromium did not render the page"; tail browser.log; exit 1; }
timeout 120 "$browser" "${flags[@]}" --dump-dom "file://$work/run.html" >dom.html 2>>browser.log ||
    { echo "FAIL: chromium did not load the page"; exit 1; }
failures=0
if grep -E 'CONSOLE|Uncaught' browser.log; then
    echo "FAIL: the page logged to the console"
    failures=$((failures + 1))
fi
closes="$(awk -F, 'NR > 1 && $4 == 6' run.csv | wc -l)"
bars="$(grep -o '<rect class="scope"' dom.html | wc -l)"
if [ "$bars" -ne "$closes" ]; then
    echo "FAIL: the rendered timeline has $bars scope bars for $closes scopes"
    failures=$((failures + 1))
fi
[ -s run.png ] || { echo "FAIL: no screenshot"; failures=$((failures + 1)); }
[ "$failures" -eq 0 ] && echo "report page: rendered without console errors, $bars scope bars, screenshot in $work/run.png"
exit "$failures"
