#!/usr/bin/env bash
# Runs the demo host as a user would and checks its file, its messages and its exit codes. With a
# reference demo (a Linux build), also checks that both write the same rows for one worker thread,
# apart from times, process and thread ids, line ends and the order the two threads take.
# DEMO_RUNNER runs a cross-built demo.
# Usage: DemoHostTest.sh DEMO_BINARY WORK_DIR [REFERENCE_DEMO]
set -uo pipefail
work="$2"
reference="${3:-}"
runner=()
[ -z "${DEMO_RUNNER:-}" ] || read -r -a runner <<<"$DEMO_RUNNER"
demo_binary="$1"
demo() { "${runner[@]}" "$demo_binary" "$@"; }
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

demo --threads=2 --events=20 -raw=run.csv -set=sql,query,bogus >out.txt 2>err.txt
status=$?
[ "$status" -eq 0 ] || fail "a normal run exited with $status: $(cat err.txt)"
grep -q "unknown categories in -set: bogus" err.txt || fail "no warning naming the unknown mnemonic"
tr -d "\r" <err.txt | grep -q "^quillmetrics-demo: recording to run.csv (categories: query,sql)$" ||
    fail "no line naming the file and the categories: $(cat err.txt)"
! grep -q "^\[i\]" err.txt || fail "the library's info lines show without -v: $(cat err.txt)"
grep -q "wrote .* events" out.txt || fail "no summary"
grep -q "scopes that took the most time" out.txt || fail "no scope timings"
if command -v python3 >/dev/null; then
    python3 - run.csv <<'PY' || fail "the CSV file does not read back"
import csv, sys
rows = list(csv.reader(open(sys.argv[1], newline='', encoding='utf-8')))
assert rows[0] == ['timestamp', 'datetime', 'context_id', 'event_type', 'param1', 'param2'], rows[0]
assert all(len(r) == 6 for r in rows), [r for r in rows if len(r) != 6][:3]
assert rows[1][3] == '2' and rows[2][3] == '3', rows[1:3]          # root create, then open
assert rows[1][4] == '0' and rows[1][5] == rows[2][5], rows[1:3]
types = {int(r[3]) for r in rows[1:]}
assert {2, 3, 4, 5, 6, 7, 8, 10, 12} <= types, types
assert any(r[4] == 'dlg-name' and r[5] == 'MessageBox' for r in rows)
assert any(r[4] == 'table' and r[5] == 'customers \u00e9t\u00e9' for r in rows)
PY
fi

demo --bogus >/dev/null 2>err.txt
[ $? -eq 2 ] || fail "an unknown option did not exit with 2"
grep -q "unknown option: --bogus" err.txt && grep -q "usage:" err.txt || fail "no message and usage"
demo --threads=many >/dev/null 2>err.txt
[ $? -eq 2 ] || fail "a malformed number did not exit with 2"
demo --events=0 >/dev/null 2>&1
[ $? -eq 2 ] || fail "an out-of-range number did not exit with 2"
demo -raw=/nonexistent-dir/x.csv >/dev/null 2>err.txt
[ $? -eq 1 ] || fail "an uncreatable file did not exit with 1"
grep -q "/nonexistent-dir/x.csv" err.txt || fail "the uncreatable file was not named"
demo --help | grep -q "usage:" || fail "--help shows no usage"
demo --version | grep -qE "^quillmetrics-demo [0-9]+\.[0-9]+\.[0-9]+" || fail "--version shows no version"
demo --events=2 -raw=verbose.csv -v >/dev/null 2>err.txt || fail "a run with -v failed"
grep -q "^\[i\] metrics-manager: Logging enabled" err.txt || fail "-v shows no info lines"
# An empty mask records nothing: say so, and what was probably meant.
demo --events=2 -raw=empty.csv -clear=sql >/dev/null 2>err.txt || fail "a run with -clear alone failed"
grep -q "(categories: none)" err.txt && grep -q "warning: .*-set=all -clear=sql" err.txt ||
    fail "no warning for the empty mask: $(cat err.txt)"
[ "$(wc -l <empty.csv)" -eq 1 ] || fail "an empty mask recorded more than the header"
demo --events=2 -raw=all.csv -set=all -clear=sql >/dev/null 2>err.txt
tr -d "\r" <err.txt | grep -q "(categories: all but sql)$" || fail "the mask is not named compactly: $(cat err.txt)"

# A failed -prom or -push exits 3, after writing the whole file.
if [ -z "${DEMO_RUNNER:-}" ] && command -v python3 >/dev/null; then
    python3 - "$demo_binary" <<'PY' || fail "a failed -prom or -push is not told apart from success"
import csv, socket, subprocess, sys
held = socket.socket()
held.bind(("127.0.0.1", 0))
held.listen()
closed = socket.socket()
closed.bind(("127.0.0.1", 0))
closed_port = closed.getsockname()[1]
closed.close()
for option, said in ((f"-prom=127.0.0.1:{held.getsockname()[1]}", "cannot listen on"),
                     (f"-push=http://127.0.0.1:{closed_port}",
                      f"cannot reach the Pushgateway at http://127.0.0.1:{closed_port}")):
    run = subprocess.run([sys.argv[1], "--events=2", "-raw=exporter.csv", option],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 3, (option, run.returncode, run.stderr)
    assert f"[w] quillmetrics-prometheus-failed: {said}" in run.stderr, run.stderr
    rows = list(csv.reader(open("exporter.csv", newline="")))
    assert len(rows) > 10 and rows[-1][3] == "4", rows[-3:]  # ends with the root's close
# What answers -prom shows without -v.
run = subprocess.run([sys.argv[1], "--events=2", "-raw=exporter.csv", "-prom=127.0.0.1:0"],
                     capture_output=True, text=True, timeout=60)
assert run.returncode == 0, (run.returncode, run.stderr)
assert "[i] quillmetrics-prometheus: serving http://127.0.0.1:" in run.stderr, run.stderr
PY
fi

if [ -n "$reference" ]; then
    demo --threads=1 --events=5 -raw=this.csv >/dev/null 2>&1 || fail "the one-thread run failed"
    "$reference" --threads=1 --events=5 -raw=reference.csv >/dev/null 2>&1 ||
        fail "the reference demo failed"
    python3 - this.csv reference.csv <<'PY' || fail "the rows differ from the reference demo's"
# The two threads interleave differently from run to run, and context ids go out in that order:
# compare each run as a tree of contexts, every context with the multiset of its rows, the ids
# replaced by the contexts they name.
import csv, sys
from collections import defaultdict
def tree(path):
    rows = defaultdict(list)
    for r in list(csv.reader(open(path, newline='', encoding='utf-8')))[1:]:
        rows[r[2]].append(r[3:])
    def context(cid, depth=0):
        assert depth < 100, "context cycle"
        out = []
        for kind, name, value in rows.get(cid, []):
            if name in ('pid', 'tid'):
                value = '*'
            elif kind == '8' and name == 'cid':
                value = 'self' if value == cid else 'other'
            elif kind == '2':
                value = context(value, depth + 1)
            elif kind in ('3', '4'):
                value = 'child'
            out.append((kind, name, value))
        return tuple(sorted(out, key=repr))
    return context('0')
assert tree(sys.argv[1]) == tree(sys.argv[2])
PY
fi

[ "$failures" -eq 0 ] && echo "demo host: all checks passed"
exit "$failures"
