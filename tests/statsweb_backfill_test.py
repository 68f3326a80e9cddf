#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
# A fleet's history in VictoriaMetrics, end to end: three statsweb servers (100, 4,096 and 30 days,
# one named cs"3\x) read by a strict OpenMetrics parser, then all four ranges loaded by
# statsweb-backfill into a VictoriaMetrics started here with the kit's arguments on loopback.
# Per instance, resolution and statistic the samples are the slots with data of statsdump's table,
# sampled values are the table times the documented factor; a second run adds nothing; an outage
# of one server is filled by a --since run; a failing server is reported; every dashboard
# expression and recording rule gives one series per instance over 7 days, with data across 95 %
# of it; vmagent and vmalert accept the kit's configuration and rules.
#   statsweb_backfill_test.py STATSWEB STATSDUMP STATSGEN SOURCE_DIR
# Exit 0 passed, 1 failed, 77 skipped (VictoriaMetrics or python3-prometheus-client missing).
import datetime
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request
import zoneinfo

TZ = "Europe/Warsaw"
VM = "/usr/bin/victoria-metrics"
STEPS = {"1m": 60, "6m": 360, "30m": 1800, "1d": 86400}
RESOLUTIONS = ["1m", "6m", "30m", "1d"]
failures = []


T0 = time.monotonic()


def step_done(what):
    print("%6.1f s  %s" % (time.monotonic() - T0, what), flush=True)


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL: " + what, flush=True)
    return ok


def skip(why):
    print("skipped: " + why)
    sys.exit(77)


def run(argv, **kw):
    env = dict(os.environ, TZ=TZ)
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          env=env, **kw)


def http(url, data=None, headers=None):
    req = urllib.request.Request(url, data=data, headers=headers or {})
    try:
        with urllib.request.urlopen(req, timeout=120) as r:
            return r.status, r.read().decode("utf-8")
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode("utf-8", "replace")
    except OSError:
        return 0, ""


def eventually(done, seconds=30):
    end = time.monotonic() + seconds
    while not done():
        if time.monotonic() > end:
            return False
        time.sleep(0.2)
    return True


class Proc:
    """A program running until stop(); its output in a log file."""

    def __init__(self, argv, log, port_line=False):
        self.log = log
        self.p = subprocess.Popen(argv, stdout=subprocess.PIPE if port_line else open(log, "w"),
                                  stderr=open(log + ".err" if port_line else log, "a"),
                                  env=dict(os.environ, TZ=TZ), text=True)
        self.port = None
        if port_line:
            line = self.p.stdout.readline()
            m = re.search(r":(\d+)/?\s*$", line)
            self.port = int(m.group(1)) if m else None

    def stop(self):
        if self.p.poll() is None:
            self.p.send_signal(signal.SIGTERM)
            try:
                self.p.wait(20)
            except subprocess.TimeoutExpired:
                self.p.kill()
                self.p.wait()
        return self.p.returncode


def free_port():
    import socket
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def factors(source):
    """field -> (metric, factor) from the METRICS table of statsweb(1)."""
    page = open(os.path.join(source, "docs/statsweb.1"), encoding="utf-8").read()
    table = page[page.index("field\tunit\tmetric\tfactor"):]
    table = table[:table.index(".TE")]
    out = {}
    for line in table.splitlines()[2:]:
        field, _, metric, f = line.split("\t")
        f = f.replace("\\(mu ", "*").replace("\\(di ", "/")
        out[field] = (metric, float(f[1:]) if f[0] == "*" else 1 / float(f[1:]) if f[0] == "/"
                      else float(f))
    return out


def table(statsdump, path, fields, r):
    """statsdump's rows of range r: [(local stamp, {field: text})]."""
    res = run([statsdump, "-i", path, "-f", ",".join(fields), "-r", str(r)])
    lines = res.stdout.splitlines()
    return [(int(l.split("\t")[0]), dict(zip(fields, l.split("\t")[1:]))) for l in lines[1:]]


def utc(local):
    """The UTC second of a local stamp (the earlier instant of a repeated hour)."""
    naive = datetime.datetime.fromtimestamp(local, datetime.timezone.utc).replace(tzinfo=None)
    return int(naive.replace(tzinfo=zoneinfo.ZoneInfo(TZ)).timestamp())


def same(value, text):
    want = float(re.match(r"[-+0-9.eE]+", text).group(0))  # without its unit (14.5%)
    return abs(value - want) <= 1e-6 * max(1.0, abs(want))


def alike(a, b):
    """Stored samples equal: the same stamps, values equal to VictoriaMetrics' precision (it
    stores a block's values as decimals with one exponent, so a merge may move the 12th digit)."""
    return a.keys() == b.keys() and all(
        abs(a[t] - b[t]) <= 1e-9 * max(1.0, abs(a[t])) for t in a)


def yaml_quote(text):
    return "'" + text.replace("'", "''") + "'"


def load_tool(path):
    """statsweb-backfill as a module, for its target-list reader."""
    import importlib.machinery
    import importlib.util
    sys.dont_write_bytecode = True
    loader = importlib.machinery.SourceFileLoader("statsweb_backfill", path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module


# file_sd lists as operators write them: (text, --instance-from, [(address, instance, job)] or
# words of the error).
FLEET_YAML = """# the fleet
- targets:
    - 'cs1.example:9740'   # the first
  labels:
    instance: 'it''s #1'
    job: other
- targets: ["cs2.example:9740", '[::1]:9740', cs4:9740, 'cs4:9740']
- labels:
    instance: "cs\\"3\\\\x"
  targets: ['10.0.0.3:9740']
"""
TARGET_LISTS = [
    (FLEET_YAML, "label", [("cs1.example:9740", "it's #1", "other"),
                           ("cs2.example:9740", "cs2.example", "zelstats"),
                           ("[::1]:9740", "[::1]", "zelstats"), ("cs4:9740", "cs4", "zelstats"),
                           ("10.0.0.3:9740", 'cs"3\\x', "zelstats")]),
    (FLEET_YAML, "host", [("cs1.example:9740", "cs1.example", "other"),
                          ("cs2.example:9740", "cs2.example", "zelstats"),
                          ("[::1]:9740", "[::1]", "zelstats"), ("cs4:9740", "cs4", "zelstats"),
                          ("10.0.0.3:9740", "10.0.0.3", "zelstats")]),
    ("- targets: ['a:1']\n", "name", [("a:1", None, "zelstats")]),
    ('[{"targets": ["a:1", "b:2"], "labels": {"instance": "x y"}}]', "label",
     [("a:1", "x y", "zelstats"), ("b:2", "x y", "zelstats")]),
    ("# nobody yet\n", "label", "no targets"),
    ("- targets: ['a:1']\n  labels: {instance: x}\n", "label", "labels as an indented block"),
    ("- targets: ['a:1]\n", "label", "unterminated quoted text"),
    ("targets: ['a:1']\n", "label", "each group starts with"),
]


def target_lists(backfill, tmp):
    tool = load_tool(backfill)
    path = os.path.join(tmp, "list.yml")
    for text, instance_from, want in TARGET_LISTS:
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        try:
            got = tool.read_targets(path, "zelstats", instance_from)
        except tool.UsageError as e:
            got = str(e)
        ok = got == want if isinstance(want, list) else isinstance(got, str) and want in got
        check(ok, "target list (%s) %r: %r, want %r" % (instance_from, text, got, want))


def busy_servers(backfill, tmp, s):
    """A server answering 503 with Retry-After is asked again: once busy per request the run
    loads what a direct one does; busy for good it fails, after its retries."""
    import http.server
    import threading

    class Busy(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            if self.server.always or self.path not in self.server.seen:
                self.server.seen.add(self.path)
                self.send_response(503)
                self.send_header("Retry-After", "0")
                self.send_header("Content-Length", "5")
                self.end_headers()
                self.wfile.write(b"busy\n")
                return
            req = urllib.request.Request("http://127.0.0.1:%d%s" % (s["web"].port, self.path),
                                         headers={"Accept-Encoding": "gzip"})
            with urllib.request.urlopen(req, timeout=120) as r:
                body, encoding = r.read(), r.headers.get("Content-Encoding")
            self.send_response(200)
            if encoding:
                self.send_header("Content-Encoding", encoding)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    def dry_run(port):
        path = os.path.join(tmp, "busy.yml")
        with open(path, "w", encoding="utf-8") as f:
            f.write("- targets: ['127.0.0.1:%d']\n  labels:\n    instance: %s\n"
                    % (port, yaml_quote(s["name"])))
        return run([sys.executable, backfill, "--dry-run", "--vm", "http://127.0.0.1:9", path])

    direct = dry_run(s["web"].port)
    for always in (False, True):
        proxy = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Busy)
        proxy.seen, proxy.always = set(), always
        threading.Thread(target=proxy.serve_forever, daemon=True).start()
        res = dry_run(proxy.server_address[1])
        proxy.shutdown()
        proxy.server_close()
        if always:
            check(res.returncode == 1 and "answered 503" in res.stderr,
                  "busy for good: the server is listed as failed\n" + res.stderr)
        else:
            summary = [l for l in res.stdout.splitlines() if l.startswith("Dry run: ")]
            check(res.returncode == 0 and direct.returncode == 0 and summary and
                  summary[-1].split(",")[:2] == direct.stdout.splitlines()[-1].split(",")[:2],
                  "busy once per request: retried\n" + res.stdout + res.stderr + direct.stdout)


def main(argv):
    statsweb, statsdump, statsgen, source = argv[1:5]
    if not os.access(VM, os.X_OK):
        skip(VM + " is not installed (Debian package victoria-metrics)")
    try:
        from prometheus_client import parser as text_parser
        from prometheus_client.openmetrics import parser as om_parser
    except ImportError:
        skip("python3-prometheus-client is not installed")
    kit = os.path.join(source, "docs/prometheus")
    backfill = os.path.join(source, "tools/statsweb-backfill")
    tmp = tempfile.mkdtemp(prefix="statsweb-backfill-test-")
    procs = []
    try:
        now = int(time.time()) // 60 * 60
        fx = factors(source)
        fields = list(fx)
        fleet = [{"name": "cs1", "days": 100, "seed": 1}, {"name": "cs2", "days": 4096, "seed": 2},
                 {"name": 'cs"3\\x', "days": 30, "seed": 3}]
        for i, s in enumerate(fleet):
            s["file"] = os.path.join(tmp, "cs%d.zel" % i)
            # cs2 starts 10 minutes behind: the minutes its outage hides come later.
            end = now - 600 if i == 1 else now
            assert run([statsgen, "-o", s["file"], "-e", str(end), "-d", str(s["days"]), "-s",
                        str(s["seed"])]).returncode == 0

        def start(s):
            s["web"] = Proc([statsweb, "-i", s["file"], "-l", "127.0.0.1:0", "-n", s["name"]],
                            os.path.join(tmp, "web%d.log" % fleet.index(s)), port_line=True)
            procs.append(s["web"])
            assert s["web"].port, open(s["web"].log + ".err").read()

        for s in fleet:
            start(s)

        # A strict parser reads every kind of answer: /metrics in both formats, the history of
        # each range (all of one server, the first range of the others being alike).
        for s in fleet:
            base = "http://127.0.0.1:%d" % s["web"].port
            st, body = http(base + "/metrics")
            check(st == 200, s["name"] + " /metrics")
            fams = {f.name: f for f in text_parser.text_string_to_metric_families(body)}
            check("zelcs_data_file_load_failures" in fams, "text: the counter family")
            st, body = http(base + "/metrics",
                            headers={"Accept": "application/openmetrics-text; version=1.0.0"})
            fams = {f.name: f for f in om_parser.text_string_to_metric_families(body)}
            c = fams.get("zelcs_data_file_load_failures")
            check(c is not None and c.type == "counter" and
                  [x.name for x in c.samples] == ["zelcs_data_file_load_failures_total"],
                  "openmetrics: the counter family is named without _total, its sample with it")
            if s is not fleet[1]:  # 10 minutes old: the statistics are left out
                check(fams["zelcs_ucpu_ratio"].unit == "ratio", "openmetrics: units")
            for r in range(4) if s is fleet[2] else range(1, 4):
                st, body = http(base + "/openmetrics?r=%d" % r)
                n = sum(len(f.samples) for f in om_parser.text_string_to_metric_families(body))
                check(st == 200 and n > 0, "%s /openmetrics?r=%d parsed" % (s["name"], r))
            # As the backfill asks: its labels, the name percent-encoded, escaped in the answer.
            st, body = http(base + "/openmetrics?r=0&job=zelstats&instance=" +
                            urllib.parse.quote(s["name"], safe=""))
            got = {(x.labels["job"], x.labels["instance"]) for f in
                   om_parser.text_string_to_metric_families(body) for x in f.samples}
            check(st == 200 and got == {("zelstats", s["name"])},
                  "%s /openmetrics with job and instance: %s" % (s["name"], sorted(got)[:3]))

        step_done("answers parsed")
        target_lists(backfill, tmp)
        busy_servers(backfill, tmp, fleet[2])
        step_done("target lists and busy servers checked")
        # VictoriaMetrics with the kit's arguments, its folder and port ours.
        default = open(os.path.join(kit, "victoria-metrics.default"), encoding="utf-8").read()
        args = re.search(r'^ARGS="([^"]*)"', default, re.M).group(1).split()
        vport = free_port()
        args = [a for a in args if not a.startswith(("-storageDataPath=", "-httpListenAddr="))]
        vm = Proc([VM, "-storageDataPath=" + os.path.join(tmp, "vm"),
                   "-httpListenAddr=127.0.0.1:%d" % vport, "-search.disableCache",
                   "-search.latencyOffset=0s"] + args, os.path.join(tmp, "vm.log"))
        procs.append(vm)
        vurl = "http://127.0.0.1:%d" % vport
        assert eventually(lambda: http(vurl + "/health")[0] == 200), open(vm.log).read()[-2000:]

        targets = os.path.join(tmp, "targets.yml")
        with open(targets, "w", encoding="utf-8") as f:
            f.write("# the fleet\n")
            for s in fleet:
                f.write("- targets: ['127.0.0.1:%d']\n  labels:\n    instance: %s\n"
                        % (s["web"].port, yaml_quote(s["name"])))

        def backfill_run(*extra, file=targets):
            return run([sys.executable, backfill, "--vm", vurl, "--parallel", "2"] + list(extra)
                       + [file])

        def counts():
            """(instance, resolution, metric) -> [stamps] as stored."""
            http(vurl + "/internal/force_flush")
            st, body = http(vurl + "/api/v1/export", data=urllib.parse.urlencode(
                {"match[]": '{__name__=~"zelcs_.+"}'}).encode())
            out = {}
            for line in body.splitlines():
                j = json.loads(line)
                m = j["metric"]
                key = (m["instance"], m["resolution"], m["__name__"])
                out.setdefault(key, {}).update(
                    zip((t // 1000 for t in j["timestamps"]), j["values"]))
            return out

        def expect(stored, s, path, label):
            """Every slot with data of every statistic stored once, sampled values right."""
            for r, resolution in enumerate(RESOLUTIONS):
                rows = table(statsdump, path, fields, r)[:-1]  # the newest slot is not complete
                for field in fields:
                    metric, factor = fx[field]
                    have = stored.get((s["name"], resolution, metric), {})
                    want = [(t, row[field]) for t, row in rows if row[field] != "-"]
                    check(len(have) == len(want), "%s %s %s %s: %d samples, %d slots with data"
                          % (label, s["name"], resolution, metric, len(have), len(want)))
                    for t, text in want[::max(1, len(want) // 7)] + want[-1:]:
                        v = have.get(utc(t))
                        check(v is not None and same(v / factor, text),
                              "%s %s %s %s at %d: %s vs table %s" % (
                                  label, s["name"], resolution, metric, utc(t), v, text))

        step_done("VictoriaMetrics ready")
        res = backfill_run()
        check(res.returncode == 0, "backfill: exit 0\n" + res.stdout + res.stderr)
        lines = res.stdout.splitlines()
        check(len(lines) == 5 and lines[-1].startswith("Done: 3 server(s), "),
              "backfill: a line per server and a summary\n" + res.stdout)
        first = counts()
        for s in fleet:
            expect(first, s, s["file"], "backfilled")

        step_done("first run checked")
        # Again: the same samples, nothing added.
        res = backfill_run("-q")
        check(res.returncode == 0 and res.stdout.startswith("Done: 3 server(s)"),
              "second run\n" + res.stdout + res.stderr)
        again = counts()
        check(again.keys() == first.keys() and all(alike(again[k], first[k]) for k in first),
              "a second run adds nothing")

        step_done("second run checked")
        # cs2 stopped while its chunk server saved 10 more minutes: the minutes are filled
        # by a --since run, the other servers keep what they have.
        cs2 = fleet[1]
        old_file = cs2["file"]
        check(cs2["web"].stop() == 0, "cs2 stops")
        cs2["file"] = os.path.join(tmp, "cs1-later.zel")
        assert run([statsgen, "-o", cs2["file"], "-e", str(now), "-d", "4096", "-s",
                    "2"]).returncode == 0
        broken = os.path.join(tmp, "down.yml")
        with open(broken, "w", encoding="utf-8") as f:
            f.write("- targets: ['127.0.0.1:%d', '127.0.0.1:%d']\n"
                    % (fleet[0]["web"].port, cs2["web"].port))
        res = backfill_run("--dry-run", "--since", "30m", file=broken)
        check(res.returncode == 1 and "1 of 2 server(s) failed" in res.stderr and
              "127.0.0.1 (127.0.0.1:%d): range 0:" % cs2["web"].port
              in res.stderr, "a server down is reported\n" + res.stderr)
        start(cs2)
        with open(targets, "w", encoding="utf-8") as f:
            for s in fleet:
                f.write("- targets: ['127.0.0.1:%d']\n  labels:\n    instance: %s\n"
                        % (s["web"].port, yaml_quote(s["name"])))
        since = now - 1800
        res = backfill_run("--since", "@%d" % since)
        check(res.returncode == 0, "--since run\n" + res.stdout + res.stderr)
        filled = counts()
        for key, got in filled.items():
            if key[0] != "cs2":
                check(alike(got, first[key]), "--since leaves %s as it was" % (key,))
        # cs2: what it had, and from the later file each slot that ended since then.
        newest = {}
        for r, resolution in enumerate(RESOLUTIONS):
            rows = table(statsdump, cs2["file"], fields, r)[:-1]
            for field in fields:
                metric, factor = fx[field]
                key = ("cs2", resolution, metric)
                want = set(first.get(key, {}))
                later = {utc(t): row[field] for t, row in rows
                         if row[field] != "-" and utc(t) + STEPS[resolution] >= since}
                want |= set(later)
                check(set(filled.get(key, {})) == want,
                      "cs2 %s %s after the --since run: %d samples, want %d" % (
                          resolution, metric, len(filled.get(key, {})), len(want)))
                if resolution == "1m":
                    for t, text in later.items():
                        if t not in first.get(key, {}):
                            newest[t] = True
                            v = filled.get(key, {}).get(t)
                            check(v is not None and same(v / factor, text),
                                  "cs2 filled minute %d %s: %s vs %s" % (t, metric, v, text))
        check(len(newest) == 10, "the 10 minutes of the outage are filled: %d" % len(newest))

        step_done("outage filled")
        # The dashboard and the recording rules over 7 and 30 days (Grafana's interval for some
        # 1,000 points, then 720), as Grafana asks with "All".
        names = [s["name"] for s in fleet]
        all_regex = "(" + "|".join(re.sub(r"([\\^$*+?.()|\[\]{}/])", r"\\\1", n)
                                   for n in names) + ")"
        end = now

        def expr_ok(expr, what, days, step):
            start_t = end - days * 86400
            q = (expr.replace("${instance:regex}", all_regex).replace("$__interval_ms",
                 str(step * 1000)).replace("$__interval", "%ds" % step)
                 .replace("$__range_s", str(end - start_t)))
            st, body = http(vurl + "/api/v1/query_range?" + urllib.parse.urlencode(
                {"query": q, "start": start_t, "end": end, "step": step}))
            if not check(st == 200, "%s answers: %s %s" % (what, st, body[:300])):
                return
            result = json.loads(body)["data"]["result"]
            got = sorted(x["metric"].get("instance", "") for x in result)
            check(got == sorted(names), "%s: one series per instance, got %s" % (what, got))
            points = (end - start_t) // step + 1
            for x in result:
                share = len(x["values"]) / points
                check(share >= 0.95, "%s: %s has data across %.0f%% of %d days" % (
                    what, x["metric"].get("instance"), share * 100, days))

        dash = json.load(open(os.path.join(kit, "zelstats-dashboard.json"), encoding="utf-8"))
        rules = open(os.path.join(kit, "zelstats.rules.yml"), encoding="utf-8").read()
        exprs = re.findall(r"^\s+- record: (\S+)\n\s+expr: (.+)$", rules, re.M)
        check(len(exprs) == 28, "28 recording rules: %d" % len(exprs))
        for days, step in ((7, 600), (30, 3600)):
            n_exprs = 0
            for panel in dash["panels"]:
                for t in panel["targets"]:
                    expr_ok(t["expr"], "dashboard %s %s" % (panel["title"], t["refId"]), days,
                            step)
                    n_exprs += 1
            check(n_exprs == 26, "26 dashboard expressions: %d" % n_exprs)
            recorded = {}
            for name, e in exprs:
                # A rule over recorded ones reads them as the rules they stand for.
                for other, oe in recorded.items():
                    e = e.replace(other, "(" + oe + ")")
                recorded[name] = e
                expr_ok(e, "rule " + name, days, step)

        step_done("expressions checked")
        # vmagent and vmalert take the kit's scrape configuration and rules.
        for argv in (["/usr/bin/vmagent", "-dryRun", "-promscrape.config.strictParse=false", "-promscrape.config=" +
                      os.path.join(kit, "prometheus.yml")],
                     ["/usr/bin/vmalert", "-dryRun", "-rule=" + os.path.join(kit,
                                                                           "zelstats.rules.yml")]):
            if os.access(argv[0], os.X_OK):
                res = run(argv, cwd=kit)
                check(res.returncode == 0, " ".join(argv) + "\n" + res.stderr[-1500:])
        for s in fleet:
            check(s["web"].stop() == 0, s["name"] + " stops")
        check(vm.stop() == 0, "VictoriaMetrics stops")
    finally:
        for p in procs:
            p.stop()
        shutil.rmtree(tmp, ignore_errors=True)
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
