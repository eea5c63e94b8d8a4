#!/usr/bin/env python3
"""Benchmark of the installed guard under Wine: footprint while watching,
memory, recovery, stop latency, the move to a new console user and a relaunch
soak. Prints one table of
figures and asserts nothing.

    bench/run.py                  the default run (about 30 minutes on 2 cores)
    bench/run.py --smoke          a few samples of each, for CI
    bench/run.py --footprint-minutes 1 --soak 100 --recovery-samples 5 --stop-samples 2

The footprint and the recovery and stop figures come from prefix A; the soak
runs meanwhile in prefix B (it never listens on the probe port, so the two do
not meet), which keeps the default run within half an hour.
"""
import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
from winehost import INSTALL_DIR_WIN, SERVICE, Prefix, cpu_seconds, wait_for  # noqa: E402

NORMAL = 'normal {"version":"1.0.0.1"}'
rows = []  # (section, figure, samples, median, max, unit, note)


def report(section, figure, values, unit, note=""):
    values = [v for v in values if v is not None]
    if values:
        rows.append((section, figure, len(values), statistics.median(values), max(values), unit, note))
    else:
        rows.append((section, figure, 0, None, None, unit, note or "no sample"))
    print("  %s / %s: %s" % (section, figure, ", ".join("%.3g" % v for v in values)), flush=True)


class Bench:
    def __init__(self, args, name):
        self.args = args
        self.p = Prefix(os.path.join(args.work, name))
        self.tavl = INSTALL_DIR_WIN + r"\TAVL.exe"
        self.extra = []

    def setup(self):
        self.p.up()
        os.makedirs(self.p.install_dir, exist_ok=True)
        for src in (self.args.tavl, self.args.standin, self.args.ref, self.args.procinfo, self.args.sleeper,
                    self.args.sessionswitch):
            shutil.copy(src, self.p.install_dir)
        shutil.move(os.path.join(self.p.install_dir, os.path.basename(self.args.tavl)),
                    os.path.join(self.p.install_dir, "TAVL.exe"))
        self.p.control(NORMAL)
        self.p.wine(self.tavl, "-install")

    def teardown(self):
        self.p.wine("sc", "stop", SERVICE)
        self.p.wine(self.tavl, "-remove")
        self.p.down()

    # --- service and stand-in ---------------------------------------------
    def start(self):
        self.p.wine("sc", "start", SERVICE)
        return wait_for(lambda: self.p.service_state() == 4, 20)

    def stop(self):
        """Seconds from sc stop to STOPPED."""
        begin = time.monotonic()
        subprocess.Popen(["wine", "sc", "stop", SERVICE], env=self.p.env, stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: self.p.service_state() == 1, 60, 0.05)
        return time.monotonic() - begin

    def kill_standins(self):
        for pid in self.p.standin_pids():
            os.kill(pid, signal.SIGKILL)
        wait_for(lambda: not self.p.standin_pids(), 10)

    def adopt(self, mode):
        """Service stopped, our own stand-in running in `mode`, service started:
        the guard probes it 30 s after the start."""
        if self.p.service_state() == 4:
            self.stop()
        self.kill_standins()
        self.p.control(NORMAL)
        self.p.start_standin()
        wait_for(self.p.standin_pids, 10)
        time.sleep(0.5)
        self.p.control(mode)
        self.start()
        return time.monotonic()

    def guard_pid(self):
        pids = self.p.pid_of(b"ZUNA Cert\\TAVL.exe")
        return pids[0] if pids else None

    def procinfo(self, image):
        code, out = self.p.wine(INSTALL_DIR_WIN + r"\procinfo.exe", image)
        lines = [l.split() for l in out.splitlines() if len(l.split()) == 4]
        return [tuple(int(x) for x in l) for l in lines]

    # --- figures ----------------------------------------------------------
    def cpu_period(self, pid, seconds):
        server = self.p.wineserver_pid()
        a, sa = cpu_seconds(pid), cpu_seconds(server)
        time.sleep(seconds)
        b, sb = cpu_seconds(pid), cpu_seconds(server)
        return (b - a) * 60 / seconds, (sb - sa) * 60 / seconds

    def footprint(self, label):
        seconds = self.args.footprint_minutes * 60
        self.adopt(NORMAL)
        time.sleep(2)
        guard = self.guard_pid()
        g, gs = self.cpu_period(guard, seconds)
        info = self.procinfo("TAVL.exe")
        with open("/proc/%d/status" % guard) as f:
            self.status = dict(l.split(":", 1) for l in f if ":" in l)
        self.stop()
        ref = subprocess.Popen(["wine", INSTALL_DIR_WIN + r"\snapshot_ref.exe"], env=self.p.env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               start_new_session=True)
        time.sleep(2)
        refpid = (self.p.pid_of(b"ZUNA Cert\\snapshot_ref.exe") or [ref.pid])[0]
        r, rs = self.cpu_period(refpid, seconds)
        ref.kill()
        for pid in self.p.pid_of(b"snapshot_ref.exe"):
            os.kill(pid, signal.SIGKILL)
        report("footprint " + label, "guard CPU", [g], "s/min")
        report("footprint " + label, "guard's wineserver CPU", [gs], "s/min")
        report("footprint " + label, "reference CPU", [r], "s/min")
        report("footprint " + label, "reference's wineserver CPU", [rs], "s/min")
        report("footprint " + label, "ratio guard/reference (process)", [g / r if r else None], "x")
        report("footprint " + label, "ratio guard/reference (with wineserver)",
               [(g + gs) / (r + rs) if r + rs else None], "x")
        return guard, info

    def add_idle_processes(self, n):
        sleeper = INSTALL_DIR_WIN + r"\sleeper.exe"
        for _ in range(n):
            self.extra.append(subprocess.Popen(["wine", sleeper], env=self.p.env, stdin=subprocess.DEVNULL,
                                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                               start_new_session=True))
        wait_for(lambda: len(self.p.pid_of(b"sleeper.exe")) >= n, 120, 1)

    def memory(self, guard, info):
        status = self.status
        kib = lambda k: int(status.get(k, "0 kB").split()[0])
        report("memory", "guard RSS (Linux side)", [kib("VmRSS") / 1024], "MiB")
        report("memory", "guard anonymous RSS (Linux side)", [kib("RssAnon") / 1024], "MiB")
        if info:
            report("memory", "guard private bytes (Windows API)", [info[0][2] / 2 ** 20], "MiB",
                   "0 means Wine does not report it")
            report("memory", "guard working set (Windows API)", [info[0][3] / 2 ** 20], "MiB")
        report("memory", "TAVL.exe file size", [os.path.getsize(self.args.tavl) / 2 ** 20], "MiB")

    def recovery(self):
        exits = []
        self.kill_standins()
        self.p.control(NORMAL)
        if self.p.service_state() != 4:
            self.start()
        wait_for(self.p.standin_pids, 15)
        for _ in range(self.args.recovery_samples):
            before = set(self.p.standin_pids())
            # A program that ran a while: one that ends within 10 s five times
            # in a row is started again later and later.
            time.sleep(10.5)
            self.p.control("exit 0")
            wait_for(lambda: not self.p.standin_pids(), 10, 0.02)
            gone = time.monotonic()
            self.p.control(NORMAL)
            if wait_for(lambda: set(self.p.standin_pids()) - before, 15, 0.02):
                exits.append(time.monotonic() - gone)
        report("recovery", "program exit -> new instance", exits, "s", "floor 3.0 s")

        empties = []
        for _ in range(self.args.empty_samples):
            self.adopt("refuse")
            ours = set(self.p.standin_pids())
            # The kill is seen as the moment our instance disappears.
            if not wait_for(lambda: not (set(self.p.standin_pids()) & ours), 60, 0.02):
                continue
            killed = time.monotonic()
            self.p.control(NORMAL)
            if wait_for(lambda: self.p.standin_pids(), 15, 0.02):
                empties.append(time.monotonic() - killed)
        report("recovery", "empty reply kill -> new instance", empties, "s", "floor 2.0 s")

    def stops(self):
        n = self.args.stop_samples
        pause, silent, trickle, waiting = [], [], [], []
        for _ in range(n):
            self.adopt(NORMAL)
            time.sleep(1.3)
            pause.append(self.stop())
        for samples, mode in ((silent, "silent"), (trickle, "trickle 5")):
            for _ in range(n):
                self.p.control(NORMAL)
                started = self.adopt(mode)
                requests = len(self.p.file_text("requests.log"))
                # The probe is under way once the stand-in has logged it.
                wait_for(lambda: len(self.p.file_text("requests.log")) > requests, 45, 0.1)
                time.sleep(1)
                samples.append(self.stop())
        for _ in range(n):
            self.kill_standins()
            self.p.control(NORMAL)
            self.start()
            wait_for(self.p.standin_pids, 15)
            time.sleep(1)
            waiting.append(self.stop())
        delayed = []
        for _ in range(n):
            # Five runs that end at once: the next start waits 6 s; stop 1 s
            # after the usual 3 s, in the delay.
            self.kill_standins()
            self.p.control("exit 3")
            starts = self.p.file_text("starts.log").count(b"\n")
            self.start()
            wait_for(lambda: self.p.file_text("starts.log").count(b"\n") >= starts + 5, 60, 0.05)
            wait_for(lambda: not self.p.standin_pids(), 10, 0.02)
            time.sleep(4)
            delayed.append(self.stop())
        self.p.control(NORMAL)
        report("stop", "during the 1 s pause", pause, "s")
        report("stop", "during a probe, silent program", silent, "s")
        report("stop", "during a probe, trickling program", trickle, "s")
        report("stop", "waiting on a program it started", waiting, "s")
        report("stop", "during a delayed start (6 s)", delayed, "s")

    def own_program(self):
        """CPU of the guard waiting on a program it started: it looks at the
        console once a second."""
        if self.p.service_state() == 4:
            self.stop()
        self.kill_standins()
        self.p.control(NORMAL)
        self.start()
        wait_for(self.p.standin_pids, 15)
        time.sleep(2)
        g, gs = self.cpu_period(self.guard_pid(), max(15, self.args.footprint_minutes * 12))
        self.stop()
        report("footprint own program", "guard CPU (console read each second)", [g], "s/min")
        report("footprint own program", "guard's wineserver CPU", [gs], "s/min")

    def sessions(self):
        """The guard in sessionswitch.exe, beside the stand-in, with a console
        that switches between two sessions (Wine has one): switch -> new copy."""
        if self.p.service_state() == 4:
            self.stop()
        self.kill_standins()
        self.p.control(NORMAL)
        out_path = os.path.join(self.args.work, "sessionswitch.out")
        # Output to a file: a program's console host may outlive it and hold a pipe.
        with open(out_path, "wb") as out:
            subprocess.run(["wine", INSTALL_DIR_WIN + r"\sessionswitch.exe", str(self.args.switch_samples)],
                           env=self.p.env, cwd=self.p.install_dir, stdin=subprocess.DEVNULL, stdout=out,
                           stderr=subprocess.DEVNULL, start_new_session=True, timeout=60 + 15 * self.args.switch_samples)
        started, answered = [], []
        with open(out_path, "rb") as f:
            for line in f.read().decode("utf-8", "replace").splitlines():
                parts = line.split()
                if len(parts) == 3 and parts[0] == "switch":
                    started += [float(parts[1])] if float(parts[1]) >= 0 else []
                    answered += [float(parts[2])] if float(parts[2]) >= 0 else []
        self.kill_standins()
        report("sessions", "console switch -> copy started in the new session", started, "s", "goal <= 1.5 s")
        report("sessions", "console switch -> that copy answers", answered, "s")


def soak(args, out):
    b = Bench(args, "soak")
    try:
        b.setup()
        # Every fifth run lasts 11 s, so starts are never delayed and the soak
        # measures relaunches at the usual pace.
        b.p.control("flap 5 11")
        b.start()
        marks = list(range(0, args.soak + 1, 50))
        if marks[-1] != args.soak:
            marks.append(args.soak)
        figures = []
        for mark in marks:
            wait_for(lambda: b.p.file_text("starts.log").count(b"\n") >= mark, 3600, 0.5)
            guard = b.guard_pid()
            info = b.procinfo("TAVL.exe")
            with open("/proc/%d/status" % guard) as f:
                rss = [int(l.split()[1]) for l in f if l.startswith("VmRSS")][0]
            figures.append((mark, info[0][1] if info else None, info[0][2] if info else None, rss))
        out.extend(figures)
    finally:
        b.teardown()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    build = os.path.join(ROOT, "build", "mingw")
    parser.add_argument("--build", default=build)
    parser.add_argument("--work", default=os.path.join(build, "bench-run"))
    parser.add_argument("--footprint-minutes", type=float, default=5)
    parser.add_argument("--extra-processes", type=int, default=100)
    parser.add_argument("--recovery-samples", type=int, default=20)
    parser.add_argument("--empty-samples", type=int, default=5)
    parser.add_argument("--stop-samples", type=int, default=5)
    parser.add_argument("--soak", type=int, default=300)
    parser.add_argument("--switch-samples", type=int, default=20)
    parser.add_argument("--smoke", action="store_true", help="a few samples of each, for CI")
    args = parser.parse_args()
    if args.smoke:
        args.footprint_minutes, args.extra_processes = 0.1, 10
        args.recovery_samples, args.empty_samples, args.stop_samples, args.soak = 1, 1, 1, 10
        args.switch_samples = 2
    args.tavl = os.path.join(args.build, "ZUNACertService", "TAVL.exe")
    args.standin = os.path.join(args.build, "standin", "ZUNATAVLService.exe")
    args.ref = os.path.join(args.build, "bench", "snapshot_ref.exe")
    args.procinfo = os.path.join(args.build, "bench", "procinfo.exe")
    args.sleeper = os.path.join(args.build, "tests", "sleeper.exe")
    args.sessionswitch = os.path.join(args.build, "bench", "sessionswitch.exe")

    began = time.monotonic()
    soak_figures = []
    soak_thread = threading.Thread(target=soak, args=(args, soak_figures))
    soak_thread.start()

    b = Bench(args, "main")
    try:
        b.setup()
        guard, info = b.footprint("idle prefix")
        b.memory(guard, info)
        b.add_idle_processes(args.extra_processes)
        b.footprint("+%d idle processes" % args.extra_processes)
        for p in b.extra:
            p.kill()
        for pid in b.p.pid_of(b"sleeper.exe"):
            os.kill(pid, signal.SIGKILL)
        b.recovery()
        b.stops()
        b.own_program()
        b.sessions()
    finally:
        b.teardown()
        soak_thread.join()

    for mark, handles, private, rss in soak_figures:
        rows.append(("soak", "after %d relaunches: handles / private MiB / RSS MiB" % mark, 1,
                     None, None, "",
                     "%s / %s / %.1f" % (handles, "%.2f" % (private / 2 ** 20) if private is not None else "-",
                                         rss / 1024)))

    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    print()
    print("Guard benchmark, %s, %s, %d cores, %s" % (time.strftime("%Y-%m-%d"), os.uname().machine,
                                                      os.cpu_count(), wine))
    print("%-28s %-52s %4s %9s %9s  %-5s %s" % ("section", "figure", "n", "median", "max", "unit", "note"))
    for section, figure, n, med, mx, unit, note in rows:
        fmt = lambda v: "%9.3f" % v if v is not None else "%9s" % "-"
        print("%-28s %-52s %4d %s %s  %-5s %s" % (section, figure, n, fmt(med), fmt(mx), unit, note))
    print("run took %.1f min" % ((time.monotonic() - began) / 60))


if __name__ == "__main__":
    main()
