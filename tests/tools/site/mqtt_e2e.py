#!/usr/bin/env python3
"""`krthost serve` publishing over MQTT to a broker started here on a free
loopback port, watched by mosquitto_sub: "online", the device's state,
values and alarms; "offline" after a clean stop and, as the last will, after
the host is killed.

Every wait is bounded; what the case starts it stops.
Usage: mqtt_e2e.py CASE --krthost PATH --plugin PATH
"""
import argparse
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from site_e2e import Failure, expect, free_port, wait_for  # noqa: E402,F401

BROKER = "/usr/sbin/mosquitto"
SUB = "mosquitto_sub"
RULES = {"appSetting": {"ac_number": "1", "dc_number": "1", "b_mode": "0"}}
PASSWORD = "pw-e2e-Secret-31"


def accepts(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


def stop_process(proc, sig=signal.SIGTERM, timeout=5.0):
    if proc.poll() is None:
        proc.send_signal(sig)
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            return None
    return proc.returncode


class Subscriber:
    """mosquitto_sub -v on PREFIX/#: every message as (topic, payload), in order."""

    def __init__(self, port, prefix, extra=()):
        self.proc = subprocess.Popen([SUB, "-h", "127.0.0.1", "-p", str(port), "-q", "1", "-v",
                                      "-t", prefix + "/#", "-W", "120", *extra],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.lock = threading.Lock()
        self.messages = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            topic, _, payload = line.rstrip("\n").partition(" ")
            with self.lock:
                self.messages.append((topic, payload))

    def since(self, start=0):
        with self.lock:
            return self.messages[start:]

    def count(self):
        with self.lock:
            return len(self.messages)

    def first(self, topic, predicate=lambda p: True, start=0):
        for t, p in self.since(start):
            if t == topic and predicate(p):
                return p
        return None

    def close(self):
        stop_process(self.proc)


def case_serve_online_state_and_last_will(tmp, opts):
    port = free_port()
    conf = os.path.join(tmp, "broker.conf")
    with open(conf, "w", encoding="utf-8") as f:
        f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest none\n" % port)
    pw = os.path.join(tmp, "mqtt.pw")
    with open(pw, "w", encoding="utf-8") as f:
        f.write(PASSWORD + "\n")
    site = os.path.join(tmp, "site.json")
    with open(site, "w", encoding="utf-8") as f:
        json.dump({"data_dir": os.path.join(tmp, "data"),
                   "defaults": {"plugin": opts.plugin, "interval_ms": 300, "reply_timeout_ms": 300,
                                "queries": ["out_v", "va1"]},
                   "devices": [{"id": 1, "name": "room-a", "simulate": True, "config": RULES}],
                   "mqtt": {"broker": "127.0.0.1:%d" % port, "client_id": "e2e-site", "username": "site",
                            "password_file": pw, "keepalive_s": 5}}, f)
    p = "krthost/e2e-site"
    err_path = os.path.join(tmp, "serve.err")
    out_path = os.path.join(tmp, "serve.out")

    broker = subprocess.Popen([BROKER, "-c", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    sub = None
    hosts = []
    try:
        wait_for("the broker to listen", lambda: accepts(port), timeout=10)
        sub = Subscriber(port, p)

        def serve():
            with open(out_path, "a", encoding="utf-8") as out, open(err_path, "a", encoding="utf-8") as err:
                hosts.append(subprocess.Popen([opts.krthost, "serve", site], stdout=out, stderr=err))
            return hosts[-1]

        # A clean stop says "offline" itself.
        host = serve()
        wait_for("online", lambda: sub.first(p + "/status", lambda s: s == "online"))
        state = json.loads(wait_for("a complete state", lambda: sub.first(
            p + "/room-a/state", lambda s: json.loads(s)["outcome"] == "complete")))
        expect(state["up"] is True and isinstance(state["data_age_s"], (int, float)), "state %r" % state)
        values = json.loads(wait_for("values", lambda: sub.first(p + "/room-a/values")))
        expect(set(values) == {"time", "out_v", "va1"} and isinstance(values["out_v"], float),
               "values %r" % values)
        alarms = json.loads(wait_for("active alarms", lambda: sub.first(p + "/room-a/alarms",
                                                                        lambda s: len(json.loads(s)) >= 1)))
        raised = json.loads(wait_for("a raised alarm", lambda: sub.first(
            p + "/room-a/alarm", lambda s: json.loads(s)["event"] == "raised")))
        expect(len(alarms) >= 1 and raised["key"] in {a["key"] for a in alarms},
               "raised %r not among the active %r" % (raised, alarms))
        mark = sub.count()
        rc = stop_process(host)
        expect(rc == 0, "exit status %r after SIGTERM" % rc)
        wait_for("offline after SIGTERM", lambda: sub.first(p + "/status", lambda s: s == "offline", mark),
                 timeout=5)

        # A killed host: the broker publishes the last will.
        mark = sub.count()
        host = serve()
        wait_for("online again", lambda: sub.first(p + "/status", lambda s: s == "online", mark))
        wait_for("a new state", lambda: sub.first(p + "/room-a/state", start=mark))
        mark = sub.count()
        host.kill()
        host.wait(timeout=5)
        wait_for("offline as the last will", lambda: sub.first(p + "/status", lambda s: s == "offline", mark),
                 timeout=10)
    finally:
        for h in hosts:
            stop_process(h, signal.SIGKILL)
        if sub:
            sub.close()
        stop_process(broker)
    with open(err_path, encoding="utf-8") as f:
        err = f.read()
    with open(out_path, encoding="utf-8") as f:
        out = f.read()
    expect(PASSWORD not in err and PASSWORD not in out, "the password was printed")
    expect("connected to broker 127.0.0.1:%d" % port in err, "no connected line in:\n" + err)


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("case", choices=sorted(CASES))
    ap.add_argument("--krthost", required=True)
    ap.add_argument("--plugin", required=True)
    opts = ap.parse_args()
    opts.krthost = os.path.abspath(opts.krthost)
    opts.plugin = os.path.abspath(opts.plugin)
    with tempfile.TemporaryDirectory(prefix="krthost-mqtt-") as tmp:
        try:
            CASES[opts.case](tmp, opts)
        except Failure as e:
            print("FAIL %s: %s" % (opts.case, e))
            for name in ("serve.out", "serve.err"):
                path = os.path.join(tmp, name)
                if os.path.exists(path):
                    with open(path, encoding="utf-8") as f:
                        print("--- %s (last lines)\n%s" % (name, "".join(f.readlines()[-30:])))
            return 1
    print("ok %s" % opts.case)
    return 0


if __name__ == "__main__":
    sys.exit(main())
