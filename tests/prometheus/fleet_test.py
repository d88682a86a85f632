#!/usr/bin/env python3
"""The fleet script end to end: its two demo hosts scraped by a real Prometheus server and pushed to
a real Pushgateway, where the answers of PromQL must equal the counts of the CSV files the same
runs wrote; then, interrupted as Ctrl-C would, the script must leave none of its processes behind.

usage: fleet_test.py FLEET_SCRIPT DEMO WORKDIR
Exits 77 (skipped) when Debian's prometheus or prometheus-pushgateway is not installed."""

import collections
import csv
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import urllib.parse
import urllib.request

SCOPE_OPEN, SCOPE_CLOSE = 5, 6
TYPE_NAMES = {1: "Shutdown", 2: "ContextCreate", 3: "ContextOpen", 4: "ContextClose",
              5: "ScopeOpen", 6: "ScopeClose", 7: "ScopeEmit", 8: "Attribute",
              10: "MultiAttribute", 12: "ScopeCloseAction"}


def fetch(url, timeout=5):
    with urllib.request.urlopen(url, timeout=timeout) as response:
        return response.read().decode()


def wait_until(what, check, seconds, expected=None):
    """Polls check until it returns expected (or, with none given, anything true)."""
    deadline = time.monotonic() + seconds
    last = None
    while time.monotonic() < deadline:
        try:
            last = check()
            if last == expected if expected is not None else last:
                return last
        except OSError as error:
            last = error
        time.sleep(0.25)
    sys.exit(f"fleet_test: gave up waiting for {what}\n  expected: {expected}\n  last: {last}")


def counts_from_csv(paths):
    """Paired scopes by name, the same pairing rule as the library, and events by type."""
    scopes, types = collections.Counter(), collections.Counter()
    for path in paths:
        open_scopes = collections.defaultdict(int)
        with open(path, newline="") as f:
            for row in csv.DictReader(f):
                kind = int(row["event_type"])
                types[TYPE_NAMES.get(kind, str(kind))] += 1
                key = (row["context_id"], row["param1"])
                if kind == SCOPE_OPEN:
                    open_scopes[key] += 1
                elif kind == SCOPE_CLOSE and open_scopes[key] > 0:
                    open_scopes[key] -= 1
                    scopes[row["param1"]] += 1
    return dict(scopes), dict(types)


def query(server, promql):
    url = f"http://127.0.0.1:{server}/api/v1/query?" + urllib.parse.urlencode({"query": promql})
    answer = json.loads(fetch(url))
    if answer["status"] != "success":
        sys.exit(f"fleet_test: {promql}: {answer}")
    return answer["data"]["result"]


def by_label(result, label):
    return {r["metric"].get(label, ""): int(float(r["value"][1])) for r in result}


def session_processes(session):
    """The processes still in the given session: what the script started and left behind."""
    left = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[3]) == session and fields[0] != "Z":
                left.append(int(entry))
    return left


def main():
    fleet, demo, work = sys.argv[1], sys.argv[2], sys.argv[3]
    if not shutil.which("prometheus") or not shutil.which("prometheus-pushgateway") \
            or not shutil.which("promtool"):
        print("fleet_test: prometheus, promtool or prometheus-pushgateway missing: skipped")
        return 77
    # A session of its own, so that whatever it starts can be found afterwards; and Ctrl-C's
    # signal handled as in a terminal, even when this test runs with it ignored (in the
    # background of a script), which the shell would otherwise not let the script trap.
    script = subprocess.Popen([fleet, f"--demo={demo}", f"--work={work}", "--events=300",
                               "--linger=6", "--stay=600"], stdout=subprocess.PIPE, text=True,
                              start_new_session=True,
                              preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    output = []
    try:
        def line_with(pattern):
            while True:
                line = script.stdout.readline()
                if not line:
                    sys.exit(f"fleet_test: the script ended first:\n{''.join(output)}")
                output.append(line)
                found = re.search(pattern, line)
                if found:
                    return found

        server = int(line_with(r"Prometheus\s+http://127\.0\.0\.1:(\d+)/graph").group(1))
        host = int(line_with(r"host 1\s+http://127\.0\.0\.1:(\d+)/metrics").group(1))
        # Said while the host serves, not once it has ended.
        line_with(rf"host 1: .*serving http://127\.0\.0\.1:{host}/metrics")
        if any("both hosts have ended" in line for line in output):
            sys.exit(f"fleet_test: the serving line came only once the hosts had ended:\n{''.join(output)}")

        # What an instance serves is valid exposition text.
        page = wait_until("the first host's endpoint",
                          lambda: fetch(f"http://127.0.0.1:{host}/metrics"), 30)
        check = subprocess.run(["promtool", "check", "metrics"], input=page, text=True,
                               capture_output=True)
        if check.returncode != 0:
            sys.exit(f"fleet_test: promtool check metrics failed:\n{check.stdout}{check.stderr}")

        line_with(r"both hosts have ended")
        if any("failed" in line for line in output):
            sys.exit(f"fleet_test: a host failed:\n{''.join(output)}")
        files = [os.path.join(work, f"host{i}.csv") for i in (1, 2)]
        scopes, types = counts_from_csv(files)
        if not scopes:
            sys.exit("fleet_test: the CSV files hold no scopes")

        # Scraped while the hosts lingered: the last value each instance served.
        fleet_scopes = 'sum by (scope) (last_over_time(quillmetrics_scope_duration_seconds_count{job="fleet"}[10m]))'
        wait_until("PromQL over the scraped fleet to equal the CSV files",
                   lambda: by_label(query(server, fleet_scopes), "scope"), 30, scopes)
        instances = query(server, 'count(count by (instance) (last_over_time(quillmetrics_exporter_events_total{job="fleet"}[10m])))')
        if int(instances[0]["value"][1]) != 2:
            sys.exit(f"fleet_test: expected two scraped instances, got {instances}")
        # Labels read as the CSV file does: a category's own mnemonic, names without apostrophes.
        net = query(server, 'sum(last_over_time(quillmetrics_scope_duration_seconds_count{job="fleet",category="net"}[10m]))')
        if not net or int(float(net[0]["value"][1])) != scopes.get("fetch"):
            sys.exit(f"fleet_test: {{category=\"net\"}} does not find the fetch scopes: {net}")
        pids = query(server, 'last_over_time(quillmetrics_attribute_last{job="fleet",name="pid"}[10m])')
        if len(pids) != 2:
            sys.exit(f"fleet_test: {{name=\"pid\"}} does not find each host's pid: {pids}")

        # Pushed at close, after the last event: every type matches the files exactly.
        pushed = 'sum by (scope) (quillmetrics_scope_duration_seconds_count{job="quillmetrics"})'
        wait_until("PromQL over the pushed figures to equal the CSV files",
                   lambda: by_label(query(server, pushed), "scope"), 30, scopes)
        # One group per host process, named after the host and its pid.
        groups = {r["metric"]["instance"] for r in query(server, 'quillmetrics_exporter_events_total{job="quillmetrics"}')}
        if len(groups) != 2 or not all(re.fullmatch(r".+-[0-9]+", g) for g in groups):
            sys.exit(f"fleet_test: pushed groups are not one per host-pid: {groups}")
        pushed_types = 'sum by (type) (quillmetrics_events_total{job="quillmetrics"})'
        wait_until("pushed event counts by type to equal the CSV files",
                   lambda: by_label(query(server, pushed_types), "type"), 30, types)

        # Ctrl-C: the script stops what it started, and says so.
        script.send_signal(signal.SIGINT)
        rest, _ = script.communicate(timeout=60)
        output.append(rest)
        if script.returncode != 0:
            sys.exit(f"fleet_test: interrupted after the hosts ended, the script exited "
                     f"{script.returncode}:\n{''.join(output)}")
        left = session_processes(script.pid)
        if left:
            sys.exit(f"fleet_test: the script left processes behind: {left}")
        print(f"fleet_test: {sum(scopes.values())} scopes in {len(scopes)} names and "
              f"{sum(types.values())} events agree between PromQL and the CSV files; "
              f"the script stopped everything it started")
        return 0
    finally:
        if script.poll() is None:
            os.killpg(script.pid, signal.SIGKILL)
            script.wait()


if __name__ == "__main__":
    sys.exit(main())
