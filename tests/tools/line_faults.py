#!/usr/bin/env python3
"""Line faults, end to end: krthost against hvr38qt-sim with one fault in the
second of three polls.

The first poll completes; the second meets the fault and fails, times out or
loses the line with a logged reason (or, for noise between frames, still
completes); the third completes with the same data as the first. Every
check reads the event stream: requests in order, timeout and log events,
poll events with state and data-ready flag, snapshots and values.
Usage: line_faults.py CASE --krthost PATH --sim PATH --plugin PATH
"""
import argparse
import os
import selectors
import subprocess
import sys
import time
import types

from e2e import (FIRST_CYCLE, LATER_CYCLE, Failure, Run, Simulator, check_complete_poll, expect,
                 polls, read_events)

# Header bytes 9 to 15 of the snapshot are the time stamp of the cycle end.
STAMP = slice(2 * 9, 2 * 16)


def requests(body):
    return [e["cid2"] for e in body if e["event"] == "request"]


def logs(body):
    return [e["text"] for e in body if e["event"] == "log"]


def kinds(body, kind):
    return [e for e in body if e["event"] == kind]


def snapshot_data(body):
    snaps = kinds(body, "snapshot")
    expect(len(snaps) == 1, "%d snapshots" % len(snaps))
    data = snaps[0]["data"]
    return data[:STAMP.start] + data[STAMP.stop:]


def three_polls(run, faults, mode="tcp", faulty=1):
    """Runs three polls against a simulator with the faults, the fault in
    poll `faulty` (0 or 1); checks the other two, which complete with the
    same data, and returns the faulty poll: its events (body), poll event,
    values, the host's and the simulator's standard error, and the data of
    the good polls' snapshot (reference)."""
    scenario = run.scenario_with_faults(faults)
    with Simulator(run.opts.sim, mode, scenario) as sim:
        line = ["--tcp", sim.where] if mode == "tcp" else ["--serial", sim.where]
        ev = run.path("events.jsonl")
        start = time.monotonic()
        r = run.host(*line, "--cycles", "3", "--interval-ms", "0", "--reply-timeout-ms", "400",
                     "--byte-timeout-ms", "100", "--query", "va1,out_v", "--events", ev)
        elapsed = time.monotonic() - start
        sim_log = sim.close()
    expect(r.returncode == 0, "exit %d: %s" % (r.returncode, r.stderr))
    expect(elapsed < 8, "three polls took %.1f s" % elapsed)
    p = polls(read_events(ev))
    expect(len(p) == 3, "%d polls" % len(p))
    good = [q for i, q in enumerate(p) if i != faulty]
    # The first completed cycle asks for the switch states, later ones not.
    check_complete_poll(*good[0], FIRST_CYCLE)
    check_complete_poll(*good[1], LATER_CYCLE)
    expect(snapshot_data(good[1][0]) == snapshot_data(good[0][0]), "the good polls published other data")
    expect(not kinds(good[0][0], "log") and not kinds(good[1][0], "log"),
           "logs in a good poll: %r" % (logs(good[0][0]) + logs(good[1][0])))
    body, poll, values = p[faulty]
    expect(poll["index"] == faulty, "poll %r" % poll)
    if faulty == 0:
        expect([v.get("error") for v in values] == ["数据未就绪"] * 2, "values before any data %r" % values)
    else:
        # The data of poll 1 is still fresh and is still served.
        expect([(v["name"], v.get("value")) for v in values] == [("va1", 230.4), ("out_v", 53.5)],
               "values after the fault %r" % values)
    return types.SimpleNamespace(body=body, poll=poll, values=values, err=r.stderr, sim_log=sim_log,
                                 reference=snapshot_data(good[0][0]))


def faulty_poll(f, outcome, sent, state=None, data_ready=1):
    """Common checks of a poll that did not complete."""
    poll = f.poll
    expect(poll["outcome"] == outcome, "outcome %r, expected %r" % (poll["outcome"], outcome))
    expect(poll["data_ready"] == data_ready, "data-ready flag %r" % poll["data_ready"])
    if state is not None:
        expect(poll["state"] == state, "state %r, expected %r" % (poll["state"], state))
    got = requests(f.body)
    expect(got == sent, "requests %s, expected %s" % ([hex(c) for c in got], [hex(c) for c in sent]))
    expect(not kinds(f.body, "snapshot") and not kinds(f.body, "history"), "a failed poll published data")
    expect(not kinds(f.body, "report"), "a failed poll evaluated rules")


def completed_anyway(f, what):
    """Checks of a poll that met a fault and still completed, with the same
    data as the good polls."""
    expect(f.poll["outcome"] == "complete" and f.poll["data_ready"] == 1, "%s: poll %r" % (what, f.poll))
    expect(requests(f.body) == LATER_CYCLE, "%s: requests %r" % (what, requests(f.body)))
    expect(snapshot_data(f.body) == f.reference, "%s: other data published" % what)
    expect(len(kinds(f.body, "history")) == 1, "%s: history" % what)


def failed_on(cid2, rtn=0):
    """The host's line for a cycle the device failed."""
    return "cycle failed on the reply to request 0x%02X (return code %d)" % (cid2, rtn)


def upto(cid2, cycle=LATER_CYCLE, nth=1):
    """The requests of a cycle up to the nth request with this command."""
    seen = 0
    for i, c in enumerate(cycle):
        if c == cid2:
            seen += 1
            if seen == nth:
                return cycle[:i + 1]
    raise ValueError(hex(cid2))


def case_no_reply(run):
    f = three_polls(run, [{"cid2": "0x95", "no_reply": True, "skip": 1, "count": 1}])
    faulty_poll(f, "timeout", upto(0x95))
    expect(kinds(f.body, "timeout") == [{"event": "timeout", "cid2": 0x95}], "timeouts %r" % kinds(f.body, "timeout"))
    expect(logs(f.body) == ["no reply to request 0x95"], "logs %r" % logs(f.body))
    expect([e["event"] for e in f.body[-2:]] == ["timeout", "log"], "timeout, then its log line")
    expect("no reply to request 0x95" in f.err, f.err)


def case_reply_cut(run):
    f = three_polls(run, [{"cid2": "0xA2", "truncate": 30, "skip": 1, "count": 1}])
    faulty_poll(f, "timeout", upto(0xA2))
    expect(kinds(f.body, "timeout") == [{"event": "timeout", "cid2": 0xA2}], "timeouts %r" % kinds(f.body, "timeout"))
    expect(logs(f.body) == ["reply cut off to request 0xA2"], "logs %r" % logs(f.body))
    # The byte timeout ended it, not the reply timeout.
    expect(f.poll["duration_ms"] < 400, "poll took %d ms" % f.poll["duration_ms"])


def case_garbage_between_frames(run):
    # Noise is skipped; a broken frame start is logged and dropped. Either
    # way the real reply behind it is taken and the poll completes.
    table = [
        ("noise without a frame start", "00FF414243", []),
        ("a frame start cut by the next", "7E323130", ["frame interrupted by a new start"]),
        ("a short frame", "7E3231300D", ["frame too short"]),
        ("a frame of non-hex characters", "7E" + "5A" * 16 + "0D", ["non-hex character"]),
    ]
    for what, garbage, errors in table:
        f = three_polls(run, [{"cid2": "0x44", "garbage": garbage, "skip": 1, "count": 1}])
        completed_anyway(f, what)
        got = logs(f.body)
        expect(len(got) == len(errors) and all(e in g and "bad frame" in g for e, g in zip(errors, got)),
               "%s: logs %r" % (what, got))


def case_bad_checksum(run):
    # The frame is dropped; no other reply comes, so the poll times out.
    f = three_polls(run, [{"cid2": "0x93", "bad_checksum": True, "skip": 1, "count": 1}])
    faulty_poll(f, "timeout", upto(0x93))
    got = logs(f.body)
    expect(len(got) == 2 and "bad frame: checksum mismatch" in got[0] and got[1] == "no reply to request 0x93",
           "logs %r" % got)
    expect(kinds(f.body, "timeout") == [{"event": "timeout", "cid2": 0x93}], "timeouts %r" % kinds(f.body, "timeout"))


def info_of(run, cid2, data=""):
    """The info bytes (hex) of the default scenario's reply to a request."""
    import socket
    with Simulator(run.opts.sim, "tcp") as sim:
        host, port = sim.where.rsplit(":", 1)
        with socket.create_connection((host, int(port)), timeout=5) as s:
            s.sendall(encode_request(cid2, data).encode())
            reply = b""
            while not reply.endswith(b"\r"):
                chunk = s.recv(4096)
                expect(chunk, "simulator closed the connection")
                reply += chunk
    text = reply.decode()[1:-1]
    lenid = int(text[8:12], 16) & 0x0FFF
    return text[12:12 + lenid]


def encode_request(cid2, data=""):
    lenid = len(data)
    lchk = (-(sum(int(c, 16) for c in "%03X" % lenid)) % 16) if lenid else 0
    body = "2101%02X%02X%01X%03X%s" % (0x41, cid2, lchk, lenid, data)
    return "~%s%04X\r" % (body, -sum(body.encode()) % 65536)


def case_another_commands_data(run):
    analog = info_of(run, 0x42)
    word = info_of(run, 0x93)
    table = [
        # The 0x42 reply to 0x44: its first byte is no module count.
        (0x44, analog, 2, ["ProcotolError 1 parse p41_44 channel_count not equal 1 != 6",
                           "ProcotolError 1 parse p41_44 overflow memory boundary", failed_on(0x44)]),
        # The 0x93 word to 0xA2: too short for an AC unit.
        (0xA2, word, 2, ["ProcotolError 1 parse p41_A2 overflow memory boundary", failed_on(0xA2)]),
        # The 0x93 word to 0x8F: its second byte is no module number.
        (0x8F, word, 2, ["ProcotolError 1 parse 41_8F error, index out of range", failed_on(0x8F)]),
    ]
    for cid2, info, state, messages in table:
        skip = 6 if cid2 == 0x8F else 1
        f = three_polls(run, [{"cid2": "0x%02X" % cid2, "info": info, "skip": skip, "count": 1}])
        faulty_poll(f, "failed", upto(cid2), state)
        got = logs(f.body)
        expect(len(got) == len(messages) and all(m in g for m, g in zip(messages, got)),
               "0x%02X: logs %r" % (cid2, got))


def case_return_codes(run):
    # A controller answers a command it cannot carry out with a return code
    # and no info: each command of the cycle in turn. Most replies are then
    # too short and fail the cycle with the device's message; the 0xA3 block
    # and the 0x93 word fail it without one. The host then names the reply
    # and its return code. A 0x95 reply without info and
    # return code 4 to 0xA4 (no DC units) are taken by design: the cycle
    # completes and the data stay as they were.
    table = [
        (0x42, 5, "failed", ["parse p41_41 overflow memory boundary"]),
        (0x44, 5, "failed", ["parse p41_44 overflow memory boundary"]),
        (0x8F, 5, "failed", ["parse p41_8F overflow memory boundary"]),
        (0x95, 5, "complete", []),
        (0xA2, 5, "failed", ["parse p41_A2 overflow memory boundary"]),
        (0xA4, 5, "failed", ["parse p41_A4 overflow memory boundary"]),
        (0xA4, 4, "complete", []),
        (0xA3, 5, "failed", []),
        (0x93, 5, "failed", []),
        (0x9C, 5, "failed", ["parse p41_9C overflow memory boundary"]),
        (0x9C, 1, "failed", ["parse p41_9C overflow memory boundary"]),
        (0x42, 0xFF, "failed", ["parse p41_41 overflow memory boundary"]),
    ]
    for cid2, rtn, outcome, messages in table:
        what = "0x%02X return code %d" % (cid2, rtn)
        skip = 6 if cid2 == 0x8F else 1
        f = three_polls(run, [{"cid2": "0x%02X" % cid2, "rtn": rtn, "info": "", "skip": skip, "count": 1}])
        got = logs(f.body)
        if outcome == "complete":
            completed_anyway(f, what)
            expect(not got, "%s: logs %r" % (what, got))
            continue
        faulty_poll(f, outcome, upto(cid2), 2)
        messages = messages + [failed_on(cid2, rtn)]
        expect(len(got) == len(messages) and all(m in g for m, g in zip(messages, got)),
               "%s: logs %r" % (what, got))
    # 0x43 is asked in the first cycle only.
    f = three_polls(run, [{"cid2": "0x43", "rtn": 5, "info": "", "count": 1}], faulty=0)
    faulty_poll(f, "failed", [0x42, 0x43], 2, data_ready=0)
    got = logs(f.body)
    expect(len(got) == 2 and "parse p41_43 overflow memory boundary" in got[0] and got[1] == failed_on(0x43, 5),
           "0x43: logs %r" % got)


def case_tcp_peer_closes(run):
    f = three_polls(run, [{"cid2": "0xA2", "disconnect": True, "skip": 1, "count": 1}])
    faulty_poll(f, "line lost", upto(0xA2))
    got = logs(f.body)
    expect(len(got) == 1 and got[0].startswith("line lost: tcp ") and got[0].endswith("closed by the other end"),
           "logs %r" % got)
    expect(not kinds(f.body, "timeout"), "a lost line is no timeout")
    # The host connected again for poll 3.
    expect(f.sim_log.count("peer connected") == 2, "connections: " + f.sim_log)


class Host:
    """krthost polling in the background; lines of its standard output are
    read as they come."""

    def __init__(self, run, *args):
        cmd = [run.opts.krthost, "--plugin", run.opts.plugin] + list(args)
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.sel = selectors.DefaultSelector()
        self.sel.register(self.proc.stdout, selectors.EVENT_READ)

    def wait_for(self, prefix, timeout=10):
        """Reads lines until one holds `prefix`."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.sel.select(timeout=0.2):
                line = self.proc.stdout.readline()
                if prefix in line:
                    return line
                if not line:
                    break
        raise Failure("krthost did not print %r" % prefix)

    def finish(self):
        try:
            self.proc.wait(timeout=10)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode, self.proc.stderr.read()


def case_pty_closed_and_reopened(run):
    # The host opens the line by a name that is a link to the simulator's
    # pseudo-terminal. The simulator goes away after poll 1 (the terminal
    # closes), is still gone at poll 3 (the name leads nowhere), and a new
    # one is behind the name from poll 4 on.
    link = run.path("ttyHVR")
    first = Simulator(run.opts.sim, "pty")
    second = None
    os.symlink(first.where, link)
    ev = run.path("events.jsonl")
    host = Host(run, "--serial", link, "--cycles", "4", "--interval-ms", "700", "--reply-timeout-ms", "400",
                "--query", "va1,out_v", "--events", ev)
    try:
        host.wait_for("poll 1:")
        first.close()
        host.wait_for("poll 2:")
        host.wait_for("poll 3:")
        second = Simulator(run.opts.sim, "pty")
        os.remove(link)
        os.symlink(second.where, link)
        host.wait_for("poll 4:")
        rc, err = host.finish()
    finally:
        if host.proc.poll() is None:
            host.proc.kill()
            host.proc.wait()
        first.close()
        if second:
            second.close()
    expect(rc == 0, "exit %d: %s" % (rc, err))
    p = polls(read_events(ev))
    expect(len(p) == 4, "%d polls" % len(p))
    check_complete_poll(*p[0], FIRST_CYCLE)
    # Poll 2: the request cannot be written to a terminal whose other end
    # is gone; the device closes the line.
    body, poll, values = p[1]
    expect(poll["outcome"] == "line lost" and poll["data_ready"] == 1, "poll 2 %r" % poll)
    expect(requests(body) == [0x42], "poll 2 requests %r" % requests(body))
    got = logs(body)
    expect(len(got) == 1 and "send failed: serial " + link + ": write: " in got[0], "poll 2 logs %r" % got)
    expect([v.get("value") for v in values] == [230.4, 53.5], "poll 2 values %r" % values)
    # Poll 3: the name leads nowhere; one open attempt, logged once.
    body, poll, values = p[2]
    expect(poll["outcome"] == "line down" and poll["data_ready"] == 1, "poll 3 %r" % poll)
    got = logs(body)
    expect(len(got) == 1 and "open port failed: serial " + link + ": open: " in got[0], "poll 3 logs %r" % got)
    expect(not requests(body), "poll 3 sent %r" % requests(body))
    # Poll 4: opened again by name, a later cycle with the same data.
    check_complete_poll(*p[3], LATER_CYCLE)
    expect(snapshot_data(p[3][0]) == snapshot_data(p[0][0]), "poll 4 published other data than poll 1")
    expect(err.count("open port failed") == 1, "open failures logged: " + err)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case")
    parser.add_argument("--krthost", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--plugin", required=True)
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
