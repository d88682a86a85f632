#!/usr/bin/env bash
# Runs quillmetrics-report as a user would: on a file the library wrote and on small files with a
# known summary, on bad and hostile input, with outputs that would overwrite inputs, and checks the
# trace JSON and the HTML page it writes, and the diff's gate.
# Usage: ReportToolTest.sh REPORT_BINARY DEMO_BINARY SOURCE_DIR WORK_DIR
set -uo pipefail
report="$1"
demo="$2"
source="$3"
work="$4"
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
header='timestamp,datetime,context_id,event_type,param1,param2'

# A small file with a known summary: pairing, nesting and self time, unpaired opens and closes,
# quoting, percentiles, attribute and emitted-value statistics.
"$report" "$source/report/small.csv" >small.txt 2>&1 || fail "the small file was refused"
sed "s|^$source/report/||" small.txt | diff -u "$source/report/small.summary" - ||
    fail "the summary of small.csv differs from report/small.summary"

# Self time on two contexts that overlap (two threads): A holds B on each; the shares pass 100%.
printf '%s\n' "$header" 1000,1.0,1,5,A,0 11000,1.0,1,5,B,0 41000,1.0,1,6,B,0 51000,1.0,2,5,A,0 \
    61000,1.0,2,5,B,0 81000,1.0,2,6,B,0 101000,1.0,1,6,A,0 151000,1.0,2,6,A,0 >overlap.csv
"$report" overlap.csv >overlap.txt 2>&1 || fail "overlap.csv was refused"
grep -Eq '^  A +2 +200 µs +133% +150 µs +100% ' overlap.txt || fail "self time of A: $(cat overlap.txt)"
grep -Eq '^  B +2 +50\.0 µs +33% +50\.0 µs +33% ' overlap.txt || fail "self time of B: $(cat overlap.txt)"
grep -q "note: contexts ran at the same time" overlap.txt || fail "no note on overlapping threads"

# Units at their edges: each duration in the unit that shows it in 1 to 999.
{
    echo "$header"
    t=1000
    for d in 999 1000 999499 999500 1000000 999999999 1000000000; do
        echo "$t,1.0,1,5,d$d,0" && echo "$((t + d)),1.0,1,6,d$d,0" && t=$((t + d + 1))
    done
} >units.csv
"$report" units.csv >units.txt 2>&1 || fail "units.csv was refused"
for expect in "d999 999 ns" "d1000 1.00 µs" "d999499 999 µs" "d999500 1.00 ms" "d1000000 1.00 ms" \
    "d999999999 1.00 s" "d1000000000 1.00 s"; do
    grep -Eq "^  ${expect% * *} +1 +${expect#* } " units.txt || fail "unit of ${expect% * *}: $(grep "${expect% * *} " units.txt)"
done

# An empty run says so in every output.
echo "$header" >empty-run.csv
"$report" empty-run.csv --html empty.html --trace empty.json >empty.txt 2>&1 || fail "an empty run was refused"
grep -q "empty-run.csv: no events recorded" empty.txt && grep -q "no events recorded" empty.html &&
    grep -q "no events recorded" empty.json || fail "an empty run is not said to be empty"
"$report" diff empty-run.csv "$source/report/small.csv" >/dev/null 2>err.txt
[ $? -eq 1 ] && grep -q "no events recorded" err.txt || fail "diff of an empty run: $(cat err.txt)"

# A run recorded by the library itself.
"$demo" --threads=2 --events=40 -raw=run.csv >/dev/null 2>&1 || fail "the demo did not record a run"
"$report" run.csv --html run.html --trace run.json >summary.txt 2>err.txt ||
    fail "the report of a recorded run failed: $(cat err.txt)"
grep -Eq '^wrote run.json \([0-9]+ KB\)$' err.txt && grep -Eq '^wrote run.html \([0-9]+ KB\)$' err.txt ||
    fail "the written files were not confirmed: $(cat err.txt)"
for section in "events by type:" "contexts:" "scopes by total time" "attributes:" "unpaired:" \
    "values emitted in scopes:"; do
    grep -q "$section" summary.txt || fail "the summary has no '$section'"
done
grep -Eq '^  work-item +40 ' summary.txt || fail "no group of the 40 work items: $(cat summary.txt)"
grep -Eq '^  rows +40 times +numbers: min [0-9]+, mean [0-9.]+, max [0-9]+$' summary.txt ||
    fail "no statistics of the numeric attribute rows"
grep -Eq '^    bytes +40 times +numbers: ' summary.txt || fail "the values emitted in fetch are not listed"
grep -Eq 'from [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]+Z to ' summary.txt || fail "the span is not an ISO date"
grep -q "context tree:" summary.txt && fail "the tree was printed without --tree"
[ "$(wc -l <summary.txt)" -le 70 ] || fail "the summary of 40 work items takes $(wc -l <summary.txt) lines"
"$report" run.csv --tree >tree.txt 2>&1 || fail "--tree failed"
folded="$(grep -Eo '… [0-9]+ more work-item' tree.txt | awk '{s += $2} END {print s + 0}')"
shown="$(grep -c '(work-item) parent' tree.txt)"
[ "$folded" -gt 0 ] && [ $((folded + shown)) -eq 40 ] || fail "the tree shows $shown and folds $folded of 40 work items"
python3 - run.csv run.json run.html <<'PY' || fail "the trace or the page breaks the rules"
import csv, json, sys
rows = list(csv.reader(open(sys.argv[1], newline='', encoding='utf-8')))[1:]
closes = sum(1 for r in rows if r[3] == '6')
trace = json.load(open(sys.argv[2]))["traceEvents"]
assert all("name" in e and "ph" in e for e in trace)
assert sum(1 for e in trace if e.get("cat") == "scope") == closes
last = {}
for e in trace:
    if "ts" in e:
        assert e["ts"] >= last.get((e["pid"], e["tid"]), 0), e
        last[(e["pid"], e["tid"])] = e["ts"]
named = {e["tid"] for e in trace if e["ph"] == "M" and e["name"] == "thread_name"}
assert {e["tid"] for e in trace if e["ph"] in "Xi"} <= named
html = open(sys.argv[3], encoding='utf-8').read()
assert html.index('id="summary"') < html.index('id="timeline"')
# Self-contained: nothing is fetched from anywhere.
assert "src=" not in html and "http://" not in html.replace("http://www.w3.org/2000/svg", "")
PY

# Several files: the runs of as many processes, merged in the summary, one process each in the
# trace, labelled with each file's own context ids.
"$demo" --threads=1 --events=20 -raw=run2.csv >/dev/null 2>&1 || fail "the second run was not recorded"
"$report" run.csv run2.csv -q --html both.html --trace both.json >both.txt 2>err.txt ||
    fail "two files were refused: $(cat err.txt)"
[ ! -s both.txt ] && [ ! -s err.txt ] || fail "-q printed something: $(cat both.txt err.txt)"
"$report" run.csv run2.csv >both.txt 2>&1
head -1 both.txt | grep -q "^2 runs, one process each, merged below:" || fail "no merged heading: $(head -3 both.txt)"
grep -Eq '^  work-item +60 ' both.txt || fail "the work items of both runs are not merged"
python3 - both.json <<'PY' || fail "the merged trace is wrong"
import json, sys
trace = json.load(open(sys.argv[1]))["traceEvents"]
processes = {e["pid"]: e["args"]["name"] for e in trace if e["name"] == "process_name"}
assert processes == {1: "run.csv", 2: "run2.csv"}, processes
assert all(e["tid"] < 1 << 32 for e in trace), "an internal context id"
PY

# Standard input, a byte order mark, lines ended as on Windows, a cut last line (warned with its
# number).
"$report" - <run.csv >stdin.txt 2>&1 && grep -q "^-: 1" stdin.txt || fail "- did not read standard input"
printf '\xef\xbb\xbf%s\r\n1,2.000000,1,8,a,1\r\n2,2.000000,1,8,b,2' "$header" >bom.csv
"$report" bom.csv >bom.txt 2>&1 || fail "a byte order mark was refused: $(cat bom.txt)"
grep -q "bom.csv: 1 events" bom.txt && grep -q "warning: line 3 is cut off" bom.txt &&
    grep -Eq '^  a +1 time +numbers: min 1,' bom.txt || fail "the cut last line or a CR: $(cat bom.txt)"

# A long read shows its phases on a terminal only (script gives the tool one).
awk -v h="$header" 'BEGIN { print h; for (i = 0; i < 200000; i++) printf "%d,1.000000,1,8,name,%d\n", 1000 + i, i }' >long.csv
if command -v script >/dev/null; then
    QUILLMETRICS_REPORT_PROGRESS_MS=0 script -qec "'$report' long.csv --html long.html >/dev/null" /dev/null >tty.txt 2>&1 ||
        fail "the report on a terminal failed"
    for phase in "reading long.csv: [0-9]*%" "summarising" "writing long.html"; do
        grep -q "$phase" tty.txt || fail "no '$phase' on a terminal: $(head -c 300 tty.txt)"
    done
fi
QUILLMETRICS_REPORT_PROGRESS_MS=0 "$report" -q long.csv 2>err.txt || fail "the long file was refused"
[ ! -s err.txt ] || fail "progress went to a pipe: $(head -c 200 err.txt)"

# Bad input: a clear message with the file and line, the system's reason, and exit 1.
check_bad() {
    local name="$1" content="$2" expect="$3"
    printf '%b' "$content" >"$name"
    "$report" "$name" >/dev/null 2>err.txt
    [ $? -eq 1 ] || fail "$name was not refused with exit 1"
    grep -q -- "$expect" err.txt || fail "$name: expected '$expect', got: $(cat err.txt)"
}
check_bad noheader.csv '1,2.000000,0,8,a,b\n' 'noheader.csv:1: not a quillmetrics event file'
check_bad empty.csv '' 'empty.csv:1: the file is empty'
check_bad short.csv "$header\n1,2.000000,0,8,a,b\n1,2.000000,0,8\n" 'short.csv:3: expected 6 fields, found 4'
check_bad stamp.csv "$header\nx1,2.000000,0,8,a,b\n" 'stamp.csv:2: the timestamp is not a number'
check_bad type.csv "$header\n1,2.000000,0,eight,a,b\n" 'type.csv:2: the event type is not a number'
check_bad quote.csv "$header\n1,2.000000,0,8,\"open,b\n" 'quote.csv:2: a quoted field is not closed'
"$report" missing.csv >/dev/null 2>err.txt && fail "a missing file was accepted"
grep -q "missing.csv: cannot open the file: No such file or directory" err.txt || fail "missing: $(cat err.txt)"
mkdir -p folder.csv && "$report" folder.csv >/dev/null 2>err.txt && fail "a directory was accepted"
grep -q "folder.csv: is a directory" err.txt || fail "a directory: $(cat err.txt)"

# Hostile files: never a crash, a hang or a flood. A file without the header is refused after the
# first few KB, however long; a line of 10 M commas costs no field per comma; contexts nested
# 40,000 deep print with bounded indentation; escapes never reach the terminal raw.
python3 - "$report" <<'PY' || fail "a hostile file was not refused cheaply"
import resource, subprocess, sys
report = sys.argv[1]
proc = subprocess.Popen([report, "-"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
sent = 0
try:
    while sent < 2 << 30:
        proc.stdin.write(b"x" * 65536)
        sent += 65536
    proc.stdin.close()
except BrokenPipeError:
    pass
err = proc.stderr.read().decode()
assert proc.wait() == 1 and "not a quillmetrics event file" in err, err
assert sent <= 1 << 20, "read %d bytes of a file without its header" % sent
line = b"timestamp,datetime,context_id,event_type,param1,param2\n1,1.0,1,8,a" + b"," * 10000000 + b"\n"
run = subprocess.run([report, "-"], input=line, capture_output=True)
assert run.returncode == 1 and b"expected 6 fields, found more" in run.stderr, run.stderr
peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
assert peak < 200 * 1024, "a line of commas took %d KB" % peak
PY
awk -v h="$header" 'BEGIN { print h; for (i = 1; i <= 40000; i++) printf "%d,1.0,%d,3,0,%d\n", i, i - 1, i }' >deep.csv
"$report" deep.csv --tree >deep.txt 2>err.txt || fail "--tree on a deep file failed: $(tail -c 300 err.txt)"
[ "$(grep -c 'parent' deep.txt)" -eq 40000 ] && [ "$(wc -c <deep.txt)" -lt 5000000 ] &&
    grep -q '^                                  \[depth 39999\] context 40000 parent 39999, still open at the end$' deep.txt ||
    fail "the deep tree is not printed whole with bounded indentation: $(wc -c <deep.txt) bytes"
printf '%s\n1,1.0,1,5,a\033]0;PWNED\007b\x9b,0\n2,1.0,1,6,a\033]0;PWNED\007b\x9b,0\n3\033[2J,1.0,1,8,x,1\n' "$header" >esc.csv
head -3 esc.csv >esc-ok.csv
{ "$report" esc-ok.csv; "$report" diff esc-ok.csv esc-ok.csv; "$report" esc.csv; } >esc.txt 2>&1
grep -q 'a\\x1b\]0;PWNED\\x07b' esc.txt || fail "the name with escapes is not shown escaped: $(cat -v esc.txt)"
LC_ALL=C grep -q $'[\x01-\x08\x0b-\x1f\x7f]' esc.txt && fail "a control character reached the terminal: $(cat -v esc.txt)"
python3 - <<'PY' || fail "the page or the trace of a hostile name is wrong"
name = "</" * (2 << 20)
rows = ["timestamp,datetime,context_id,event_type,param1,param2"]
for n in (name, "<!--<script>", "a\u2028b&c"):
    rows += ["1,1.0,1,5,%s,0" % n, "2,1.0,1,6,%s,0" % n]
open("hostile.csv", "w", encoding="utf-8").write("\n".join(rows) + "\n")
PY
"$report" hostile.csv -q --html hostile.html --trace hostile.json || fail "the hostile names were refused"
python3 - <<'PY' || fail "a hostile name broke the page's script data or the trace"
import json
page = open("hostile.html", encoding="utf-8").read()
data = page.split('id="run-data">')[1].split("</script>")[0]
assert "<" not in data and "\u2028" not in data, "raw < or U+2028 in the script"
names = set(json.loads(data)["names"])
assert {"</" * (2 << 20), "<!--<script>", "a\u2028b&c"} <= names
trace = json.load(open("hostile.json"))["traceEvents"]
assert {"</" * (2 << 20), "<!--<script>"} <= {e["name"] for e in trace}
PY

# Megabytes in one name, value or datetime are cut short in the summary, the tree and the diff; a
# close stamped before its open ends the scope where it began; context ids above 2^53 reach the
# page as the file wrote them.
python3 - <<'PY'
long = "L" * 300000
for path, d, only in (("long.csv", 10, "B" * 300000), ("long2.csv", 100, "N" * 300000)):
    rows = ["timestamp,datetime,context_id,event_type,param1,param2", "1,%s,1,8,a,%s" % ("9" * 300000, "v" * 300000)]
    for t in range(2, 2000, d + 1):
        rows += ["%d,1.0,1,5,%s,0" % (t, long), "%d,1.0,1,7,e,%s" % (t, "w" * 9), "%d,1.0,1,6,%s,0" % (t + d, long)]
    rows += ["3000,1.0,18446744073709551615,5,%s,0" % only, "2,1.0,18446744073709551615,6,%s,0" % only]
    open(path, "w").write("\n".join(rows) + "\n")
PY
{ "$report" long.csv --tree --html long.html --trace long.json; "$report" diff long.csv long2.csv --fail-above 5; } >long.txt 2>&1
[ "$(wc -c <long.txt)" -lt 8000 ] || fail "long texts flood the terminal: $(wc -c <long.txt) bytes"
python3 - <<'PY' || fail "a close before its open, or a large context id, is misdrawn"
import json
trace = json.load(open("long.json"))["traceEvents"]
assert all(e["dur"] < 1e4 for e in trace if e.get("cat") == "scope"), "a scope lasts for centuries"
data = open("long.html", encoding="utf-8").read().split('id="run-data">')[1].split("</script>")[0]
assert "18446744073709551615" in json.loads(data)["contexts"]
PY

# Values hold what the host gave: code-page text and stray bytes still give valid UTF-8 in every
# output, and valid JSON.
printf "$header\n1,2.000000,0,2,0,1\n2,2.000000,0,3,0,1\n3,2.000000,1,5,caf\xe9 \xff\xfe,0\n" >bytes.csv
printf "4,2.000000,1,8,n\xc3\xa4me,\xed\xa0\x80 \xe2\x82\n5,2.000000,1,6,caf\xe9 \xff\xfe,0\n" >>bytes.csv
"$report" bytes.csv --html bytes.html --trace bytes.json >bytes.txt 2>err.txt ||
    fail "a file with stray bytes was refused: $(cat err.txt)"
python3 - bytes.txt bytes.json bytes.html <<'PY' || fail "an output of stray bytes is not valid"
import json, sys
summary, trace, page = (open(p, "rb").read().decode("utf-8") for p in sys.argv[1:])
json.loads(trace)
assert "caf\ufffd \ufffd\ufffd" in summary and "n\u00e4me" in summary, summary
assert "caf\ufffd \ufffd\ufffd" in page and "caf\ufffd \ufffd\ufffd" in trace
PY

# Outputs never destroy inputs: an output naming an input (the same path, another spelling, a hard
# link, standard input's file) is refused with exit 2 before anything is written.
cp run.csv keep.csv && ln -f keep.csv link.csv && sum="$(cksum <keep.csv)"
for args in "keep.csv --html keep.csv" "keep.csv --trace ./keep.csv" "keep.csv -q --html ../${work##*/}/keep.csv" \
    "keep.csv --trace link.csv" "diff run.csv keep.csv --html keep.csv" "- --html keep.csv"; do
    # shellcheck disable=SC2086
    "$report" $args <keep.csv >/dev/null 2>err.txt
    [ $? -eq 2 ] && grep -q "refusing to write" err.txt || fail "'$args' was not refused: $(cat err.txt)"
    [ "$(cksum <keep.csv)" = "$sum" ] || fail "'$args' changed its input"
done
# The file written beside an output is always a new one, so an input named like it stays; a link
# keeps pointing where it did; a pipe (or a device) named as an output is written, not replaced.
cp keep.csv run.html.partial && echo "previous" >real.json && ln -sf real.json trace-link.json
"$report" run.html.partial -q --html run.html --trace trace-link.json || fail "the outputs beside run.html.partial failed"
cmp -s keep.csv run.html.partial || fail "writing run.html replaced the input run.html.partial"
[ -L trace-link.json ] && python3 -m json.tool real.json >/dev/null || fail "the link to the trace was replaced"
mkfifo out.fifo && { timeout 10 cat out.fifo >fifo.json & }
"$report" keep.csv -q --trace out.fifo; wait
[ -p out.fifo ] && python3 -m json.tool fifo.json >/dev/null || fail "a pipe named as the trace was replaced by a file"
# An output that cannot be written whole leaves the one before it, and says why.
echo "previous" >kept.json
(trap '' XFSZ && ulimit -f 1 && "$report" run.csv --quiet --trace kept.json) >/dev/null 2>err.txt &&
    fail "a trace larger than the size limit was written"
grep -q "cannot write kept.json: File too large" err.txt || fail "the failed write was not explained: $(cat err.txt)"
[ "$(cat kept.json)" = "previous" ] || fail "a failed write changed the previous trace"
ls kept.json.* >/dev/null 2>&1 && fail "a failed write left its partial file behind"

# Usage: exit 2 with the parser's message and a near option; --version.
"$report" run.csv --htm x.html >/dev/null 2>err.txt
[ $? -eq 2 ] && grep -q "did you mean --html" err.txt || fail "a mistyped option: $(cat err.txt)"
"$report" diff run.csv run.csv --fail-above=-1 >/dev/null 2>err.txt
[ $? -eq 2 ] && grep -q "fail-above" err.txt && [ "$(wc -c <err.txt)" -lt 200 ] || fail "a negative threshold: $(cat err.txt)"
"$report" --version | grep -Eqx '[0-9]+\.[0-9]+\.[0-9]+' || fail "--version: $("$report" --version 2>&1)"

# diff: runs with known changes. Each scope's durations in microseconds, one context each.
run_file() {  # run_file FILE "name:us,us,... name:us ..."
    local file="$1" t=1000 context=0 entry name durations d
    echo "$header" >"$file"
    for entry in $2; do
        name="${entry%%:*}" durations="${entry#*:}" context=$((context + 1))
        for d in ${durations//,/ }; do
            printf '%s,1.000000,%s,5,%s,0\n%s,1.000000,%s,6,%s,0\n' "$t" "$context" "$name" \
                $((t + d * 1000)) "$context" "$name" >>"$file"
            t=$((t + d * 1000 + 1000))
        done
    done
}
times() { printf "$1%.0s" $(seq "$2") | sed 's/,$//'; }  # times "10," 5 -> 10,10,10,10,10
# tail: p50 as it was, p95 up +200%; exact: +10.0% exactly; once: seen once in the new run, +900%.
run_file base.csv "steady:$(times 10, 20) slower:$(times 10, 20) tail:$(times 10, 20) exact:$(times 100, 20) faster:$(times 20, 20) once:$(times 10, 5) gone:5"
run_file new.csv "steady:$(times 10, 20) slower:$(times 20, 20) tail:$(times 10, 18),30,30 exact:$(times 110, 20) faster:$(times 10, 20) once:100 added:7"
"$report" diff base.csv new.csv --html diff.html >diff.txt 2>err.txt || fail "diff failed: $(cat err.txt)"
order="$(awk 'NR > 5 && /^  [a-z]/ {print $1}' diff.txt | tr '\n' ' ')"
[ "$order" = "once tail slower exact steady faster " ] || fail "diff order: '$order'"
head -2 diff.txt | tr '\n' ' ' | grep -q "^base: base.csv new:  new.csv" || fail "the files are not named: $(head -2 diff.txt)"
grep -Eq '^  tail .* \+0\.0% .* \+200\.0% ' diff.txt || fail "tail: $(grep tail diff.txt)"
grep -q "only in base: gone" diff.txt && grep -q "only in new: added" diff.txt || fail "one-run scopes: $(cat diff.txt)"
python3 -c 'import sys; assert max(len(l) for l in open(sys.argv[1], encoding="utf-8").read().split("\n")) <= 100' diff.txt ||
    fail "the diff is wider than 100 columns"
"$report" diff base.csv new.csv --fail-above 250 >/dev/null 2>err.txt || fail "--fail-above 250 failed: $(cat err.txt)"
grep -q "1 scope(s) with fewer than 5 samples" err.txt || fail "the scope seen once was not set aside: $(cat err.txt)"
"$report" diff base.csv new.csv --fail-above 10 >/dev/null 2>err.txt
[ $? -eq 2 ] || fail "--fail-above 10 did not exit 2"
grep -q "tail got slower by more than 10%: p50 10.0 µs → 10.0 µs (+0.0%), p95 10.0 µs → 30.0 µs (+200.0%)" err.txt &&
    grep -q "slower got slower by more than 10%: p50 10.0 µs → 20.0 µs" err.txt || fail "the failures are not named: $(cat err.txt)"
grep -Eq "^quillmetrics-report: (exact|once) " err.txt && fail "+10.0% or a single sample failed --fail-above 10"
"$report" diff base.csv new.csv --fail-above 150 --html gate.html >/dev/null 2>err.txt
[ $? -eq 2 ] && [ "$(grep -c 'got slower' err.txt)" -eq 1 ] && grep -q '^quillmetrics-report: tail ' err.txt ||
    fail "a p95-only regression did not trip the gate alone: $(cat err.txt)"
grep -q 'id="verdict" class="failed">Gate: fail when .* more than 150% slower' gate.html || fail "the page has no verdict"
"$report" diff base.csv new.csv --fail-above 10 --min-count 1 >/dev/null 2>err.txt
grep -q "^quillmetrics-report: once " err.txt || fail "--min-count 1 did not judge the single sample"
"$report" diff base.csv stamp.csv >/dev/null 2>err.txt
[ $? -eq 1 ] && grep -q "stamp.csv:2: the timestamp is not a number" err.txt || fail "diff of a bad file: $(cat err.txt)"
run_file other.csv "elsewhere:3"
"$report" diff base.csv other.csv >/dev/null 2>err.txt && fail "runs without a common scope were compared"
grep -q "no scope in common" err.txt || fail "diff of unrelated runs: $(cat err.txt)"
"$report" diff base.csv >/dev/null 2>&1
[ $? -eq 2 ] || fail "diff with one file did not exit 2"

[ "$failures" -eq 0 ] && echo "report tool: all checks passed"
exit "$failures"
