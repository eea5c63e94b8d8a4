"""A private Wine prefix holding the installed guard and its stand-in, driven
from the Linux side; shared by the end-to-end tests and the benchmark."""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time
import unittest

SERVICE = "ZUNATAVLGuardService"
INSTALL_DIR_WIN = r"C:\Program Files\ZUNA Cert"


class Prefix:
    def __init__(self, root):
        root = os.path.abspath(root)  # Wine takes no relative prefix
        self.root = root
        self.env = dict(os.environ, WINEPREFIX=root, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        self.install_dir = os.path.join(root, "drive_c", "Program Files", "ZUNA Cert")
        self.log_path = os.path.join(root, "drive_c", "users", "Public", "ZUNACertService.log")

    def detached(self, args):
        # Anything that may outlive us gets no pipe of ours (see wine-env.sh).
        return subprocess.run(args, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, start_new_session=True, timeout=120)

    def up(self):
        shutil.rmtree(self.root, ignore_errors=True)
        os.makedirs(os.path.dirname(self.root), exist_ok=True)
        self.detached(["wineboot", "-i"])
        self.detached(["wineserver", "-w"])
        subprocess.Popen(["wineserver", "-p"], env=self.env, stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        self.detached(["wine", "cmd", "/c", "exit"])

    def down(self):
        self.detached(["wineserver", "-k"])
        self.detached(["wineserver", "-w"])

    def wine(self, *args, timeout=120):
        """Runs a short-lived Windows program; returns (exit code, stdout text)."""
        done = subprocess.run(["wine", *args], env=self.env, stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=timeout)
        return done.returncode, done.stdout.decode("utf-8", "replace")

    def start_standin(self):
        # By its Windows path, so that it shows as the guard's own starts do.
        exe = INSTALL_DIR_WIN + r"\ZUNATAVLService.exe"
        subprocess.Popen(["wine", exe], env=self.env, cwd=self.install_dir, stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)

    # --- the guard's files -------------------------------------------------
    def log_bytes(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read()
        except OSError:
            return b""

    def records(self):
        """(source, line, message, value) of every record in the log."""
        out = []
        text = self.log_bytes()
        heads = list(re.finditer(rb"(?m)^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}\]\[0x[0-9a-f]{8}\]: ", text))
        for i, m in enumerate(heads):
            end = heads[i + 1].start() if i + 1 < len(heads) else len(text)
            body = text[m.end():end]
            if body.endswith(b"\r\n"):
                body = body[:-2]
            r = re.match(rb"(?s)(.*?) \[ (-?\d+) \]  : (.*) \[ (-?\d+) \] $", body)
            if r:
                out.append((r.group(1).decode(), int(r.group(2)), r.group(3), int(r.group(4))))
        return out

    def lines(self, source=None):
        return [(line, value) for (src, line, _, value) in self.records() if source is None or src == source]

    def control(self, mode):
        with open(os.path.join(self.install_dir, "standin.ctl"), "w") as f:
            f.write(mode + "\n")

    def file_text(self, name):
        try:
            with open(os.path.join(self.install_dir, name), "rb") as f:
                return f.read()
        except OSError:
            return b""

    def standin_pids(self):
        """Linux pids of the stand-ins that run from the install folder."""
        return self.pid_of(b"ZUNA Cert\\ZUNATAVLService.exe")

    def service_state(self, bound=10):
        """The service's state number, or None when it is not registered. Wine's
        sc prints nothing for an unknown service; a query that shows no state
        for a registered one (seen once while it ran) is asked again within
        `bound` seconds before it counts. A query that never returns (seen once
        under load, after processes of the prefix were killed) is asked again once."""
        deadline = time.monotonic() + bound
        while True:
            try:
                _, out = self.wine("sc", "query", SERVICE, timeout=30)
            except subprocess.TimeoutExpired:
                _, out = self.wine("sc", "query", SERVICE)
            m = re.search(r"STATE\s*:\s*(\d+)", out)
            if m:
                return int(m.group(1))
            if self.registration()[0] != 0 or time.monotonic() >= deadline:
                return None
            time.sleep(0.2)

    def registration(self, key=None):
        """reg query's exit code and the values of the service's key, or of `key`."""
        key = key or r"HKLM\System\CurrentControlSet\Services" + "\\" + SERVICE
        code, out = self.wine("reg", "query", key)
        values = {}
        for line in out.splitlines():
            parts = re.split(r"\s{4}", line.strip(), maxsplit=2)
            if len(parts) == 3:
                values[parts[0]] = parts[2]
            elif len(parts) == 2:
                values[parts[0]] = ""
        return code, values


    def pid_of(self, needle):
        """Linux pids of this prefix's processes whose command line holds `needle`."""
        # A service's environment does not carry WINEPREFIX; its executable,
        # mapped from inside the prefix, tells which prefix it belongs to.
        mine = os.path.realpath(self.root).encode() + b"/"
        pids = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    cmd = f.read()
                if needle not in cmd or b"winedbg" in cmd:
                    continue
                with open("/proc/%s/maps" % entry, "rb") as f:
                    if mine in f.read():
                        pids.append(int(entry))
            except OSError:
                pass
        return sorted(pids)

    def wineserver_pid(self):
        """The wineserver of this prefix: its working folder is the server
        folder named after the prefix's device and inode."""
        st = os.stat(self.root)
        suffix = "/server-%x-%x" % (st.st_dev, st.st_ino)
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    if os.readlink("/proc/%s/cwd" % entry).endswith(suffix):
                        return int(entry)
                except OSError:
                    pass
        return None


def cpu_seconds(pid):
    """User plus system CPU time of a Linux process, in seconds."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wait_for(condition, timeout, step=0.2):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


def run_suite(what, options):
    """Runs the unittest suite of __main__ with --<option> for each of `options`
    in its ARGS, prints how long it took and exits with its verdict."""
    parser = argparse.ArgumentParser()
    for name in options:
        parser.add_argument("--" + name, required=True)
    main = sys.modules["__main__"]
    main.ARGS, rest = parser.parse_known_args()
    started = time.monotonic()
    result = unittest.main(module=main, argv=[sys.argv[0], "-v"] + rest, exit=False).result
    print("%s suite took %.0f s" % (what, time.monotonic() - started))
    sys.exit(0 if result.wasSuccessful() else 1)
