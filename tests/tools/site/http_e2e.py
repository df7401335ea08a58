#!/usr/bin/env python3
"""End-to-end runs of the HTTP side of `krthost serve`: a real Prometheus
scrapes /metrics, and headless Chromium renders the status page.

Every service listens on a free loopback port with its files in a temporary
directory; every wait is bounded; what a case starts it stops.
Usage: http_e2e.py CASE --krthost PATH --sim PATH --plugin PATH [--artefacts DIR]
"""
import json
import os
import re
import subprocess
import sys
import time
import urllib.error
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from site_e2e import DEFAULT_RULES, Host, expect, free_port, run_main, wait_for  # noqa: E402

TOKEN = "page-token-0123456789"


def get(url, token=None, timeout=3):
    req = urllib.request.Request(url, headers={"Authorization": "Bearer " + token} if token else {})
    with urllib.request.urlopen(req, timeout=timeout) as r:
        return r.status, r.read().decode("utf-8")


def try_json(url, token=None):
    try:
        status, body = get(url, token)
        return json.loads(body) if status == 200 else None
    except (OSError, ValueError):
        return None


def start_site(run, token=None):
    port = free_port()
    http = {"listen": "127.0.0.1:%d" % port}
    if token:
        http["token"] = token
    site = run.site([
        {"id": 1, "name": "room-a", "simulate": True, "config": DEFAULT_RULES},
        {"id": 2, "name": "room-b", "simulate": True, "config": DEFAULT_RULES},
    ], http=http)
    host = Host(run, site)
    base = "http://127.0.0.1:%d" % port
    def ready():
        expect(host.proc.poll() is None, "krthost serve exited with %s" % host.proc.returncode)
        d = try_json(base + "/api/devices", token)
        # Both devices completed a poll and have values.
        return d if d and len(d) == 2 and all(x["values"].get("out_v") is not None for x in d) else None

    try:
        devices = wait_for("values of both devices", ready)
    except BaseException:
        host.stop()
        raise
    return host, base, devices


def case_prometheus(run):
    host, base, devices = start_site(run)
    prom = None
    try:
        port = free_port()
        config = run.write("prometheus.yml", (
            "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
            "scrape_configs:\n  - job_name: krthost\n    static_configs:\n"
            "      - targets: ['%s']\n" % base[len("http://"):]))
        prom_log = open(run.path("prometheus.log"), "w")
        prom = subprocess.Popen(["/usr/bin/prometheus", "--config.file=" + config,
                                 "--storage.tsdb.path=" + run.path("tsdb"),
                                 "--web.listen-address=127.0.0.1:%d" % port, "--log.level=warn"],
                                stdout=prom_log, stderr=prom_log)
        api = "http://127.0.0.1:%d/api/v1/query?query=" % port

        def query(expr):
            doc = try_json(api + urllib.parse.quote(expr))
            return doc["data"]["result"] if doc and doc.get("status") == "success" else []

        up = wait_for("a healthy scrape", lambda: [r for r in query('up{job="krthost"}') if r["value"][1] == "1"],
                      timeout=45)
        expect(up, "the target is not up")
        out_v = wait_for("krthost_value{name=\"out_v\"} of both devices",
                         lambda: (lambda r: r if len(r) == 2 else None)(query('krthost_value{name="out_v"}')))
        by_name = {d["name"]: d for d in devices}
        for r in out_v:
            name = r["metric"]["device"]
            expect(name in by_name, "unknown device label %r" % name)
            expect(r["metric"]["id"] == str(by_name[name]["id"]), "id label %r" % r["metric"])
            want = by_name[name]["values"]["out_v"]
            expect(abs(float(r["value"][1]) - want) < 0.01, "%s out_v %s, the host says %s" % (name, r["value"][1], want))
        active = {r["metric"]["device"]: float(r["value"][1]) for r in query("krthost_alarms_active")}
        expect(set(active) == set(by_name), "krthost_alarms_active for %r" % active)
        expect(active["room-a"] == by_name["room-a"]["alarms_active"] > 0,
               "alarms active %r, the host says %r" % (active, by_name["room-a"]["alarms_active"]))
    finally:
        if prom is not None:
            prom.terminate()
            try:
                prom.wait(timeout=10)
            except subprocess.TimeoutExpired:
                prom.kill()
                prom.wait()
        rc = host.stop()
    expect(rc == 0, "exit status %d after SIGTERM" % rc)


def chromium(run, url, *extra):
    args = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--user-data-dir=" + run.path("chromium"), "--virtual-time-budget=5000", *extra, url]
    return subprocess.run(args, capture_output=True, text=True, timeout=90)


def case_status_page(run):
    host, base, devices = start_site(run, token=TOKEN)
    try:
        try:
            get(base + "/")
            raise Failure("the page answered without its token")
        except urllib.error.HTTPError as e:
            expect(e.code == 401, "the page without token: HTTP %d" % e.code)
        alarms = try_json(base + "/api/alarms?state=active", TOKEN)
        expect(alarms, "no active alarm to look for")
        wait_for("history points", lambda: try_json(
            base + "/api/devices/room-a/history?field=out_v", TOKEN))
        url = base + "/?token=" + TOKEN
        dom = chromium(run, url, "--dump-dom")
        expect(dom.returncode == 0, "chromium --dump-dom: %d %s" % (dom.returncode, dom.stderr[-2000:]))
        html = dom.stdout
        for d in devices:
            expect('data-device="%s"' % d["name"] in html, "device %s not in the page:\n%s" % (d["name"], html[-3000:]))
        expect(alarms[0]["name"] in html, "alarm %r not in the page" % alarms[0]["name"])
        expect("<svg" in html and "<polyline" in html, "no plot in the page:\n" + html[-3000:])
        status_line = re.search(r'<span id="status"[^>]*>([^<]*)</span>', html)
        expect(status_line and "updated" in status_line.group(1),
               "the page's status line: %r" % (status_line and status_line.group(0)))
        shot = os.path.join(run.opts.artefacts or run.tmp.name, "status-page.png")
        if os.path.exists(shot):
            os.remove(shot)
        r = chromium(run, url, "--screenshot=" + shot, "--window-size=1200,900", "--hide-scrollbars")
        expect(r.returncode == 0 and os.path.getsize(shot) > 10000, "no screenshot: %s" % r.stderr[-2000:])
    finally:
        rc = host.stop()
    expect(rc == 0, "exit status %d after SIGTERM" % rc)


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}


if __name__ == "__main__":
    sys.exit(run_main(CASES, extra=[("--artefacts", {"help": "where the screenshot is kept"})],
                      logs=("serve.out", "serve.err", "prometheus.log")))
