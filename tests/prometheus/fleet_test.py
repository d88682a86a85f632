#!/usr/bin/env python3
"""Two demo hosts scraped by a real Prometheus server, and pushed to a real Pushgateway: the
answers of PromQL must equal the counts of the CSV files the same runs wrote.

usage: fleet_test.py DEMO WORKDIR
Exits 77 (skipped) when Debian's prometheus or prometheus-pushgateway is not installed."""

import collections
import csv
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import time
import urllib.parse
import urllib.request

SCOPE_OPEN, SCOPE_CLOSE = 5, 6
TYPE_NAMES = {1: "Shutdown", 2: "ContextCreate", 3: "ContextOpen", 4: "ContextClose",
              5: "ScopeOpen", 6: "ScopeClose", 7: "ScopeEmit", 8: "Attribute",
              10: "MultiAttribute", 12: "ScopeCloseAction"}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


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


def main():
    demo, work = sys.argv[1], sys.argv[2]
    prometheus, pushgateway = shutil.which("prometheus"), shutil.which("prometheus-pushgateway")
    if not prometheus or not pushgateway or not shutil.which("promtool"):
        print("fleet_test: prometheus, promtool or prometheus-pushgateway missing: skipped")
        return 77
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    server, gateway, hosts = free_port(), free_port(), [free_port(), free_port()]
    with open(os.path.join(work, "prometheus.yml"), "w") as f:
        f.write(f"""global:
  scrape_interval: 1s
scrape_configs:
  - job_name: fleet
    static_configs:
      - targets: ['127.0.0.1:{hosts[0]}', '127.0.0.1:{hosts[1]}']
  - job_name: pushgateway
    honor_labels: true
    static_configs:
      - targets: ['127.0.0.1:{gateway}']
""")
    log = open(os.path.join(work, "servers.log"), "w")
    servers = [
        # Debian's build keeps what was pushed in a file under /var/lib by default: this test
        # wants only this run's figures.
        subprocess.Popen([pushgateway, f"--web.listen-address=127.0.0.1:{gateway}",
                          "--persistence.file="], stdout=log, stderr=log),
        subprocess.Popen([prometheus, f"--config.file={work}/prometheus.yml",
                          f"--storage.tsdb.path={work}/data", f"--web.listen-address=127.0.0.1:{server}",
                          "--log.level=warn"], stdout=log, stderr=log),
    ]
    try:
        wait_until("Prometheus to be ready", lambda: fetch(f"http://127.0.0.1:{server}/-/ready"), 60)
        wait_until("the Pushgateway", lambda: fetch(f"http://127.0.0.1:{gateway}/-/ready"), 60)

        files = [os.path.join(work, f"host{i}.csv") for i in range(2)]
        demos = [subprocess.Popen(
            [demo, f"-raw={files[i]}", f"-prom=127.0.0.1:{hosts[i]}",
             f"-push=http://127.0.0.1:{gateway}", "--events=300", f"--threads={i + 2}",
             "--linger=6"], stdout=subprocess.DEVNULL, stderr=log) for i in range(2)]

        # What an instance serves is valid exposition text.
        page = wait_until("the first host's endpoint",
                          lambda: fetch(f"http://127.0.0.1:{hosts[0]}/metrics"), 30)
        check = subprocess.run(["promtool", "check", "metrics"], input=page, text=True,
                               capture_output=True)
        if check.returncode != 0:
            sys.exit(f"fleet_test: promtool check metrics failed:\n{check.stdout}{check.stderr}")

        for process in demos:
            if process.wait(timeout=120) != 0:
                sys.exit(f"fleet_test: a demo host failed (see {work}/servers.log)")
        scopes, types = counts_from_csv(files)
        if not scopes:
            sys.exit("fleet_test: the CSV files hold no scopes")

        # Scraped while the hosts lingered: the last value each instance served.
        fleet = 'sum by (scope) (last_over_time(quillmetrics_scope_duration_seconds_count{job="fleet"}[10m]))'
        wait_until("PromQL over the scraped fleet to equal the CSV files",
                   lambda: by_label(query(server, fleet), "scope"), 30, scopes)
        instances = query(server, 'count(count by (instance) (last_over_time(quillmetrics_exporter_events_total{job="fleet"}[10m])))')
        if int(instances[0]["value"][1]) != 2:
            sys.exit(f"fleet_test: expected two scraped instances, got {instances}")

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
        print(f"fleet_test: {sum(scopes.values())} scopes in {len(scopes)} names and "
              f"{sum(types.values())} events agree between PromQL and the CSV files")
        return 0
    finally:
        for process in servers:
            process.terminate()
        for process in servers:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()


if __name__ == "__main__":
    sys.exit(main())
