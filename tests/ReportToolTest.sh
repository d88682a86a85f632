#!/usr/bin/env bash
# Runs quillmetrics-report as a user would: on a file the library wrote and on a small file with a
# known summary, on bad input, and checks the trace JSON and the HTML page it writes.
# Usage: ReportToolTest.sh REPORT_BINARY DEMO_BINARY SOURCE_DIR WORK_DIR
set -uo pipefail
report="$1"
demo="$2"
source="$3"
work="$4"
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# A small file with a known summary: pairing, unpaired opens and closes, quoting, percentiles.
"$report" "$source/report/small.csv" >small.txt 2>&1 || fail "the small file was refused"
sed "s|^$source/report/||" small.txt | diff -u "$source/report/small.summary" - ||
    fail "the summary of small.csv differs from report/small.summary"

# A run recorded by the library itself.
"$demo" --threads=2 --events=40 -raw=run.csv >/dev/null 2>&1 || fail "the demo did not record a run"
"$report" run.csv --html run.html --trace run.json >summary.txt 2>err.txt ||
    fail "the report of a recorded run failed: $(cat err.txt)"
for section in "events by type:" "contexts:" "scopes by total time" "attributes:" "unpaired:"; do
    grep -q "$section" summary.txt || fail "the summary has no '$section'"
done
# Contexts come grouped by name; the tree only on request, with long runs of siblings folded.
grep -Eq '^  work-item +40 ' summary.txt || fail "no group of the 40 work items: $(cat summary.txt)"
grep -q "context tree:" summary.txt && fail "the tree was printed without --tree"
[ "$(wc -l <summary.txt)" -le 60 ] || fail "the summary of 40 work items takes $(wc -l <summary.txt) lines"
"$report" run.csv --tree >tree.txt 2>&1 || fail "--tree failed"
grep -Eq '^ +… [0-9]+ more work-item$' tree.txt || fail "no run of work items was folded: $(cat tree.txt)"
folded="$(grep -Eo '… [0-9]+ more work-item' tree.txt | awk '{s += $2} END {print s + 0}')"
shown="$(grep -c '(work-item) parent' tree.txt)"
[ $((folded + shown)) -eq 40 ] || fail "the tree shows $shown and folds $folded of 40 work items"
if command -v python3 >/dev/null; then
    python3 - run.csv run.json run.html <<'PY' || fail "the trace or the page breaks the rules"
import csv, json, sys, collections
rows = list(csv.reader(open(sys.argv[1], newline='', encoding='utf-8')))[1:]
closes = sum(1 for r in rows if r[3] == '6')
trace = json.load(open(sys.argv[2]))["traceEvents"]
assert all("name" in e and "ph" in e for e in trace)
begins = collections.Counter(e["id"] for e in trace if e["ph"] == "b")
ends = collections.Counter(e["id"] for e in trace if e["ph"] == "e")
assert begins == ends and len(begins) == closes, (len(begins), len(ends), closes)
last = {}
for e in trace:
    if "ts" in e:
        assert e["ts"] >= last.get(e["tid"], 0), e
        last[e["tid"]] = e["ts"]
named = {e["tid"] for e in trace if e["ph"] == "M" and e["name"] == "thread_name"}
assert {e["tid"] for e in trace if e["ph"] in "bei"} <= named
html = open(sys.argv[3], encoding='utf-8').read()
data = json.loads(html.split('<script type="application/json" id="run-data">')[1].split("</script>")[0])
assert len(data["scopes"]) == 5 * closes, (len(data["scopes"]), closes)
assert html.index('id="summary"') < html.index('id="timeline"')
# Self-contained: nothing is fetched from anywhere.
assert "src=" not in html and "http://" not in html.replace("http://www.w3.org/2000/svg", "")
PY
fi

# Several files: the runs of as many processes, merged in the summary and the page, one process
# each in the trace.
"$demo" --threads=1 --events=20 -raw=run2.csv >/dev/null 2>&1 || fail "the second run was not recorded"
"$report" run.csv run2.csv --html both.html --trace both.json >both.txt 2>err.txt ||
    fail "two files were refused: $(cat err.txt)"
head -1 both.txt | grep -q "^2 runs, one process each, merged below:" || fail "no merged heading: $(head -3 both.txt)"
grep -q "^  run.csv: " both.txt && grep -q "^  run2.csv: " both.txt || fail "the files are not listed"
grep -Eq '^  work-item +60 ' both.txt || fail "the work items of both runs are not merged"
if command -v python3 >/dev/null; then
    python3 - run.csv run2.csv both.json both.html <<'PY' || fail "the merged trace or page is wrong"
import csv, json, sys
closes = [sum(1 for r in list(csv.reader(open(p, newline="", encoding="utf-8")))[1:] if r[3] == "6")
          for p in sys.argv[1:3]]
trace = json.load(open(sys.argv[3]))["traceEvents"]
processes = {e["pid"]: e["args"]["name"] for e in trace if e["name"] == "process_name"}
assert processes == {1: "run.csv", 2: "run2.csv"}, processes
for pid in (1, 2):
    assert sum(1 for e in trace if e["ph"] == "b" and e["pid"] == pid) == closes[pid - 1]
html = open(sys.argv[4], encoding="utf-8").read()
data = json.loads(html.split('id="run-data">')[1].split("</script>")[0])
assert len(data["scopes"]) == 5 * sum(closes)
PY
fi

# A long read shows its progress on a terminal only (script gives the tool one).
awk 'BEGIN { print "timestamp,datetime,context_id,event_type,param1,param2";
             for (i = 0; i < 200000; i++) printf "%d,1.000000,1,8,name,%d\n", 1000 + i, i }' >long.csv
if command -v script >/dev/null; then
    QUILLMETRICS_REPORT_PROGRESS_MS=0 script -qec "'$report' -q long.csv" /dev/null >tty.txt 2>&1 ||
        fail "the report on a terminal failed"
    grep -q "reading long.csv: [0-9]*%" tty.txt || fail "no progress line on a terminal: $(head -c 300 tty.txt)"
fi
QUILLMETRICS_REPORT_PROGRESS_MS=0 "$report" -q long.csv 2>err.txt || fail "the long file was refused"
[ ! -s err.txt ] || fail "progress went to a pipe: $(head -c 200 err.txt)"

# Bad input: a clear message with the file and line, and a non-zero exit.
check_bad() {
    local name="$1" content="$2" expect="$3"
    printf '%b' "$content" >"$name"
    "$report" "$name" >/dev/null 2>err.txt && fail "$name was accepted"
    grep -q -- "$expect" err.txt || fail "$name: expected '$expect', got: $(cat err.txt)"
}
header='timestamp,datetime,context_id,event_type,param1,param2\n'
check_bad noheader.csv '1,2.000000,0,8,a,b\n' 'noheader.csv:1: not a quillmetrics event file'
check_bad empty.csv '' 'empty.csv:1: the file is empty'
check_bad short.csv "${header}1,2.000000,0,8,a,b\n1,2.000000,0,8\n" 'short.csv:3: expected 6 fields, found 4'
check_bad stamp.csv "${header}x1,2.000000,0,8,a,b\n" 'stamp.csv:2: the timestamp is not a number'
check_bad type.csv "${header}1,2.000000,0,eight,a,b\n" 'type.csv:2: the event type is not a number'
check_bad quote.csv "${header}1,2.000000,0,8,\"open,b\n" 'quote.csv:2: a quoted field is not closed'
"$report" missing.csv >/dev/null 2>err.txt && fail "a missing file was accepted"
grep -q "missing.csv: cannot open" err.txt || fail "a missing file is not named"

# A cut last line is left out and said so; the rest is reported.
printf "${header}1,2.000000,0,8,a,b\n2,2.000000,0,8,c" >cut.csv
"$report" cut.csv >cut.txt 2>&1 || fail "a file with a cut last line was refused"
grep -q "cut.csv: 1 events" cut.txt && grep -q "the last line was cut" cut.txt ||
    fail "the cut last line was not reported: $(cat cut.txt)"

# Values hold what the host gave: code-page text and stray bytes must still give valid UTF-8 in
# every output, and valid JSON.
printf "${header}1,2.000000,0,2,0,1\n2,2.000000,0,3,0,1\n3,2.000000,1,5,caf\xe9 \xff\xfe,0\n" >bytes.csv
printf "4,2.000000,1,8,n\xc3\xa4me,\xed\xa0\x80 \xe2\x82\n5,2.000000,1,6,caf\xe9 \xff\xfe,0\n" >>bytes.csv
"$report" bytes.csv --html bytes.html --trace bytes.json >bytes.txt 2>err.txt ||
    fail "a file with stray bytes was refused: $(cat err.txt)"
if command -v python3 >/dev/null; then
    python3 - bytes.txt bytes.json bytes.html <<'PY' || fail "an output of stray bytes is not valid"
import json, sys
summary, trace, page = (open(p, "rb").read().decode("utf-8") for p in sys.argv[1:])
json.loads(trace)
assert "caf\ufffd \ufffd\ufffd" in summary and "n\u00e4me" in summary, summary
assert "caf\ufffd \ufffd\ufffd" in page and "caf\ufffd \ufffd\ufffd" in trace
PY
fi

# An output that cannot be written whole leaves the one before it as it was.
echo "previous" >kept.json
(trap '' XFSZ && ulimit -f 1 && "$report" run.csv --quiet --trace kept.json) >/dev/null 2>err.txt &&
    fail "a trace larger than the size limit was written"
grep -q "writing kept.json failed" err.txt || fail "the failed write was not reported: $(cat err.txt)"
[ "$(cat kept.json)" = "previous" ] || fail "a failed write changed the previous trace"
ls kept.json.* >/dev/null 2>&1 && fail "a failed write left its partial file behind"

# diff: two runs with known changes. Each scope's durations in microseconds, one context each.
run_file() {  # run_file FILE "name:us,us,... name:us ..."
    local file="$1" t=1000 context=0 entry name durations d
    printf 'timestamp,datetime,context_id,event_type,param1,param2\n' >"$file"
    for entry in $2; do
        name="${entry%%:*}" durations="${entry#*:}" context=$((context + 1))
        for d in ${durations//,/ }; do
            printf '%s,1.000000,%s,5,%s,0\n%s,1.000000,%s,6,%s,0\n' "$t" "$context" "$name" \
                $((t + d * 1000)) "$context" "$name" >>"$file"
            t=$((t + d * 1000 + 1000))
        done
    done
}
run_file base.csv "steady:10,10,10 slower:10,10,10 faster:20 little:20 gone:5"
run_file new.csv "steady:10,10,10 slower:20,20,20 faster:10 little:21 added:7"
"$report" diff base.csv new.csv --html diff.html >diff.txt 2>err.txt || fail "diff failed: $(cat err.txt)"
order="$(awk 'NR > 3 && /^  [a-z]/ {print $1}' diff.txt | tr '\n' ' ')"
[ "$order" = "slower little steady faster " ] || fail "diff order: '$order'"
grep -Eq '^  slower .* \+100\.0% .* \+100\.0% ' diff.txt || fail "slower is not +100%: $(cat diff.txt)"
grep -Eq '^  little .* \+5\.0% ' diff.txt || fail "little is not +5%"
grep -Eq '^  faster .* -50\.0% ' diff.txt || fail "faster is not -50%"
grep -q "only in base.csv: gone" diff.txt && grep -q "only in new.csv: added" diff.txt ||
    fail "scopes of one run only are not listed: $(cat diff.txt)"
grep -c '<tr><td>' diff.html | grep -qx 4 || fail "the diff page does not have one row per scope"
"$report" diff base.csv new.csv --fail-above 150 >/dev/null 2>&1 || fail "--fail-above 150 failed"
"$report" diff base.csv new.csv --fail-above 99 >/dev/null 2>err.txt
[ $? -eq 2 ] || fail "--fail-above 99 did not exit 2"
grep -q "slower by more than 99%" err.txt || fail "the regression was not named: $(cat err.txt)"
"$report" diff base.csv new.csv --fail-above 4 >/dev/null 2>&1; [ $? -eq 2 ] || fail "+5% passed --fail-above 4"
"$report" diff base.csv stamp.csv >/dev/null 2>err.txt && fail "a bad file was compared"
grep -q "stamp.csv:2: the timestamp is not a number" err.txt || fail "diff: $(cat err.txt)"
run_file other.csv "elsewhere:3"
"$report" diff base.csv other.csv >/dev/null 2>err.txt && fail "runs without a common scope were compared"
grep -q "no scope in common" err.txt || fail "diff of unrelated runs: $(cat err.txt)"
"$report" diff base.csv >/dev/null 2>&1 && fail "diff with one file was accepted"

[ "$failures" -eq 0 ] && echo "report tool: all checks passed"
exit "$failures"
