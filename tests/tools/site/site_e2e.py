#!/usr/bin/env python3
"""End-to-end runs of `krthost serve`: a site of simulated devices, its
database, alarm raises and clears, restarts, SIGHUP and bad site files.

Every wait is bounded; what a case starts it stops.
Usage: site_e2e.py CASE --krthost PATH --sim PATH --plugin PATH
"""
import argparse
import json
import os
import selectors
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time

DEFAULT_ALARMS = [[1, 12, 29], [0, 8, 5], [0, 6, 5], [1, 14, 10]]
DEFAULT_RULES = {"appSetting": {"ac_number": "1", "dc_number": "1", "b_mode": "0"}}


class Failure(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, predicate, timeout=20.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            value = predicate()
        except sqlite3.OperationalError:
            value = None  # the database is not there yet
        if value:
            return value
        time.sleep(0.1)
    raise Failure("timed out waiting for " + what)


class Host:
    """krthost serve on a site file, its standard output and events file."""

    def __init__(self, run, site_path, extra=()):
        self.run = run
        self.events_path = run.path("events.ndjson")
        self.out = open(run.path("serve.out"), "a", encoding="utf-8")
        self.err = open(run.path("serve.err"), "a", encoding="utf-8")
        self.proc = subprocess.Popen([run.opts.krthost, "serve", site_path, "--events", self.events_path, *extra],
                                     stdout=self.out, stderr=self.err)

    def events(self):
        try:
            with open(self.events_path, encoding="utf-8") as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def stop(self, sig=signal.SIGTERM, timeout=5.0):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                raise Failure("krthost serve did not stop within %.0f s" % timeout)
        self.out.close()
        self.err.close()
        return self.proc.returncode


class Simulator:
    def __init__(self, exe, where="127.0.0.1:0", scenario=None):
        args = [exe, "--tcp", where] + (["--scenario", scenario] if scenario else [])
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        sel = selectors.DefaultSelector()
        sel.register(self.proc.stdout, selectors.EVENT_READ)
        if not sel.select(timeout=10):
            self.close()
            raise Failure("simulator did not say where it listens")
        self.where = self.proc.stdout.readline().split()[1]

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Run:
    def __init__(self, opts):
        self.opts = opts
        self.tmp = tempfile.TemporaryDirectory(prefix="krthost-site-")

    def path(self, name):
        return os.path.join(self.tmp.name, name)

    def write(self, name, value):
        with open(self.path(name), "w", encoding="utf-8") as f:
            f.write(value if isinstance(value, str) else json.dumps(value, ensure_ascii=False))
        return self.path(name)

    def site(self, devices, name="site.json", **extra):
        doc = {"data_dir": "data", "defaults": {"plugin": self.opts.plugin, "interval_ms": 300,
                                                 "reply_timeout_ms": 300, "comm_lost_after": 2},
               "devices": devices}
        doc.update(extra)
        return self.write(name, doc)

    def db(self):
        con = sqlite3.connect("file:%s?mode=ro" % self.path("data/krthost.db"), uri=True, timeout=5)
        return con

    def query(self, sql, *args):
        con = self.db()
        try:
            return con.execute(sql, args).fetchall()
        finally:
            con.close()


def scenario_with(run, name, alarm_sets):
    doc = json.loads(subprocess.run([run.opts.sim, "--print-default-scenario"], capture_output=True,
                                    text=True).stdout or "{}")
    doc.pop("alarms", None)
    doc["alarm_sets"] = alarm_sets
    return run.write(name, doc)


def active_rows(run, device_id):
    return run.query("SELECT key, desc FROM alarms WHERE device_id=? AND cleared_at IS NULL", device_id)


def expected_active(run, config, scenario=None):
    """The rule reports that the one-device host sees active after one poll."""
    cfg = run.write("one.json", config)
    events = run.path("one.ndjson")
    args = [run.opts.krthost, "--plugin", run.opts.plugin, "--config", cfg, "--cycles", "1", "--events", events,
            "--simulate"] + ([scenario] if scenario else [])
    subprocess.run(args, capture_output=True, timeout=30, check=True)
    with open(events, encoding="utf-8") as f:
        reports = [json.loads(line) for line in f if line.strip()]
    return {(e["key"], e["desc"]) for e in reports if e.get("event") == "report" and e.get("active")}


def case_three_devices(run):
    expected = expected_active(run, DEFAULT_RULES)
    expect(expected, "the default scenario has no active alarm reports")
    # room-b loses one alarm of the list after its first poll.
    reduced = scenario_with(run, "reduced.json", [DEFAULT_ALARMS] + [DEFAULT_ALARMS[1:]] * 100)
    site = run.site([
        {"id": 1, "name": "room-a", "simulate": True, "config": DEFAULT_RULES},
        {"id": 2, "name": "room-b", "scenario": reduced, "config": DEFAULT_RULES},
        {"id": 3, "name": "room-c", "simulate": True, "config": {"appSetting": {"b_mode": "1"}}},
    ])
    host = Host(run, site)
    try:
        wait_for("three snapshot rows per device", lambda: all(
            n >= 3 for (n,) in run.query("SELECT COUNT(*) FROM snapshots GROUP BY device_id")) and len(
            run.query("SELECT DISTINCT device_id FROM snapshots")) == 3)
        got = set(active_rows(run, 1))
        expect(got == expected, "room-a active alarms %r, expected %r" % (sorted(got), sorted(expected)))
        cleared = wait_for("a cleared alarm of room-b", lambda: run.query(
            "SELECT key, desc FROM alarms WHERE device_id=2 AND cleared_at IS NOT NULL"))
        expect(len(cleared) >= 1, "no alarm cleared on room-b")
        expect(set(cleared) <= expected, "room-b cleared %r, not one of the list's" % cleared)
        expect(not active_rows(run, 3), "room-c runs no rule set but has alarms")
        kinds = [e["event"] for e in host.events()]
        expect("raised" in kinds and "cleared" in kinds and "committed" in kinds, "events: %r" % set(kinds))
    finally:
        rc = host.stop()
    expect(rc == 0, "exit status %d after SIGTERM" % rc)
    with open(run.path("serve.out"), encoding="utf-8") as f:
        out = f.read()
    expect("room-a: alarm raised:" in out and "room-b: alarm cleared:" in out, "standard output:\n" + out)
    polls = run.query("SELECT COUNT(*) FROM snapshots")[0][0]
    expect(out.count("\n") < polls + 40, "standard output has a line per poll:\n" + out)


def case_restart_after_kill(run):
    site = run.site([{"id": 1, "name": "room-a", "simulate": True, "config": DEFAULT_RULES}])
    host = Host(run, site)
    try:
        wait_for("five committed rows", lambda: sum(e["event"] == "committed" for e in host.events()) >= 5)
    finally:
        host.stop(signal.SIGKILL)
    con = run.db()
    newest = con.execute("SELECT taken_at, data FROM snapshots WHERE device_id=1 ORDER BY rowid DESC LIMIT 1").fetchone()
    raised_before = con.execute("SELECT COUNT(*) FROM alarms").fetchone()[0]
    con.close()
    committed = [e["taken_at"] for e in host.events() if e["event"] == "committed"]
    rows = {t for (t,) in run.query("SELECT taken_at FROM snapshots")}
    expect(set(committed) <= rows, "committed rows missing after kill -9: %r" % (set(committed) - rows))
    os.remove(host.events_path)
    host = Host(run, site)
    try:
        state = wait_for("the restored state event", lambda: [
            e for e in host.events() if e["event"] == "state" and e.get("restored")])
        expect(state[0]["restored_at"] == newest[0], "restored %r, newest row %r" % (state[0]["restored_at"], newest[0]))
        wait_for("two more completed polls", lambda: sum(e["event"] == "committed" for e in host.events()) >= 2)
    finally:
        host.stop()
    raised_after = run.query("SELECT COUNT(*) FROM alarms")[0][0]
    expect(raised_after == raised_before, "alarms raised again after restart: %d rows, were %d" % (
        raised_after, raised_before))
    dup = run.query("SELECT key, desc, COUNT(*) FROM alarms WHERE cleared_at IS NULL GROUP BY device_id, key, desc "
                    "HAVING COUNT(*) > 1")
    expect(not dup, "alarm instances with two open rows: %r" % dup)
    expect(run.query("PRAGMA integrity_check")[0][0] == "ok", "integrity check failed")


def case_comm_lost(run):
    sim = Simulator(run.opts.sim)
    where = sim.where
    site = run.site([{"id": 5, "name": "room-t", "tcp": where, "config": DEFAULT_RULES}])
    host = Host(run, site)
    try:
        wait_for("a completed poll", lambda: any(e["event"] == "committed" for e in host.events()))
        sim.close()
        raised = wait_for("the comm-lost alarm", lambda: [
            e for e in host.events() if e["event"] == "raised" and e["key"] == "krthost_comm_lost"])
        expect(raised[0]["desc"] == "room-t 通信中断" and raised[0]["name"] == "通信中断" and raised[0]["kind"] == 2,
               "comm-lost alarm %r" % raised[0])
        wait_for("the comm-lost row", lambda: run.query(
            "SELECT COUNT(*) FROM alarms WHERE key='krthost_comm_lost' AND cleared_at IS NULL")[0][0] == 1)
        sim = Simulator(run.opts.sim, where)
        wait_for("the comm-lost clear", lambda: [
            e for e in host.events() if e["event"] == "cleared" and e["key"] == "krthost_comm_lost"])
    finally:
        sim.close()
        host.stop()


def case_sighup(run):
    devices = [{"id": 1, "name": "room-a", "simulate": True, "config": DEFAULT_RULES},
               {"id": 2, "name": "room-b", "simulate": True}]
    site = run.site(devices)
    host = Host(run, site)
    try:
        wait_for("both devices polling", lambda: {e["device"] for e in host.events() if e["event"] == "committed"}
                 == {"room-a", "room-b"})
        # A site file that does not validate leaves the site as it was.
        run.write("site.json", "{\"devices\": []}")
        host.proc.send_signal(signal.SIGHUP)
        time.sleep(1)
        expect(host.proc.poll() is None, "a bad site file on SIGHUP stopped the host")
        run.site([devices[0], {"id": 3, "name": "room-c", "simulate": True}])
        host.proc.send_signal(signal.SIGHUP)
        removed = wait_for("room-b removed", lambda: [e for e in host.events()
                                                      if e["event"] == "removed" and e["device"] == "room-b"])
        mark = len(host.events())
        wait_for("room-c polling and room-a still polling", lambda: {
            e["device"] for e in host.events()[mark:] if e["event"] == "committed"} >= {"room-a", "room-c"})
        time.sleep(1)
        # A row room-b took before it was stopped may commit after; none may
        # be taken after.
        late = [e for e in host.events() if e["device"] == "room-b" and e["event"] == "committed"
                and e["taken_at"] > removed[0]["time"]]
        expect(not late, "room-b polled after it was removed: %r" % late[:3])
    finally:
        rc = host.stop()
    expect(rc == 0, "exit status %d" % rc)
    with open(run.path("serve.err"), encoding="utf-8") as f:
        err = f.read()
    expect("site file not re-read" in err and "devices" in err, "bad reload not logged:\n" + err)


BAD_SITES = [
    ("not json", "{", "not JSON"),
    ("unknown member", {"devices": [{"id": 1, "name": "a", "simulate": True}], "colour": 1}, "colour: unknown member"),
    ("unknown device member", {"devices": [{"id": 1, "name": "a", "simulate": True, "speed": 2}]},
     "devices[0].speed: unknown member"),
    ("no devices", {"devices": []}, "devices:"),
    ("duplicate id", {"devices": [{"id": 1, "name": "a", "simulate": True}, {"id": 1, "name": "b", "simulate": True}]},
     "devices[1].id: duplicate"),
    ("duplicate name", {"devices": [{"id": 1, "name": "a", "simulate": True}, {"id": 2, "name": "a", "simulate": True}]},
     "devices[1].name: duplicate"),
    ("bad name", {"devices": [{"id": 1, "name": "room a", "simulate": True}]}, "devices[0].name"),
    ("id zero", {"devices": [{"id": 0, "name": "a", "simulate": True}]}, "devices[0].id"),
    ("two lines", {"devices": [{"id": 1, "name": "a", "simulate": True, "tcp": "127.0.0.1:1"}]}, "devices[0]: needs exactly one"),
    ("no line", {"devices": [{"id": 1, "name": "a"}]}, "devices[0]: needs exactly one"),
    ("missing plugin", {"devices": [{"id": 1, "name": "a", "simulate": True, "plugin": "/nonexistent/lib.so"}]},
     "devices[0].plugin"),
    ("open http without token", {"devices": [{"id": 1, "name": "a", "simulate": True}],
                                 "http": {"listen": "0.0.0.0:9838"}}, "http.token"),
    ("bad interval", {"defaults": {"interval_ms": "fast"}, "devices": [{"id": 1, "name": "a", "simulate": True}]},
     "defaults.interval_ms"),
]


def case_bad_site_files(run):
    for label, doc, needle in BAD_SITES:
        path = run.write("bad.json", doc)
        p = subprocess.run([run.opts.krthost, "serve", path], capture_output=True, text=True, timeout=20)
        lines = p.stderr.strip().splitlines()
        expect(p.returncode == 2, "%s: exit status %d, stderr %r" % (label, p.returncode, p.stderr))
        expect(len(lines) == 1 and path in lines[0] and needle in lines[0],
               "%s: expected one line naming %r and %r, got %r" % (label, path, needle, p.stderr))
    p = subprocess.run([run.opts.krthost, "serve", run.path("absent.json")], capture_output=True, text=True, timeout=20)
    expect(p.returncode == 2 and "absent.json" in p.stderr, "unreadable site file: %r" % p.stderr)


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}


def run_main(cases, extra=(), logs=("serve.out", "serve.err")):
    """Runs the case the command line names; `extra` holds (flag, argparse
    keywords) of a script's own options. On failure the last lines of the
    named logs of the case's folder are shown."""
    ap = argparse.ArgumentParser()
    ap.add_argument("case", choices=sorted(cases))
    ap.add_argument("--krthost", required=True)
    ap.add_argument("--sim", required=True)
    ap.add_argument("--plugin", required=True)
    for flag, kwargs in extra:
        ap.add_argument(flag, **kwargs)
    opts = ap.parse_args()
    for name in ("krthost", "sim", "plugin"):
        setattr(opts, name, os.path.abspath(getattr(opts, name)))
    run = Run(opts)
    try:
        cases[opts.case](run)
    except Failure as e:
        print("FAIL %s: %s" % (opts.case, e))
        for name in logs:
            if os.path.exists(run.path(name)):
                with open(run.path(name), encoding="utf-8", errors="replace") as f:
                    print("--- %s (last lines)\n%s" % (name, "".join(f.readlines()[-30:])))
        return 1
    print("ok %s" % opts.case)
    return 0


if __name__ == "__main__":
    sys.exit(run_main(CASES))
