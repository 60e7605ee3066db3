#!/usr/bin/env python3
"""Chaos run: real stations against a private server while a seeded injector
kills it (kill -9, then starts it again), freezes it (SIGSTOP), drops its
packets (an iptables rule on its own port) and kills stations with kill -9:
at any moment, and while outcomes wait in a station's journal for a server
that is away (the server is taken away after a parcel was found, wrong EANs
are read, each told "codice EAN sconosciuto", and the station is killed with
the last outcome still on screen).

The site is set up as the README tells one: an older database brought up to
date by `colli-admin init`, one account per station made by `colli-admin
station-user`, dati.ini with Utente, Password and Ruolo, and a journal folder
of its own for every station. Each station is typed into on an Xvfb display of
its own, as a reader types.

At the end the server is healthy and every station is started once more and
given time to empty its journal. Then: every outcome the operator was told
(every outcome window a station showed) is exactly one row of LOGSPARATE; no
row without an outcome told (only codes a kill cut short may or may not have
one); no ticket twice; every row marked as decided on the station's copy was
scanned while the server was away; no lookup refused during the long outage;
every row that waited in a journal when its station was killed arrived once; no journal keeps a row; every code typed during a box was
dropped whole and named; no crash; every answer within the bound plus 2 s.

  chaos-test.py [--seed N] [--seconds 120] [--stations 3] [--build DIR]

Prints its seed and figures; on failure the pair and its evidence. Needs root
for iptables (without it, the dropped-packets fault is left out and said so)."""
import argparse, datetime, glob, os, random, re, shutil, signal, sqlite3, subprocess, sys, tempfile, threading, time

BOUND = 3  # Attesa Server: seconds
SLACK = 2  # what the answer may take beyond its bounds
TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUN = os.environ.get("COLLI_TEST_RUN", "pid%d" % os.getpid())
SYSDBA_PASSWORD = "plumtrove"  # the private server's
ALIAS = "chaos"
IGNORED = "Codice letto durante l'avviso, ignorato: "


def sh(*args, env=None, check=True, timeout=60, input=None):
    r = subprocess.run(args, env=env, capture_output=True, text=True, timeout=timeout, input=input)
    if check and r.returncode != 0:
        raise RuntimeError("%s: %s" % (" ".join(args), (r.stderr or r.stdout).strip()))
    return r.stdout


def ean_of(courier):
    """The parcel's EAN: seat + 1, then the pair's number."""
    return "%d%012d" % (int(courier[2]) + 1, int(courier[3:]))


class Server:
    def __init__(self, work, database):
        self.dir = os.path.join(work, "server")
        # Reached by its alias, as the README sets a site up.
        env = dict(os.environ, COLLI_FB_ALIASES="%s = %s" % (ALIAS, database))
        self.port = sh("bash", TOP + "/scripts/fb-test-server.sh", "start", self.dir, env=env).strip()
        self.name = "127.0.0.1/%s:%s" % (self.port, ALIAS)
        self.comment = "colli-blackhole-%s-chaos-%s" % (RUN, self.port)
        self.frozen = self.holed = self.down = False

    def pid(self):
        with open(os.path.join(self.dir, "pid")) as f:
            return int(f.read())

    def script(self, what):
        sh("bash", TOP + "/scripts/fb-test-server.sh", what, self.dir)

    def rule(self, action):
        return subprocess.run(["iptables", "-w", "5", action, "INPUT", "-i", "lo", "-p", "tcp", "--dport",
                               self.port, "-m", "comment", "--comment", self.comment, "-j", "DROP"],
                              capture_output=True).returncode == 0

    def fault(self, kind, on):
        """kill9, freeze or blackhole: on, or healed again."""
        if kind == "kill9":
            self.script("kill" if on else "restart")
            self.down = on
        elif kind == "freeze":
            os.kill(self.pid(), signal.SIGSTOP if on else signal.SIGCONT)
            self.frozen = on
        elif on:
            self.holed = self.rule("-I")
            return self.holed
        else:
            while self.rule("-D"):
                pass
            self.holed = False
        return True

    def heal(self):
        if self.holed:
            self.fault("blackhole", False)
        if self.frozen:
            self.fault("freeze", False)
        if self.down:
            self.fault("kill9", False)

    def stop(self):
        self.heal()
        subprocess.run(["bash", TOP + "/scripts/fb-test-server.sh", "stop", self.dir], capture_output=True)

    def isql(self, sql, database=None, timeout=120):
        return sh("isql-fb", "-q", "-user", "SYSDBA", "-password", SYSDBA_PASSWORD, *([database] if database else []),
                  input=sql, timeout=timeout)


class Station:
    """One real program in a folder of its own, on a display of its own, with
    the station's own account and a journal folder of its own."""

    def __init__(self, seat, work, program, server, account, cups_env):
        self.seat = seat
        self.folder = os.path.join(work, "station%d" % seat)
        self.journal = os.path.join(self.folder, "giornale", "giornale-scansioni.sqlite")
        os.makedirs(os.path.dirname(self.journal))
        shutil.copy(program, self.folder)
        shutil.copy(TOP + "/share/ETICHETTA.TXT", self.folder)
        user, password = account
        with open(os.path.join(self.folder, "dati.ini"), "w", newline="", encoding="utf-8") as f:
            f.write("[CONFIG]\r\nNome Server=127.0.0.1/%s\r\nAlias=%s\r\nAttesa Server=%d\r\n"
                    "Utente=%s\r\nPassword=%s\r\nRuolo=COLLI_STATION\r\nCartella Giornale=%s\r\n" %
                    (server.port, ALIAS, BOUND, user, password, os.path.dirname(self.journal)))
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
        self.refused_starts = 0
        self.crashes = []
        self.display_refusals = 0
        self.errors = os.path.join(self.folder, "stderr.txt")

    def stderr_tail(self, lines=8):
        with open(self.errors, errors="replace") as f:
            return " | ".join(f.read().splitlines()[-lines:]) or "(empty)"

    def xdo(self, *args, check=False):
        for _ in range(5):
            r = subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True, timeout=20)
            # Xvfb now and then refuses a connection opened while another one is set up.
            if "open display" not in r.stderr and "new xdo instance" not in r.stderr:
                break
            self.display_refusals += 1
            time.sleep(0.1)
        if check and r.returncode != 0:
            raise RuntimeError("xdotool %s: %s" % (" ".join(args), r.stderr.strip()))
        return r.stdout

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

    def journal_rows(self):
        """The rows in the journal now: ticket, key, held (outcome on screen), refusal."""
        if not os.path.exists(self.journal):
            return []
        db = sqlite3.connect("file:%s?mode=ro" % self.journal, uri=True, timeout=10)
        try:
            found = db.execute("SELECT BIGLIETTO, BARCODESPEED, CODICEEANLETTO, STATUS, TRATTENUTA, RIFIUTO "
                               "FROM RIGHE ORDER BY N").fetchall()
        finally:
            db.close()
        text = lambda v: v.decode("cp1252") if isinstance(v, bytes) else v
        return [(text(t), (text(c), text(e) or "-", text(s)), bool(h), text(r)) for t, c, e, s, h, r in found]

    def windows(self):
        found = []
        # The display is the station's alone, with no window manager: focus is given by hand.
        for wid in self.xdo("search", "--onlyvisible", "--name", ".").split():
            name = self.xdo("getwindowname", wid).strip()
            if name:
                found.append((wid, name))
        return found

    def boxes(self):
        return [w for w in self.windows() if w[1] != "MainForm"]

    def start(self):
        """Until the station starts with the database open: a start-up box
        (the server away) is answered, the station closed and started again."""
        deadline = time.time() + 90
        while True:
            self.offset = len(self.diagnostics())
            before = os.path.getsize(self.errors) if os.path.exists(self.errors) else 0
            with open(self.errors, "a") as errors:
                self.proc = subprocess.Popen([os.path.join(self.folder, "controllo-colli")], cwd="/", env=self.env,
                                             stdout=errors, stderr=errors)
            boxed, seen = False, []
            while time.time() < deadline:
                if self.proc.poll() is not None:
                    break
                wins = seen = self.windows()
                boxes = [w for w in wins if w[1] != "MainForm"]
                if boxes:  # answered; the diagnostic log keeps its text
                    self.new_box_text()
                    boxed = True
                    self.close(boxes[0])
                elif wins:
                    self.main = wins[0][0]
                    break
                time.sleep(0.1)
            else:
                raise RuntimeError("station %d: no main window within 90 s (windows %s); diagnostic log: %s" %
                                   (self.seat, seen, self.diagnostics()[-5:]))
            if self.proc.returncode is not None:
                with open(self.errors, errors="replace") as f:
                    f.seek(before)
                    if "could not connect to display" in f.read():  # as xdotool above: the display's, not the station's
                        self.display_refusals += 1
                        continue
                self.crashes.append("station %d ended with status %s while starting; its standard error: %s" %
                                    (self.seat, self.proc.returncode, self.stderr_tail()))
                if len(self.crashes) > 3 or time.time() > deadline:
                    raise RuntimeError(self.crashes[-1])
                continue
            if not boxed:
                self.xdo("windowfocus", "--sync", self.main)
                return
            # Its barcode field stays disabled: closed, and tried again.
            self.refused_starts += 1
            self.terminate()
            time.sleep(1)

    def terminate(self):
        """A termination signal ends it as "Chiudi" does; its status, or None when it had to be killed."""
        self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(2 * BOUND + 5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None

    def close(self, window):
        wid, name = window
        self.xdo("windowfocus", "--sync", wid)
        if name == "Messaggio":  # only its button closes it
            self.xdo("mousemove", "--window", wid, "195", "156", "click", "1")
        else:  # a box takes no key a reader sends; Escape is not one
            self.xdo("key", "Escape")
        for _ in range(100):
            if wid not in self.xdo("search", "--onlyvisible", "--name", ".").split():
                if getattr(self, "main", None):
                    self.xdo("windowfocus", self.main)  # back to the barcode field
                return
            time.sleep(0.05)


class Scan:
    """An outcome window the station showed: the row it promised."""

    def __init__(self, seat, code, ean, status):
        self.seat, self.code, self.ean, self.status = seat, code, ean, status

    def key(self):
        return (self.code, self.ean or "-", self.status)


class Strand:
    """The injector's request to a driver: outcomes told while the server is away, then a kill."""

    def __init__(self, count):
        self.count = count
        self.ready, self.down, self.told = threading.Event(), threading.Event(), threading.Event()
        self.ok = self.cancelled = False


class Driver(threading.Thread):
    """Types pairs into one station as an operator would and follows its
    windows, keeping the station's steps: state 0 waits for a courier code,
    state 1 (a parcel found) for its EAN."""

    def __init__(self, station, end, report, pace):
        super().__init__(daemon=True)
        self.s, self.end, self.report, self.pace = station, end, report, pace
        self.scans, self.failed_lookups, self.problems = [], [], []
        self.dropped = []  # codes typed while a box was up: to be named, never handled
        self.cut = []      # codes a kill left unanswered: a row each at most
        self.queue = []    # codes typed and not yet answered, oldest first
        self.state, self.current = 0, None
        self.since = time.time()
        self.strand = None
        self.n = self.pairs = 0

    def codes(self, n):
        return "CH%d%05d" % (self.s.seat, n), ean_of("CH%d%05d" % (self.s.seat, n))

    def run(self):
        try:
            while time.time() < self.end and not self.problems:
                if self.strand:
                    self.stranded(self.strand)
                else:
                    self.pair()
        except Exception as error:  # the harness's own fault: reported, never hidden
            self.problems.append("station %d: harness error %r" % (self.s.seat, error))

    def type(self, code):
        # "type" takes every word after it as text: the Enter goes in a call of its own.
        self.s.xdo("type", "--delay", "8", code)
        self.s.xdo("key", "Return")
        self.queue.append(code)
        self.since = time.time()

    def pair(self):
        self.n += 1
        self.pairs += 1
        courier, ean = self.codes(self.n)
        self.type(courier)
        # The reader moves to the parcel's other label: the EAN comes during
        # the lookup when the lookup waits, into its box when it was refused.
        time.sleep(self.pace.uniform(0.3, 0.6))
        self.type(ean)
        self.follow()

    def stranded(self, req):
        """A parcel found, then outcomes told while the server is away; the
        station is killed with the last one on screen."""
        self.strand = None
        self.n += 1
        self.pairs += 1
        courier, ean = self.codes(self.n)
        if self.state == 0:
            self.type(courier)
            # Found: no window, and the station waits for the EAN.
            quiet = time.time() + 1.5
            while time.time() < quiet and self.s.proc.poll() is None and not self.s.boxes():
                time.sleep(0.05)
            if self.s.proc.poll() is None and not self.s.boxes():
                self.queue.pop()
                self.state, self.current = 1, courier
        req.ok = self.state == 1 and not self.queue
        req.ready.set()
        if not req.ok:
            return self.follow()
        if not req.down.wait(30) or req.cancelled:
            self.type(ean)
            return self.follow()
        for k in range(req.count):
            self.type("%d%012d" % (self.s.seat + 1, 900000000 + 10 * self.n + k))
            self.follow(keep=k == req.count - 1)
            if self.problems or self.s.proc.returncode is not None:
                req.cancelled = True
                req.told.set()
                return
        req.told.set()
        limit = time.time() + 30
        while self.s.proc.poll() is None and time.time() < limit:
            time.sleep(0.05)
        if self.s.proc.poll() is None:
            return self.problem("not killed with its outcome on screen")
        self.died()

    def follow(self, keep=False):
        """Answers the windows until every code typed was handled or dropped.
        keep: the last outcome window is left on screen."""
        limit = 2 * BOUND + SLACK  # the step before and this one, each within the bound
        while self.queue:
            if self.s.proc.poll() is not None:
                return self.died()
            wins = self.s.boxes()
            if not wins:
                if time.time() - self.since > limit + 5:
                    return self.problem("no answer to %s within %d s (keys lost or a hung step)" % (self.queue, limit + 5))
                time.sleep(0.05)
                continue
            took = time.time() - self.since
            window = wins[0]
            if window[1] == "Messaggio":
                if self.state == 0 and self.queue[0].startswith("CH") and len(self.queue) > 1:
                    self.current, self.state = self.queue.pop(0), 1  # found, silently
                code = self.queue.pop(0)
                if self.state == 1:
                    right = code == ean_of(self.current)
                    scan = Scan(self.s.seat, self.current, code, "EanCorretto" if right else "CodiceEanSconosciuto")
                    self.state = 0 if right else 1
                else:
                    scan = Scan(self.s.seat, code, None, "BarCodeSpeedSconosciuto")
                self.scans.append(scan)
                if keep and not self.queue:
                    if took > limit:
                        self.problem("an outcome window %.1f s after the last key (bound %d s)" % (took, BOUND))
                    return
            else:
                text = self.s.new_box_text()
                if self.state != 0 or "storicizzare" in text:
                    return self.problem("an unexpected box: %s" % text)
                self.failed_lookups.append((self.queue.pop(0), text))
                # What was typed during the lookup and the box is dropped whole.
                self.dropped += self.queue
                self.queue = []
            if took > limit:
                self.problem("a window %.1f s after the last key or click (bound %d s): %s" % (took, BOUND, window[1]))
            self.s.close(window)
            self.since = time.time()

    def died(self):
        if not self.s.kill_asked:
            return self.problem("the station ended by itself (status %s)" % self.s.proc.returncode)
        # Killed mid-step: what it had not answered may have a row or not.
        self.cut += self.queue + ([self.current] if self.state == 1 else [])
        self.queue, self.state, self.current = [], 0, None
        self.s.start()
        self.s.kill_asked = False

    def problem(self, text):
        self.problems.append("station %d, pair %d (%s / %s): %s" % (self.s.seat, self.n, *self.codes(self.n), text))
        self.report(self.problems[-1])


OUTAGE = 6 * BOUND  # the long outage's seconds


def outage(server, drivers, kind, notes, windows, at):
    """The server away for longer than any single fault: the stations keep
    checking parcels on their copies, and no lookup is refused."""
    refused = sum(len(d.failed_lookups) for d in drivers)
    told = sum(len(d.scans) for d in drivers)
    began = time.time()
    server.fault(kind, True)
    time.sleep(OUTAGE)
    server.fault(kind, False)
    windows.append((began, time.time()))
    result = {"kind": kind, "told": sum(len(d.scans) for d in drivers) - told,
              "refused": sum(len(d.failed_lookups) for d in drivers) - refused}
    notes.append(at + "outage (%s) for %d s: %d outcomes told, %d lookups refused" %
                 (kind, OUTAGE, result["told"], result["refused"]))
    return result


def inject(server, drivers, rng, end, notes, holes, kills, windows, outages):
    kinds = ["kill9", "freeze"] + (["blackhole"] if holes else [])
    faults = kinds + ["station"] + ["strand"] * 3
    begun = time.time()
    while time.time() < end:
        time.sleep(rng.uniform(2, 6))
        # A quiet tail: the stations meet a healthy server before they close.
        if time.time() + 2 * BOUND + 10 >= end or any(d.problems for d in drivers):
            return
        if not outages and time.time() - begun > (end - begun) / 3 and time.time() + OUTAGE + 30 < end:
            # The stations have their copies by now (filled at their start).
            outages.append(outage(server, drivers, "blackhole" if holes else "freeze", notes, windows,
                                  "%.1f s: " % (time.time() - begun)))
            continue
        fault, hold = rng.choice(faults), rng.uniform(0.5, 2 * BOUND)
        if fault == "strand" or (not any(k["strand"] for k in kills) and time.time() - begun > (end - begun) / 2):
            fault = "strand"  # at least one kill while rows wait in a journal
            if time.time() + 30 >= end:
                continue
        candidates = [d for d in drivers if not d.s.kill_asked and not d.strand and not d.problems]
        if fault in ("station", "strand") and not candidates:
            continue
        at = "%.1f s: " % (time.time() - begun)
        if fault in kinds:
            notes.append(at + "%s for %.1f s" % (fault, hold))
            began = time.time()
            if server.fault(fault, True):
                time.sleep(hold)
                server.fault(fault, False)
            windows.append((began, time.time()))
        elif fault == "station":
            d = rng.choice(candidates)
            notes.append(at + "kill -9 of station %d" % d.s.seat)
            waiting = d.s.journal_rows()
            d.s.kill_asked = True
            os.kill(d.s.proc.pid, signal.SIGKILL)
            kills.append({"seat": d.s.seat, "rows": waiting, "strand": False, "at": time.time()})
            time.sleep(hold)
        else:
            d, req = rng.choice(candidates), Strand(rng.randint(2, 4))
            d.strand = req
            if not req.ready.wait(20) or not req.ok:
                req.cancelled = True
                req.down.set()
                notes.append(at + "journal kill of station %d abandoned (no parcel found first)" % d.s.seat)
                continue
            kind = rng.choice(kinds)
            began = time.time()
            server.fault(kind, True)
            req.down.set()
            told = req.told.wait(30) and not req.cancelled
            if told:
                waiting = d.s.journal_rows()
                d.s.kill_asked = True
                os.kill(d.s.proc.pid, signal.SIGKILL)
                kills.append({"seat": d.s.seat, "rows": waiting, "strand": True, "at": time.time()})
            notes.append(at + "%s, %d outcomes told by station %d, %s" %
                         (kind, req.count, d.s.seat, "then killed with %d rows in its journal" % len(waiting)
                          if told else "no kill (the driver stopped)"))
            time.sleep(hold)
            server.fault(kind, False)
            windows.append((began, time.time()))


def log_rows(server):
    sql = ("SET HEADING OFF;\nSELECT BARCODESPEED || '|' || COALESCE(CODICEEANLETTO, '-') || '|' || STATUS || '|' || "
           "COALESCE(IDSCANSIONE, '-') || '|' || COALESCE(CAST(DATAORASCANSIONE AS VARCHAR(30)), '-') || '|' || "
           "CAST(DATAORA AS VARCHAR(30)) || '|' || COALESCE(DACOPIA, 0) FROM LOGSPARATE;\n")
    rows = []
    for line in server.isql(sql, server.name).splitlines():
        parts = line.strip().split("|")
        if len(parts) == 7:
            # The server's time of arrival, on this machine's clock.
            arrived = datetime.datetime.strptime(parts[5], "%Y-%m-%d %H:%M:%S.%f").timestamp()
            rows.append({"key": tuple(parts[:3]), "ticket": parts[3], "scanned": parts[4], "arrived": arrived,
                         "copy": parts[6] == "1"})
    return rows


def own_accounts(server, accounts):
    """Every attachment of a station is its own account's, with the station's role."""
    sql = ("SET HEADING OFF;\nSELECT TRIM(MON$USER) || '|' || TRIM(COALESCE(MON$ROLE, '-')) || '|' || "
           "COALESCE(MON$REMOTE_PROCESS, '-') FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID <> CURRENT_CONNECTION;\n")
    seen = [line.strip().split("|") for line in server.isql(sql, server.name).splitlines() if line.count("|") == 2]
    stations = [(user, role) for user, role, process in seen if process.endswith("controllo-colli")]
    problems = ["a station attached as %s with role %s" % (user, role) for user, role in sorted(set(stations))
                if (user, role) not in {(name, "COLLI_STATION") for name, _ in accounts}]
    missing = {name for name, _ in accounts} - {user for user, _ in stations}
    if missing:
        problems.append("no attachment of %s after the last start (attachments: %s)" % (sorted(missing), seen))
    return problems


def reconcile(drivers, rows, kills, leftover, windows):
    """Every outcome told is one row; every row was told (or cut by a kill);
    every row a kill left in a journal arrived once; no journal keeps a row;
    a row decided on a station's copy was scanned while the server was away."""
    problems = []
    by_key, by_ticket = {}, {}
    for row in rows:
        if row["copy"] and row["scanned"] != "-":
            # The parcel was looked up on the copy: from a fault's start until
            # the station found the server back (its keeper looks every 2 s).
            scanned = datetime.datetime.strptime(row["scanned"], "%Y-%m-%d %H:%M:%S.%f").timestamp()
            if not any(start - 1 <= scanned <= stop + 2 * BOUND + 10 for start, stop in windows):
                problems.append("a row decided on the copy, scanned while the server answered: %s at %s" %
                                (row["key"], row["scanned"]))
        by_key.setdefault(row["key"], []).append(row)
        by_ticket.setdefault(row["ticket"], []).append(row)
        if row["ticket"] == "-":
            problems.append("a row without its ticket: %s" % (row["key"],))
        if row["scanned"] == "-":
            problems.append("a row without the station's scan time: %s" % (row["key"],))
    for ticket, same in by_ticket.items():
        if ticket != "-" and len(same) > 1:
            problems.append("ticket %s in %d rows: %s" % (ticket, len(same), [r["key"] for r in same]))
    for d in drivers:
        for scan in d.scans:
            have = len(by_key.pop(scan.key(), []))
            if have != 1:
                problems.append("station %d: outcome told for %s, %d rows in the log" % (scan.seat, scan.key(), have))
    cut = {code: 0 for d in drivers for code in d.cut}
    cut_rows = 0
    for key, same in by_key.items():
        codes = [c for c in key[:2] if c in cut]
        if codes and len(same) == 1 and all(cut[c] == 0 for c in codes):
            for c in codes:
                cut[c] += 1
            cut_rows += 1
        else:
            problems.append("a row nobody was told about: %s x%d" % (key, len(same)))
    for kill in kills:
        for ticket, key, held, _ in kill["rows"]:
            arrived = by_ticket.get(ticket, [])
            if [r["key"] for r in arrived] != [key]:
                problems.append("station %d killed with %s (ticket %s%s) in its journal: arrived as %s" %
                                (kill["seat"], key, ticket, ", on screen" if held else "", [r["key"] for r in arrived]))
            elif kill["strand"] and arrived[0]["arrived"] < kill["at"] - 1:
                # The server was away from before these outcomes until after the kill.
                problems.append("station %d: %s (ticket %s) reached the server %.1f s before the kill that left it "
                                "in the journal" % (kill["seat"], key, ticket, kill["at"] - arrived[0]["arrived"]))
    for seat, left in leftover.items():
        for ticket, key, held, refusal in left:
            problems.append("station %d: %s (ticket %s) still in its journal%s" %
                            (seat, key, ticket, ", refused: " + refusal if refusal else ", never forwarded"))
    for d in drivers:
        named = [l.split(IGNORED, 1)[1] for l in d.s.diagnostics() if IGNORED in l]
        for code in d.dropped:
            if code in named:
                named.remove(code)
                continue
            part = [n for n in named if n and n in code]
            if part:
                named.remove(part[0])
                problems.append("station %d: %s, typed while a box came up, named as ignored as %r: its other keys "
                                "went nowhere" % (d.s.seat, code, part[0]))
            else:
                problems.append("station %d: %s, typed during a box, never named as ignored" % (d.s.seat, code))
        for code in named:
            if code not in d.cut:
                problems.append("station %d: %r named as ignored, but the driver saw it handled" % (d.s.seat, code))
    return problems, cut_rows


def make_site(server, database, admin, stations, work):
    """As the README tells a site: the alias's empty database, here with the
    tables of an older site, brought up to date by init; one account per station."""
    server.isql("CREATE DATABASE '%s' USER 'SYSDBA' PASSWORD '%s';\n"
                "CREATE TABLE COLLI (BARCODESPEED VARCHAR(64) NOT NULL, CODICEEAN VARCHAR(64), "
                "CODICEEAN_ERRATO VARCHAR(64));\n"
                "CREATE INDEX IDX_COLLI_BARCODESPEED ON COLLI (BARCODESPEED);\n"
                "CREATE TABLE LOGSPARATE (ID BIGINT NOT NULL PRIMARY KEY, DATAORA TIMESTAMP, "
                "BARCODESPEED VARCHAR(64), CODICEEANLETTO VARCHAR(64), STATUS VARCHAR(32));\n"
                "CREATE GENERATOR IDLOGSPARATECOUNTER;\nCOMMIT;\n" % (server.name, SYSDBA_PASSWORD))
    if not os.path.exists(database):
        raise RuntimeError("the alias did not make %s" % database)
    # The private server's SYSDBA keeps the default password.
    env = dict(os.environ, ISC_PASSWORD=SYSDBA_PASSWORD)
    sh(admin, "init", server.name, env=env)
    with open(os.path.join(work, "parcels.csv"), "w") as f:
        for seat in range(stations):
            for n in range(1, 3000):
                f.write("CH%d%05d;%s\n" % (seat, n, ean_of("CH%d%05d" % (seat, n))))
    sh(admin, "import", server.name, os.path.join(work, "parcels.csv"), env=env, timeout=300)
    accounts = []
    for seat in range(stations):
        account = ("STAZIONE%d" % (seat + 1), "chaos-%s-%d" % (RUN, seat + 1))
        sh(admin, "station-user", server.name, account[0], env=dict(env, COLLI_STATION_PASSWORD=account[1]))
        accounts.append(account)
    return accounts


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
    began = time.time()
    work = tempfile.mkdtemp(prefix="colli-chaos-")
    os.chmod(work, 0o755)
    server, stations, drivers, cups = None, [], [], os.path.join(work, "cups")
    problems, notes, kills, windows, outages = [], [], [], [], []
    try:
        database = os.path.join(work, "CHAOS.FDB")
        server = Server(work, database)
        admin = os.path.join(args.build, "admin", "colli-admin")
        accounts = make_site(server, database, admin, args.stations, work)
        sh("bash", TOP + "/scripts/cups-test-rig.sh", "start", cups)
        with open(os.path.join(cups, "env")) as f:
            cups_env = dict(line.strip().split("=", 1) for line in f if "=" in line)
        # A queue to choose; the pairs are all correct, so nothing is printed.
        subprocess.run(["lpadmin", "-p", "Etichette", "-E", "-v", "socket://127.0.0.1:9"],
                       env=dict(os.environ, **cups_env, PATH=os.environ["PATH"] + ":/usr/sbin"), check=True)
        holes = os.geteuid() == 0 and server.fault("blackhole", True) and server.fault("blackhole", False)
        if not holes:
            print("chaos: iptables not usable here: dropped packets are left out")
        program = os.path.join(args.build, "app", "controllo-colli")
        for seat in range(args.stations):
            stations.append(Station(seat, work, program, server, accounts[seat], cups_env))
            stations[-1].start()
        end = time.time() + args.seconds
        drivers = [Driver(s, end, lambda text: print("chaos: " + text, flush=True), random.Random(args.seed + s.seat))
                   for s in stations]
        for d in drivers:
            d.start()
        inject(server, drivers, rng, end, notes, holes, kills, windows, outages)
        server.heal()
        for d in drivers:
            d.join(args.seconds + 120)
            if d.is_alive():
                problems.append("station %d: its driver did not finish" % d.s.seat)
            problems += d.problems
        for s in stations:
            status = s.terminate()
            if status != 0:
                problems.append("station %d ended with status %s at its close" % (s.seat, status))
        waiting = sum(len(s.journal_rows()) for s in stations)
        # The last start, with the server healthy: each station empties its journal.
        for s in stations:
            s.start()
        limit = time.time() + 30
        while time.time() < limit and any(r[3] is None for s in stations for r in s.journal_rows()):
            time.sleep(0.5)
        problems += own_accounts(server, accounts)
        leftover = {}
        for s in stations:
            status = s.terminate()
            if status != 0:
                problems.append("station %d ended with status %s after its last start" % (s.seat, status))
            leftover[s.seat] = s.journal_rows()
            if os.path.exists(os.path.join(s.folder, "ARCHIVIOCOLLI.FDB")):
                problems.append("station %d created a local database" % s.seat)
            for line in s.diagnostics():
                if "rifiutata dal server" in line:
                    problems.append("station %d: %s" % (s.seat, line[24:]))
        rows = log_rows(server)
        found, cut_rows = reconcile(drivers, rows, kills, leftover, windows)
        for o in outages:
            if o["refused"]:
                problems.append("%d lookups refused during the long outage: the copy did not answer" % o["refused"])
            if not o["told"]:
                problems.append("no outcome told during the long outage")
        if not outages and args.seconds >= 90:
            problems.append("no long outage: the run was too short for it")
        problems += found + [c for s in stations for c in s.crashes]
        told = sum(len(d.scans) for d in drivers)
        resent = [l for s in stations for l in s.diagnostics() if "era gi\u00e0 registrata" in l]
        in_kills = [r for k in kills for r in k["rows"]]
        if not any(k["strand"] and k["rows"] for k in kills):
            problems.append("no station was killed while outcomes waited in its journal")
        print("chaos: %d stations, %d faults (%d station kills, %d of them with outcomes waiting for an absent "
              "server), %d start-ups refused while the server was away, %d connections Xvfb refused (tried again)" %
              (args.stations, len(notes), len(kills), sum(k["strand"] for k in kills),
               sum(s.refused_starts for s in stations), sum(s.display_refusals for s in stations)))
        print("chaos: %d pairs typed, %d outcomes told, %d lookups refused, %d codes typed during a box dropped "
              "and named, %d codes cut by a kill (%d of them made a row)" %
              (sum(d.pairs for d in drivers), told, sum(len(d.failed_lookups) for d in drivers),
               sum(len(d.dropped) for d in drivers), sum(len(d.cut) for d in drivers), cut_rows))
        print("chaos: %d log rows decided on a station's copy of the parcels; long outage: %s" %
              (sum(r["copy"] for r in rows), "; ".join("%s %d s, %d outcomes told, %d lookups refused" %
                                                        (o["kind"], OUTAGE, o["told"], o["refused"]) for o in outages)
               or "none"))
        print("chaos: %d rows were in a journal at a station kill (%d with the outcome on screen, %d found already "
              "there when sent again), %d waited at the stations' close; %d log rows reconciled, %d resends in all "
              "the server already had" %
              (len(in_kills), sum(1 for r in in_kills if r[2]),
               sum(1 for r in in_kills if any("biglietto %s)" % r[0] in l for l in resent)), waiting, len(rows),
               len(resent)))
    finally:
        for s in stations:
            if s.proc and s.proc.poll() is None:
                s.proc.kill()
                s.proc.wait()
            s.xvfb.terminate()  # it removes its socket and lock as it ends
            try:
                s.xvfb.wait(5)
            except subprocess.TimeoutExpired:
                s.xvfb.kill()
                s.xvfb.wait()
        if server:
            server.stop()
        subprocess.run(["bash", TOP + "/scripts/cups-test-rig.sh", "stop", cups], capture_output=True)
        lines = {s.seat: s.diagnostics()[-15:] + ["standard error: " + s.stderr_tail()] for s in stations}
        shutil.rmtree(work, ignore_errors=True)
    if problems:
        print("chaos: FAILED (seed %d, %.0f s)" % (args.seed, time.time() - began))
        for p in problems:
            print("  " + p)
        print("  faults: " + "; ".join(notes))
        for s in stations:
            print("  station %d diagnostic log (last lines):" % s.seat)
            for line in lines[s.seat]:
                print("    " + line)
        return 1
    print("chaos: faults: " + "; ".join(notes))
    print("chaos: passed (seed %d, %.0f s)" % (args.seed, time.time() - began))
    return 0


if __name__ == "__main__":
    sys.exit(main())
