#!/usr/bin/env python3
"""End-to-end runs of krthost against hvr38qt-sim over real lines.

Each case starts the programs as separate processes on loopback addresses
or a pseudo-terminal, bounds every wait, and stops what it started.
Usage: e2e.py CASE --krthost PATH --sim PATH --plugin PATH --not-a-plugin PATH
"""
import argparse
import json
import os
import selectors
import signal
import subprocess
import sys
import tempfile
import time

FIRST_CYCLE = [0x42, 0x43, 0x44] + [0x8F] * 6 + [0x95, 0xA2, 0xA4, 0xA3, 0x93, 0x9C]
LATER_CYCLE = [0x42, 0x44] + [0x8F] * 6 + [0x95, 0xA2, 0xA4, 0xA3, 0x93, 0x9C]
# Six modules, one AC unit, one DC unit: 51 + 219 + 6 * 68 + 22 + 146 + 800.
SNAPSHOT_SIZE = 1646


class Failure(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


class Simulator:
    """hvr38qt-sim on TCP or a pty; `where` is the port's address or tty path."""

    def __init__(self, exe, mode, scenario=None, replay=None):
        args = [exe, "--verbose"] + (["--tcp", "127.0.0.1:0"] if mode == "tcp" else ["--pty"])
        if scenario:
            args += ["--scenario", scenario]
        if replay:
            args += ["--replay", replay]
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        sel = selectors.DefaultSelector()
        sel.register(self.proc.stdout, selectors.EVENT_READ)
        if not sel.select(timeout=10):
            self.close()
            raise Failure("simulator did not say where it listens")
        kind, self.where = self.proc.stdout.readline().split()
        expect(kind == mode, "simulator announced %r" % kind)

    def close(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.stderr.read()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Run:
    def __init__(self, opts):
        self.opts = opts
        self.tmp = tempfile.TemporaryDirectory(prefix="krthost-e2e-")

    def path(self, name):
        return os.path.join(self.tmp.name, name)

    def write(self, name, text):
        with open(self.path(name), "w", encoding="utf-8") as f:
            f.write(text)
        return self.path(name)

    def scenario_with_faults(self, faults):
        text = subprocess.run([self.opts.sim, "--print-default-scenario"], capture_output=True,
                              text=True, timeout=10, check=True).stdout
        scenario = json.loads(text)
        scenario["faults"] = faults
        return self.write("scenario.json", json.dumps(scenario))

    def host(self, *args, timeout=30):
        cmd = [self.opts.krthost, "--plugin", self.opts.plugin] + list(args)
        return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)


def read_events(path):
    events = []
    with open(path, "rb") as f:
        for raw in f:
            events.append(json.loads(raw.decode("utf-8")))
    return events


def polls(events):
    """Splits the events into polls: (events up to the poll event, the poll
    event, the value events after it)."""
    out, current, i = [], [], 0
    while i < len(events):
        e = events[i]
        if e["event"] == "poll":
            values = []
            while i + 1 < len(events) and events[i + 1]["event"] == "value":
                i += 1
                values.append(events[i])
            out.append((current, e, values))
            current = []
        else:
            current.append(e)
        i += 1
    return out


def check_complete_poll(body, poll, values, requests):
    got = [e["cid2"] for e in body if e["event"] == "request"]
    expect(got == requests, "requests %s, expected %s" % ([hex(c) for c in got], [hex(c) for c in requests]))
    expect(all(e["cid1"] == 0x41 for e in body if e["event"] == "request"), "cid1 not 0x41")
    snaps = [e for e in body if e["event"] == "snapshot"]
    hist = [e for e in body if e["event"] == "history"]
    expect(len(snaps) == 1 and len(hist) == 1, "one snapshot and one history per cycle")
    expect(snaps[0]["type"] == 5029 and snaps[0]["size"] == SNAPSHOT_SIZE, "snapshot %r" % {
        k: snaps[0][k] for k in ("type", "size")})
    expect(len(snaps[0]["data"]) == 2 * SNAPSHOT_SIZE and snaps[0]["data"] == snaps[0]["data"].upper(),
           "snapshot data is the upper-case hex of its size")
    expect(hist[0]["data"] == snaps[0]["data"], "history differs from snapshot")
    expect(body.index(snaps[0]) < body.index(hist[0]), "history before snapshot")
    expect(poll["outcome"] == "complete" and poll["data_ready"] == 1, "poll %r" % poll)
    expect([v["name"] for v in values] == ["va1", "out_v"], "values %r" % values)
    expect(values[0]["value"] == 230.4 and values[1]["value"] == 53.5, "values %r" % values)


def full_cycle(run, mode):
    with Simulator(run.opts.sim, mode) as sim:
        line = ["--tcp", sim.where] if mode == "tcp" else ["--serial", sim.where]
        ev = run.path("events.jsonl")
        r = run.host(*line, "--cycles", "2", "--interval-ms", "0", "--reply-timeout-ms", "1000",
                     "--device-id", "3", "--query", "va1,out_v", "--events", ev)
        expect(r.returncode == 0, "exit %d: %s" % (r.returncode, r.stderr))
        p = polls(read_events(ev))
        expect(len(p) == 2, "%d polls" % len(p))
        check_complete_poll(*p[0], FIRST_CYCLE)
        check_complete_poll(*p[1], LATER_CYCLE)
        snap = [e for e in p[0][0] if e["event"] == "snapshot"][0]
        expect(snap["data"].startswith("03000000"), "device id 3 heads the snapshot")
        expect("poll 2: complete" in r.stdout, r.stdout)


def case_tcp_full_cycle(run):
    full_cycle(run, "tcp")


def case_pty_full_cycle(run):
    full_cycle(run, "pty")


def case_timeout_then_good_poll(run):
    scenario = run.scenario_with_faults([{"cid2": "0x44", "no_reply": True, "count": 1}])
    with Simulator(run.opts.sim, "tcp", scenario) as sim:
        ev = run.path("events.jsonl")
        start = time.monotonic()
        r = run.host("--tcp", sim.where, "--cycles", "2", "--interval-ms", "0",
                     "--reply-timeout-ms", "300", "--query", "va1,out_v", "--events", ev)
        expect(r.returncode == 0, "exit %d: %s" % (r.returncode, r.stderr))
        expect(time.monotonic() - start < 10, "the timeout did not end the poll promptly")
        p = polls(read_events(ev))
        expect(len(p) == 2, "%d polls" % len(p))
        body, poll, values = p[0]
        expect(poll["outcome"] == "timeout" and poll["data_ready"] == 0, "poll %r" % poll)
        timeouts = [e for e in body if e["event"] == "timeout"]
        expect(timeouts == [{"event": "timeout", "cid2": 0x44}], "timeout events %r" % timeouts)
        expect([e["cid2"] for e in body if e["event"] == "request"] == [0x42, 0x43, 0x44], "requests")
        expect([v.get("error") for v in values] == ["数据未就绪"] * 2, "values %r" % values)
        # Nothing was published yet, so the next poll is a first cycle again.
        check_complete_poll(*p[1], FIRST_CYCLE)


def case_reconnect_after_close(run):
    scenario = run.scenario_with_faults([{"cid2": "0x44", "disconnect": True, "count": 1}])
    with Simulator(run.opts.sim, "tcp", scenario) as sim:
        ev = run.path("events.jsonl")
        r = run.host("--tcp", sim.where, "--cycles", "2", "--interval-ms", "0",
                     "--reply-timeout-ms", "1000", "--query", "va1,out_v", "--events", ev)
        sim_log = sim.close()
        expect(r.returncode == 0, "exit %d: %s" % (r.returncode, r.stderr))
        p = polls(read_events(ev))
        expect(len(p) == 2, "%d polls" % len(p))
        expect(p[0][1]["outcome"] == "line lost", "poll %r" % p[0][1])
        expect("line lost" in r.stderr and "closed by the other end" in r.stderr, r.stderr)
        check_complete_poll(*p[1], FIRST_CYCLE)
        expect(sim_log.count("peer connected") == 2, "connections: " + sim_log)


def case_bad_input_exits(run):
    cases = [
        (["--bogus"], "unknown argument"),
        (["--cycles", "0"], "--cycles"),
        (["--cycles", "many"], "--cycles"),
        (["--tcp", "nohost"], "HOST:PORT"),
        (["--tcp", "127.0.0.1:1", "--serial", "/dev/null"], "exclude each other"),
        (["--serial", "/dev/null", "--baud", "1234"], "baud"),
        (["--query", "va1,,ac"], "empty name"),
        (["--plugin", "/nonexistent/libhvr38qt.so"], "no such file"),
        (["--plugin", run.tmp.name], "is a directory"),
        (["--plugin", run.write("fake.so", "not a library")], "cannot be loaded"),
        (["--plugin", run.opts.not_a_plugin], "no get_providers"),
        (["--config", run.path("missing.json")], "cannot be read"),
        (["--config", run.write("bad.json", "{\"appSetting\": ")], "not valid JSON"),
        (["--config", run.write("array.json", "[]")], "not a JSON object"),
        (["--config", run.write("level.json", "{\"thresholdSetting\": {\"K\": {\"level\": \"high\"}}}")],
         "thresholdSetting.K.level"),
        (["--simulate", run.write("scenario.json", "{\"modules\": 3}")], "scenario"),
        (["--events", "/nonexistent/dir/events.jsonl"], "events file"),
    ]
    for args, words in cases:
        # A case that is wrongly accepted must still end.
        if "--plugin" in args:
            r = subprocess.run([run.opts.krthost, "--cycles", "1"] + args, capture_output=True,
                               text=True, timeout=20)
        else:
            r = run.host("--cycles", "1", *args, timeout=20)
        what = " ".join(args)
        expect(r.returncode == 2, "%s: exit %d, stderr %r" % (what, r.returncode, r.stderr))
        lines = r.stderr.splitlines()
        expect(len(lines) == 1 and lines[0].startswith("krthost: "), "%s: stderr %r" % (what, r.stderr))
        expect(words in lines[0], "%s: %r does not name %r" % (what, lines[0], words))
        expect("poll" not in r.stdout, "%s: polled anyway" % what)


def case_stops_on_sigterm(run):
    for sig in (signal.SIGTERM, signal.SIGINT):
        proc = subprocess.Popen([run.opts.krthost, "--plugin", run.opts.plugin, "--interval-ms", "100"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            sel = selectors.DefaultSelector()
            sel.register(proc.stdout, selectors.EVENT_READ)
            seen = ""
            deadline = time.monotonic() + 10
            while "poll 2:" not in seen and time.monotonic() < deadline:
                if sel.select(timeout=1):
                    seen += proc.stdout.readline()
            expect("poll 2:" in seen, "no polls: " + seen)
            proc.send_signal(sig)
            rc = proc.wait(timeout=5)
            expect(rc == 0, "exit %d after signal %d" % (rc, sig))
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()


def case_built_in_simulator(run):
    r = run.host("--cycles", "2", "--interval-ms", "0", "--query", "va1,vb1,vc1,out_v,ac")
    expect(r.returncode == 0, "exit %d: %s" % (r.returncode, r.stderr))
    for text in ("poll 1: complete", "poll 2: complete", "output 53.5 V, 6 modules",
                 "va1=230.4 vb1=229.8 vc1=231.1 out_v=53.5 ac=0"):
        expect(text in r.stdout, "%r not in %s" % (text, r.stdout))


def without_times(events):
    """The events less what differs between two runs of the same traffic:
    the snapshot time stamp (image bytes 9-15) and the poll durations."""
    out = []
    for e in events:
        e = dict(e)
        if e["event"] in ("snapshot", "history"):
            e["data"] = e["data"][:18] + "T" * 14 + e["data"][32:]
        e.pop("duration_ms", None)
        out.append(e)
    return out


def case_capture_then_replay(run):
    # Trouble on the line: noise ahead of a reply, a reply that never comes.
    scenario = run.scenario_with_faults([{"cid2": "0xA2", "garbage": "00FF7E31"},
                                         {"cid2": "0x44", "no_reply": True, "count": 1}])
    capture, first_ev, second_ev = run.path("line.cap"), run.path("first.jsonl"), run.path("second.jsonl")
    common = ["--cycles", "3", "--interval-ms", "0", "--reply-timeout-ms", "300", "--query", "va1,out_v"]
    r = run.host("--simulate", scenario, "--capture", capture, "--events", first_ev, *common)
    expect(r.returncode == 0, "exit %d: %s" % (r.returncode, r.stderr))
    expect("poll 1: timeout" in r.stdout and "1 timeout" in r.stdout, r.stdout)
    with open(capture, encoding="ascii") as f:
        lines = f.read().splitlines()
    expect(lines[0] == "# krthost line capture 1", "first line %r" % lines[0])
    data = [l.split() for l in lines if not l.startswith("#")]
    expect(all(len(d) == 4 and d[2] in ("TX", "RX") for d in data), "capture lines %r" % data[:3])
    expect(any(d[2] == "RX" and d[3].startswith("00FF7E31") for d in data), "the noise is captured")

    with Simulator(run.opts.sim, "tcp", replay=capture) as sim:
        r2 = run.host("--tcp", sim.where, "--events", second_ev, *common)
        sim_log = sim.close()
    expect(r2.returncode == 0, "exit %d: %s" % (r2.returncode, r2.stderr))
    first, second = read_events(first_ev), read_events(second_ev)
    expect([e["outcome"] for e in first if e["event"] == "poll"] == ["timeout", "complete", "complete"],
           "outcomes %r" % [e for e in first if e["event"] == "poll"])
    a, b = without_times(first), without_times(second)
    for i, (x, y) in enumerate(zip(a, b)):
        expect(x == y, "event %d differs:\n  %r\n  %r" % (i, x, y))
    expect(len(a) == len(b), "%d events captured, %d replayed" % (len(a), len(b)))
    expect(" 0 not in it" in sim_log, "replay: " + sim_log)


def case_replay_bad_input(run):
    cases = [
        (["--replay", run.path("missing.cap")], "cannot be read"),
        (["--replay", run.write("bad.cap", "2024-05-01 12:00:00.0 XX 7E\n")], "line 1"),
        (["--replay", run.write("empty.cap", "# nothing\n")], "holds no request"),
        (["--replay", run.write("a.cap", "# x\n"), "--scenario", "s.json"], "exclude each other"),
    ]
    for args, words in cases:
        r = subprocess.run([run.opts.sim, "--tcp", "127.0.0.1:0"] + args, capture_output=True, text=True,
                           timeout=10)
        expect(r.returncode == 2, "%s: exit %d" % (args, r.returncode))
        expect(words in r.stderr and len(r.stderr.splitlines()) == 1, "%s: %r" % (args, r.stderr))


def decode(run, *args):
    r = subprocess.run([run.opts.krthost, "decode"] + list(args), capture_output=True, text=True, timeout=20)
    return r.returncode, (json.loads(r.stdout) if r.stdout.strip() else None), r.stderr


def case_decode_snapshot(run):
    ev = run.path("events.jsonl")
    config = run.write("site.json", json.dumps({"appSetting": {"ac_number": "1", "dc_number": "1"}}))
    r = run.host("--cycles", "2", "--interval-ms", "0", "--device-id", "7", "--config", config, "--events", ev)
    expect(r.returncode == 0, "exit %d: %s" % (r.returncode, r.stderr))
    snap = [e for e in read_events(ev) if e["event"] == "snapshot"][-1]["data"]

    rc, d, err = decode(run, "--config", config, ev)
    expect(rc == 0 and d is not None, "exit %d: %s" % (rc, err))
    h = d["header"]
    expect((h["device_id"], h["output_voltage"], h["module_count"]) == (7, 53.5, 6), "header %r" % h)
    expect(h["time_stamp"]["valid"], "time stamp %r" % h["time_stamp"])
    expect(not d["truncated"] and "warnings" not in d, "decoded %r" % {k: d.get(k) for k in ("truncated", "warnings")})
    expect([d["ac"][0][k] for k in ("u_a", "u_b", "u_c")] == [230.4, 229.8, 231.1], "ac %r" % d["ac"])
    expect(len(d["dc"]) == 1 and len(d["dc"][0]["branches"]) == 16, "dc")
    expect(d["dc"][0]["branches"][1]["b_value32_1"] == 95, "dc branch 2 %r" % d["dc"][0]["branches"][1])
    expect([m["current"] for m in d["modules"]] == [12.4, 12.1, 12.6, 11.9, 0.0, 12.2], "modules")
    expect(d["modules"][4]["alarm_state"] == 1 and d["modules"][0]["value16_2"] == 124, "module fields")
    expect(d["block_95"]["ext_value"] == 100.0 and d["word_93"] == 25, "0x95 and 0x93")
    expect(d["block_a3"][0]["entry_value"][0] == 250, "0xA3 %r" % d["block_a3"][0])
    expect([(a["unit"], a["category"], a["code"]) for a in d["alarms"]] ==
           [(1, 12, 29), (0, 8, 5), (0, 6, 5), (1, 14, 10)], "alarms %r" % d["alarms"])

    # The same image as raw bytes, as hex, and cut short.
    raw = bytes.fromhex(snap)
    with open(run.path("snap.bin"), "wb") as f:
        f.write(raw)
    rc, d_raw, _ = decode(run, "--config", config, run.path("snap.bin"))
    expect(rc == 0 and d_raw == d, "raw bytes decode differently")
    rc, d_hex, _ = decode(run, "--ac", "1", "--dc", "1", run.write("snap.hex", snap.lower() + "\n"))
    expect(rc == 0 and d_hex == d, "hex decodes differently")
    with open(run.path("cut.bin"), "wb") as f:
        f.write(raw[:400])
    rc, cut, _ = decode(run, "--config", config, run.path("cut.bin"))
    expect(rc == 0 and cut["truncated"] and cut["truncated_in"] == "modules", "cut %r" % cut)
    with open(run.path("short.bin"), "wb") as f:
        f.write(raw[:10])
    rc, short, _ = decode(run, run.path("short.bin"))
    expect(rc == 1 and "error" in short, "short image: exit %d %r" % (rc, short))

    for args, words in [([], "needs a snapshot"), (["--ac", "0", ev], "--ac"), (["--input", "x", ev], "--input"),
                        ([run.path("missing")], "cannot be read"), (["--pick", "9", ev], "snapshot 9"),
                        ([run.write("odd.hex", "abc")], "odd number")]:
        rc, _, err = decode(run, *args)
        expect(rc == 2 and words in err and len(err.splitlines()) == 1, "%s: exit %d %r" % (args, rc, err))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case")
    parser.add_argument("--krthost", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--not-a-plugin", required=True)
    opts = parser.parse_args()
    test = globals().get("case_" + opts.case)
    if test is None:
        print("unknown case " + opts.case, file=sys.stderr)
        return 2
    run = Run(opts)
    try:
        test(run)
    except (Failure, subprocess.TimeoutExpired) as e:
        print("FAIL %s: %s" % (opts.case, e), file=sys.stderr)
        return 1
    finally:
        run.tmp.cleanup()
    print("ok " + opts.case)
    return 0


if __name__ == "__main__":
    sys.exit(main())
