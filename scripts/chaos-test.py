#!/usr/bin/env python3
"""Chaos run: real stations against a private server while a seeded injector
kills it (kill -9, then starts it again), freezes it (SIGSTOP), drops its
packets (an iptables rule on its own port) and kills and restarts a station.
Each station is typed into on an Xvfb display of its own, as a reader types.
Afterwards every log row is reconciled with what the operator was told (the
station's diagnostica.log holds every box and every settled outcome): no row
lost, duplicated or made up, no crash, every answer within the bound plus 2 s.

  chaos-test.py [--seed N] [--seconds 120] [--stations 3] [--build DIR]

Prints its seed; on failure the pair and its evidence. Needs root for iptables
(without it, the dropped-packets fault is left out and said so)."""
import argparse, glob, os, random, re, shutil, signal, subprocess, sys, tempfile, threading, time

BOUND = 3  # Attesa Server: seconds
SLACK = 2  # what the answer may take beyond its bounds
TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUN = os.environ.get("COLLI_TEST_RUN", "pid%d" % os.getpid())


def sh(*args, env=None, check=True, timeout=60):
    r = subprocess.run(args, env=env, capture_output=True, text=True, timeout=timeout)
    if check and r.returncode != 0:
        raise RuntimeError("%s: %s" % (" ".join(args), r.stderr.strip()))
    return r.stdout


class Server:
    def __init__(self, work):
        self.dir = os.path.join(work, "server")
        self.port = sh("bash", TOP + "/scripts/fb-test-server.sh", "start", self.dir).strip()
        self.comment = "colli-blackhole-%s-chaos-%s" % (RUN, self.port)
        self.frozen = self.holed = False

    def pid(self):
        with open(os.path.join(self.dir, "pid")) as f:
            return int(f.read())

    def script(self, what):
        sh("bash", TOP + "/scripts/fb-test-server.sh", what, self.dir)

    def rule(self, action):
        return subprocess.run(["iptables", "-w", "5", action, "INPUT", "-i", "lo", "-p", "tcp", "--dport",
                               self.port, "-m", "comment", "--comment", self.comment, "-j", "DROP"],
                              capture_output=True).returncode == 0

    def freeze(self, on):
        os.kill(self.pid(), signal.SIGSTOP if on else signal.SIGCONT)
        self.frozen = on

    def blackhole(self, on):
        if on:
            self.holed = self.rule("-I")
            return self.holed
        while self.rule("-D"):
            pass
        self.holed = False
        return True

    def heal(self):
        if self.holed:
            self.blackhole(False)
        if self.frozen:
            self.freeze(False)

    def stop(self):
        self.heal()
        subprocess.run(["bash", TOP + "/scripts/fb-test-server.sh", "stop", self.dir], capture_output=True)


class Station:
    """One real program in a folder of its own, on a display of its own."""

    def __init__(self, seat, work, program, server, database, cups_env):
        self.seat = seat
        self.folder = os.path.join(work, "station%d" % seat)
        os.makedirs(self.folder)
        shutil.copy(program, self.folder)
        shutil.copy(TOP + "/share/ETICHETTA.TXT", self.folder)
        with open(os.path.join(self.folder, "dati.ini"), "w", newline="") as f:
            f.write("[CONFIG]\r\nNome Server=127.0.0.1/%s\r\nAlias=%s\r\nAttesa Server=%d\r\n" %
                    (server.port, database, BOUND))
        rd, wr = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(wr), "-screen", "0", "1024x768x24", "-nolisten",
                                      "tcp"], pass_fds=[wr], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(wr)
        with os.fdopen(rd) as f:
            self.env = dict(os.environ, DISPLAY=":" + f.readline().strip(),
                            XDG_DATA_HOME=os.path.join(self.folder, "data"), **cups_env)
        self.env.pop("QT_QPA_PLATFORM", None)
        self.proc = None
        self.offset = 0
        self.kill_asked = False
        self.startup_boxes = []

    def xdo(self, *args, check=False):
        return sh("xdotool", *args, env=self.env, check=check, timeout=20)

    def diagnostics(self):
        lines = []
        for path in sorted(glob.glob(os.path.join(self.folder, "data", "*", "diagnostica*.log"))):  # .1 first
            with open(path, encoding="utf-8", errors="replace") as f:
                lines += f.read().splitlines()
        return lines

    def new_box_text(self):
        """The last box written to the diagnostic log since the last call."""
        lines = self.diagnostics()
        fresh, self.offset = lines[self.offset:], len(lines)
        boxes = [l[24:] for l in fresh if re.match(r"\S+ \S+ (Errore|Avviso|Messaggio)", l)]
        return boxes[-1] if boxes else "(no box in the diagnostic log)"

    def windows(self):
        found = []
        # The display is the station's alone, with no window manager: focus is given by hand.
        for wid in self.xdo("search", "--onlyvisible", "--name", ".").split():
            name = self.xdo("getwindowname", wid).strip()
            if name:
                found.append((wid, name))
        return found

    def start(self):
        self.proc = subprocess.Popen([os.path.join(self.folder, "controllo-colli")], cwd="/", env=self.env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 60
        while time.time() < deadline:
            wins = self.windows() if self.proc.poll() is None else []
            seen = wins
            boxes = [w for w in wins if w[1] != "MainForm"]
            if boxes:  # a start-up box: noted and answered
                self.startup_boxes.append(self.new_box_text())
                self.close(boxes[0])
            elif wins:
                self.main = wins[0][0]
                self.xdo("windowfocus", "--sync", self.main)
                return
            time.sleep(0.1)
        raise RuntimeError("station %d: no main window within 60 s (windows %s, status %s); diagnostic log: %s" %
                           (self.seat, seen, self.proc.poll(), self.diagnostics()[-5:]))

    def close(self, window):
        wid, name = window
        self.xdo("windowfocus", "--sync", wid)
        if name == "Messaggio":  # only its button closes it
            self.xdo("mousemove", "--window", wid, "195", "156", "click", "1")
        else:
            self.xdo("key", "Return")
        for _ in range(100):
            if wid not in self.xdo("search", "--onlyvisible", "--name", ".").split():
                self.xdo("windowfocus", self.main)  # back to the barcode field
                return
            time.sleep(0.05)


class Scan:
    """A scan that reached the log, and what its station told about its row."""

    def __init__(self, seat, code, ean, status):
        self.seat, self.code, self.ean, self.status = seat, code, ean, status
        self.told, self.box = "recorded", ""  # until a box says otherwise

    def key(self):
        return (self.code, self.ean or "-", self.status)


class Driver(threading.Thread):
    """Types pairs into one station as an operator would and follows its
    windows: the station handles what is typed in order, one step at a time."""

    GRACE = 1.5  # after an outcome window: time for its row's box before the next pair

    def __init__(self, station, end, report):
        super().__init__(daemon=True)
        self.s, self.end, self.report = station, end, report
        self.scans, self.failed_lookups, self.cut, self.problems = [], [], [], []
        self.open_log = None  # the scan whose row may still bring a box
        self.n = 0

    def codes(self, n):
        return "CH%d%05d" % (self.s.seat, n), "%d%012d" % (self.s.seat + 1, n)

    def run(self):
        try:
            while time.time() < self.end and not self.problems:
                self.pair()
            if not self.problems:
                self.pair()  # the server is well again: what is pending is settled now
                self.follow([], 2 * BOUND + SLACK + 3)
                self.open_log = None
        except Exception as error:  # the harness's own fault: reported, never hidden
            self.problems.append("station %d: harness error %r" % (self.s.seat, error))

    def pair(self):
        self.n += 1
        courier, ean = self.codes(self.n)
        # "type" takes every word after it as text: the Enters go in calls of their own.
        self.s.xdo("type", "--delay", "8", courier)
        self.s.xdo("key", "Return")
        # A lookup refused at once shows its box now: keys typed into a box are
        # lost (its Enter closes it), so the EAN waits for that moment to pass.
        # A lookup that waits longer gets the EAN typed during its wait.
        settle = time.time() + 0.5
        while time.time() < settle and not [w for w in self.s.windows() if w[1] != "MainForm"]:
            time.sleep(0.05)
        if [w for w in self.s.windows() if w[1] != "MainForm"]:
            self.follow([courier], 0)
            if self.open_log is None and self.failed_lookups and self.failed_lookups[-1][0] == courier:
                self.s.xdo("type", "--delay", "8", ean)
                self.s.xdo("key", "Return")
                return self.follow([ean], self.GRACE)
            return self.problem("the courier code's box was not its lookup's")
        self.s.xdo("type", "--delay", "8", ean)
        self.s.xdo("key", "Return")
        self.follow([courier, ean], self.GRACE)

    def follow(self, queue, grace):
        """Answers the windows until every code typed was handled, then waits
        `grace` for a box about the last row."""
        state, current = 0, None
        since = time.time()
        limit = 2 * BOUND + SLACK  # the step before and this one, each within the bound
        while queue or self.open_log:
            if self.s.proc.poll() is not None:
                return self.died(queue)
            wins = [w for w in self.s.windows() if w[1] != "MainForm"]
            if not wins:
                waited = time.time() - since
                if not queue and waited > grace:
                    return  # no box yet: the next window says whether one comes
                if queue and waited > limit + 5:
                    return self.problem("no answer to %s within %d s (keys lost or a hung step)" % (queue, limit + 5))
                time.sleep(0.05)
                continue
            took = time.time() - since
            window = wins[0]
            if window[1] == "Messaggio":
                self.open_log = None  # the row before brought no box: recorded
                if state == 0 and queue and queue[0].startswith("CH"):
                    current, state = queue.pop(0), 1  # found, silently
                if not queue:
                    return self.problem("an outcome window nobody asked for")
                code = queue.pop(0)
                scan = Scan(self.s.seat, current, code, "EanCorretto") if state == 1 else \
                    Scan(self.s.seat, code, None, "BarCodeSpeedSconosciuto")
                state = 0
                self.scans.append(scan)
                self.open_log = scan
            else:
                text = self.s.new_box_text()
                if self.open_log and ("storicizzare" in text or "registrazione nel log" in text):
                    self.open_log.told = "not recorded" if "storicizzare" in text else "not yet known"
                    self.open_log.box = text
                    self.open_log = None
                elif queue and state == 0:
                    self.open_log = None
                    self.failed_lookups.append((queue.pop(0), text))
                else:
                    return self.problem("an unexpected box: %s" % text)
            if took > limit:
                self.problem("a window %.1f s after the last key or click (bound %d s): %s" % (took, BOUND, window[1]))
            self.s.close(window)
            since = time.time()

    def died(self, queue):
        if not self.s.kill_asked:
            return self.problem("the station ended by itself (status %s)" % self.s.proc.returncode)
        # Killed mid-pair: its open row may be there or not; nothing typed after it was logged.
        if self.open_log:
            self.open_log.told = "cut by the kill"
            self.open_log = None
        self.cut += queue
        self.s.offset = len(self.s.diagnostics())
        self.s.start()
        self.s.kill_asked = False

    def problem(self, text):
        self.problems.append("station %d, pair %d (%s / %s): %s" % (self.s.seat, self.n, *self.codes(self.n), text))
        self.report(self.problems[-1])


def inject(server, stations, drivers, rng, end, notes, holes):
    faults = ["kill9", "freeze", "station"] + (["blackhole"] if holes else [])
    begun = time.time()
    while time.time() < end:
        time.sleep(rng.uniform(2, 6))
        # A quiet tail: the stations meet a healthy server before they close, so
        # every outcome told "not yet known" gets settled by a later scan.
        if time.time() + 2 * BOUND + 10 >= end or any(d.problems for d in drivers):
            return
        fault, hold = rng.choice(faults), rng.uniform(0.5, 2 * BOUND)
        notes.append("%.1f s: %s for %.1f s" % (time.time() - begun, fault, hold))
        if fault == "kill9":
            server.script("kill")
            time.sleep(hold)
            server.script("restart")
        elif fault == "freeze":
            server.freeze(True)
            time.sleep(hold)
            server.freeze(False)
        elif fault == "blackhole":
            if server.blackhole(True):
                time.sleep(hold)
                server.blackhole(False)
        else:
            station = rng.choice(stations)
            if station.kill_asked:
                continue  # still starting again
            station.kill_asked = True
            os.kill(station.proc.pid, signal.SIGKILL)
            time.sleep(hold)


def log_rows(server, database):
    out = subprocess.run(
        ["isql-fb", "-q", "-user", "SYSDBA", "-password", "plumtrove", "127.0.0.1/%s:%s" % (server.port, database)],
        input="SET HEADING OFF;\nSELECT BARCODESPEED, COALESCE(CODICEEANLETTO, '-'), STATUS FROM LOGSPARATE;\n",
        capture_output=True, text=True, timeout=60, check=True).stdout
    return [tuple(line.split()) for line in out.splitlines() if len(line.split()) == 3]


def settled(lines, scan):
    """What the station settled for a row told 'not yet known': 1, 0, or None."""
    tag = '"%s" / %s' % (scan.code, scan.status)
    outcome = None
    for i, line in enumerate(lines):
        if tag in line and "Verificata" in line:
            if "registrata con ID" in line and "non registrata" not in line:
                outcome = 1
            else:  # sent again: the next line about a row says how that went
                after = [l for l in lines[i + 1:] if "Riga del log" in l]
                outcome = 1 if after and "registrata con ID" in after[0] else None
    return outcome


def reconcile(drivers, rows):
    problems = []
    counts = {}
    for row in rows:
        counts[row] = counts.get(row, 0) + 1
    allowed = {}
    for d in drivers:
        lines = d.s.diagnostics()
        for scan in d.scans:
            if scan.told == "recorded":
                want = {1}
            elif scan.told == "not recorded":
                want = {0}
            elif scan.told == "not yet known":
                outcome = settled(lines, scan)
                want = {outcome} if outcome is not None else None
                if want is None:
                    problems.append("station %d: %s told not yet known and never settled; box: %s" %
                                    (scan.seat, scan.key(), scan.box))
                    want = {0, 1}
            else:
                want = {0, 1}
            have = counts.pop(scan.key(), 0)
            allowed[scan.key()] = want
            if have not in want:
                problems.append("station %d: %s told %s, %d rows in the log; box: %s" %
                                (scan.seat, scan.key(), scan.told, have, scan.box or "(none)"))
    for key, have in counts.items():
        problems.append("a row nobody was told about: %s x%d" % (key, have))
    return problems


def main():
    for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(number, lambda *_: sys.exit(130))
    parser = argparse.ArgumentParser()
    parser.add_argument("--seed", type=int, default=int(time.time()) % 100000)
    parser.add_argument("--seconds", type=int, default=120)
    parser.add_argument("--stations", type=int, default=3)
    parser.add_argument("--build", default=os.environ.get("COLLI_BUILD_DIR", os.path.join(TOP, "build")))
    args = parser.parse_args()
    print("chaos: seed %d, %d stations, %d s (again: scripts/chaos-test.py --seed %d)" %
          (args.seed, args.stations, args.seconds, args.seed), flush=True)
    rng = random.Random(args.seed)
    work = tempfile.mkdtemp(prefix="colli-chaos-")
    os.chmod(work, 0o755)
    server, stations, cups = None, [], os.path.join(work, "cups")
    problems, notes = [], []
    try:
        server = Server(work)
        database = os.path.join(work, "CHAOS.FDB")
        admin = os.path.join(args.build, "admin", "colli-admin")
        name = "127.0.0.1/%s:%s" % (server.port, database)
        # The private server's SYSDBA keeps the station's default password.
        admin_env = dict(os.environ, ISC_PASSWORD="plumtrove")
        sh(admin, "init", name, env=admin_env)
        with open(os.path.join(work, "parcels.csv"), "w") as f:
            for seat in range(args.stations):
                for n in range(1, 3000):
                    f.write("CH%d%05d;%d%012d\n" % (seat, n, seat + 1, n))
        sh(admin, "import", name, os.path.join(work, "parcels.csv"), env=admin_env, timeout=300)
        sh("bash", TOP + "/scripts/cups-test-rig.sh", "start", cups)
        with open(os.path.join(cups, "env")) as f:
            cups_env = dict(line.strip().split("=", 1) for line in f if "=" in line)
        # A queue to choose; the pairs are all correct, so nothing is printed.
        subprocess.run(["lpadmin", "-p", "Etichette", "-E", "-v", "socket://127.0.0.1:9"],
                       env=dict(os.environ, **cups_env, PATH=os.environ["PATH"] + ":/usr/sbin"), check=True)
        holes = os.geteuid() == 0 and server.blackhole(True) and server.blackhole(False)
        if not holes:
            print("chaos: iptables not usable here: dropped packets are left out")
        program = os.path.join(args.build, "app", "controllo-colli")
        for seat in range(args.stations):
            stations.append(Station(seat, work, program, server, database, cups_env))
            stations[-1].start()
        end = time.time() + args.seconds
        drivers = [Driver(s, end, lambda text: print("chaos: " + text, flush=True)) for s in stations]
        for d in drivers:
            d.start()
        inject(server, stations, drivers, rng, end, notes, holes)
        server.heal()
        for d in drivers:
            d.join(args.seconds + 120)
            if d.is_alive():
                problems.append("station %d: its driver did not finish" % d.s.seat)
            problems += d.problems
        for s in stations:  # a termination signal ends it as "Chiudi" does
            s.proc.send_signal(signal.SIGTERM)
            try:
                status = s.proc.wait(5)
                if status != 0:
                    problems.append("station %d ended with status %s" % (s.seat, status))
            except subprocess.TimeoutExpired:
                problems.append("station %d still running 5 s after SIGTERM" % s.seat)
            if os.path.exists(os.path.join(s.folder, "ARCHIVIOCOLLI.FDB")):
                problems.append("station %d created a local database" % s.seat)
        problems += reconcile(drivers, log_rows(server, database))
        scans = sum(len(d.scans) for d in drivers)
        print("chaos: %d scans logged or told, %d lookups refused, %d codes cut by a kill, %d faults" %
              (scans, sum(len(d.failed_lookups) for d in drivers), sum(len(d.cut) for d in drivers), len(notes)))
    finally:
        for s in stations:
            for p in (s.proc, s.xvfb):
                if p and p.poll() is None:
                    p.kill()
                    p.wait()
        if server:
            server.stop()
        subprocess.run(["bash", TOP + "/scripts/cups-test-rig.sh", "stop", cups], capture_output=True)
        lines = {s.seat: s.diagnostics()[-15:] for s in stations}
        shutil.rmtree(work, ignore_errors=True)
    if problems:
        print("chaos: FAILED (seed %d)" % args.seed)
        for p in problems:
            print("  " + p)
        print("  faults: " + "; ".join(notes))
        for s in stations:
            print("  station %d diagnostic log (last lines):" % s.seat)
            for line in lines[s.seat]:
                print("    " + line)
        return 1
    print("chaos: faults: " + "; ".join(notes))
    print("chaos: passed (seed %d)" % args.seed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
