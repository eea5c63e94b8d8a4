#!/usr/bin/env python3
"""The release as an administrator gets it: scripts/package.sh from two clean
clones in different folders (same bytes), signed with a throw-away certificate,
and the MSI installed, upgraded, installed again, repaired, refused as a
downgrade and removed under Wine, silently, into a folder with a blank in its
path that holds the stand-in; then installed into a folder without it."""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "scripts"))
from winehost import SERVICE, Prefix, run_suite, wait_for  # noqa: E402

ARGS = None
FOLDER_WIN = r"C:\Guard Test\ZUNA Cert"
# Version N and N+1: the third field is the least that Windows Installer takes
# as an upgrade (it compares the first three fields only).
OLD_VERSION = "0.9.8"
NEXT_VERSION = "0.9.9"
UPGRADE_CODE = "6F0C2B1E-5D7A-4C39-9E21-3A8B4F6D7C10"
EVENT_SOURCE = r"HKLM\System\CurrentControlSet\Services\EventLog\Application" + "\\" + SERVICE


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def package(clone, **env):
    started = time.monotonic()
    out = subprocess.run(["bash", os.path.join(clone, "scripts", "package.sh")], env=dict(os.environ, **env),
                         capture_output=True, text=True, timeout=900)
    print("package.sh in %s%s: %.0f s" % (clone, " " + " ".join(env) if env else "", time.monotonic() - started))
    if out.returncode != 0:
        raise AssertionError(out.stderr[-3000:])
    return out.stdout.strip().splitlines()[-1], out.stderr


def table(msi, name):
    """The rows of one table of an MSI, each a list of column texts."""
    out = subprocess.run(["msiinfo", "export", msi, name], capture_output=True, text=True, check=True,
                         timeout=60).stdout
    return [line.split("\t") for line in out.splitlines()[3:]]


def packed(guid):
    """A GUID as Windows Installer writes it in registry key and value names."""
    g = guid.strip("{}").replace("-", "").upper()
    return g[7::-1] + g[11:7:-1] + g[15:11:-1] + "".join(g[i + 1] + g[i] for i in range(16, 32, 2))


def version_block(path):
    data = open(path, "rb").read()
    at = data.find("FileVersion".encode("utf-16-le") + b"\0\0")
    return re.match(rb"((?:[0-9.]\0)+)", data[at + 24:at + 80].lstrip(b"\0")).group(1).decode("utf-16-le")


class Release(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(ARGS.work, ignore_errors=True)
        cls.clones = [os.path.join(ARGS.work, "a", "src"), os.path.join(ARGS.work, "b b", "other src")]
        for clone in cls.clones:
            subprocess.run(["git", "clone", "-q", "--no-hardlinks", ARGS.root, clone], check=True, timeout=300)
        # The lower versions first, in the same build folder: only the version block and the link change.
        # Each names its previous release, whatever tags the repository has.
        cls.old, _ = package(cls.clones[1], ZUNA_VERSION=OLD_VERSION, ZUNA_PREVIOUS_VERSION="0.9.7",
                             ZUNA_DIST=os.path.join(ARGS.work, "old"))
        cls.next, _ = package(cls.clones[1], ZUNA_VERSION=NEXT_VERSION, ZUNA_PREVIOUS_VERSION=OLD_VERSION,
                              ZUNA_DIST=os.path.join(ARGS.work, "next"))
        time.sleep(2)
        cls.dists, cls.dist_errs = zip(*[package(clone) for clone in cls.clones])
        # The release's version names the files; the version block carries it as four numbers.
        cls.msi = [n for n in os.listdir(cls.dists[0]) if n.endswith(".msi")][0]
        cls.release = re.fullmatch(r"ZUNACertGuard-(\d+\.\d+\.\d+(?:\.\d+)?)-x64\.msi", cls.msi).group(1)
        cls.version = version_block(os.path.join(cls.dists[0], "TAVL.exe"))

    def test_1_two_clean_builds_give_the_same_bytes(self):
        a, b = self.dists
        names = sorted(os.listdir(a))
        self.assertEqual(names, sorted(["TAVL.exe", "TAVL-%s.debug" % self.release, self.msi, "SHA256SUMS"]))
        self.assertEqual(self.version, ".".join((self.release.split(".") + ["0"])[:4]))
        for name in ("TAVL.exe", "TAVL-%s.debug" % self.release):
            print("%s: %d bytes, sha256 %s" % (name, os.path.getsize(os.path.join(a, name)), sha256(os.path.join(a, name))))
            self.assertEqual(sha256(os.path.join(a, name)), sha256(os.path.join(b, name)), name)
        self.assertLessEqual(os.path.getsize(os.path.join(a, "TAVL.exe")), 4 * 1024 * 1024)
        sums = [open(os.path.join(d, "SHA256SUMS")).read().splitlines() for d in self.dists]
        self.assertEqual([l for l in sums[0] if l.endswith(" TAVL.exe")], [l for l in sums[1] if l.endswith(" TAVL.exe")])
        for line in sums[0]:
            digest, name = line.split("  ")
            self.assertEqual(sha256(os.path.join(a, name)), digest, name)
        # The stripped program names its debug file, and the debug file resolves an address.
        dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-s", "-j", ".gnu_debuglink", os.path.join(a, "TAVL.exe")],
                              capture_output=True, text=True, timeout=60).stdout
        self.assertIn("TAVL-%s.deb" % self.release, dump)
        debug = os.path.join(a, "TAVL-%s.debug" % self.release)
        nm = subprocess.run(["x86_64-w64-mingw32-nm", debug], capture_output=True, text=True, timeout=60).stdout
        address = re.search(r"^([0-9a-f]+) T _Z9GuardMainiPPw$", nm, re.M).group(1)
        where = subprocess.run(["x86_64-w64-mingw32-addr2line", "-f", "-C", "-e", debug, "0x" + address],
                               capture_output=True, text=True, timeout=60).stdout
        self.assertRegex(where, r"GuardMain\(int, wchar_t\*\*\)\n.*Main\.cpp:\d+")
        self.assertNotIn(ARGS.work.encode(), open(debug, "rb").read(), "no build folder in the debug file")
        # Nor in a symbol name, where tools write it with "_" for every other character.
        self.assertNotIn(re.sub(r"[^0-9A-Za-z]", "_", ARGS.work).encode(), open(debug, "rb").read())

    def test_2_signed_with_a_throw_away_certificate(self):
        keys = os.path.join(ARGS.work, "keys")
        os.makedirs(keys)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=ZUNA test signer", "-addext", "extendedKeyUsage=codeSigning",
                        "-keyout", os.path.join(keys, "key.pem"), "-out", os.path.join(keys, "cert.pem")],
                       check=True, capture_output=True, timeout=60)
        subprocess.run(["openssl", "pkcs12", "-export", "-inkey", os.path.join(keys, "key.pem"),
                        "-in", os.path.join(keys, "cert.pem"), "-out", os.path.join(keys, "sign.p12"),
                        "-passout", "pass:throw-away"], check=True, capture_output=True, timeout=60)
        signed, err = package(self.clones[0], ZUNA_DIST=os.path.join(ARGS.work, "signed"),
                              ZUNA_SIGN_PKCS12=os.path.join(keys, "sign.p12"), ZUNA_SIGN_PASSWORD="throw-away")
        self.assertIn("are signed", err)
        exe = os.path.join(signed, "TAVL.exe")
        for path in (exe, os.path.join(signed, self.msi)):
            out = subprocess.run(["osslsigncode", "verify", "-CAfile", os.path.join(keys, "cert.pem"), "-in", path],
                                 capture_output=True, text=True, timeout=60)
            self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        # The program inside the MSI is the signed one.
        inside = os.path.join(ARGS.work, "inside")
        subprocess.run(["msiextract", "-C", inside, os.path.join(signed, self.msi)], check=True, capture_output=True,
                       timeout=60)
        found = [os.path.join(d, f) for d, _, fs in os.walk(inside) for f in fs if f == "TAVL.exe"]
        self.assertEqual([sha256(p) for p in found], [sha256(exe)])
        # Without a certificate the release says it is not signed.
        self.assertIn("not signed", self.dist_errs[0])

    def test_3_install_upgrade_repair_and_remove_under_wine(self):
        P = Prefix(os.path.join(ARGS.work, "prefix"))
        P.install_dir = os.path.join(P.root, "drive_c", "Guard Test", "ZUNA Cert")
        P.up()
        try:
            self.msiexec_cycle(P)
        finally:
            P.wine("sc", "stop", SERVICE)
            P.wine("sc", "delete", SERVICE)
            P.down()

    def assert_registered(self, P, folder):
        """The service and its event source as TAVL.exe -install registers them; the
        guard itself quotes the path and writes the description when it starts."""
        def settled():
            reg = P.registration()[1]
            return reg.get("ImagePath", "").startswith('"') and len(reg.get("Description", "")) > 10
        wait_for(settled, 15)
        code, reg = P.registration()
        self.assertEqual(code, 0)
        fields = ("Type", "Start", "ErrorControl", "ObjectName", "DisplayName", "ImagePath")
        self.assertEqual([reg.get(f) for f in fields], ["0x10", "0x2", "0x1", "LocalSystem",
                         "ZUNATAVLGuardService zuna Service", '"%s\\TAVL.exe"' % folder], "%s, the path quoted" % (fields,))
        self.assertTrue(reg.get("Description", "").startswith("ZUNA") and len(reg["Description"]) > 10, reg)
        self.assertEqual(P.registration(EVENT_SOURCE)[1].get("EventMessageFile"), folder + "\\TAVL.exe")
        self.assertRegex(P.wine("reg", "query", EVENT_SOURCE, "/v", "EventMessageFile")[1],
                         r"EventMessageFile\s+REG_EXPAND_SZ\s")

    def msiexec_cycle(self, P):
        os.makedirs(P.install_dir)
        shutil.copy(ARGS.standin, os.path.join(P.install_dir, "ZUNATAVLService.exe"))
        P.control('normal {"v":1}')
        standin = sha256(os.path.join(P.install_dir, "ZUNATAVLService.exe"))
        msis = {"old.msi": os.path.join(self.old, "ZUNACertGuard-%s-x64.msi" % OLD_VERSION),
                "new.msi": os.path.join(self.next, "ZUNACertGuard-%s-x64.msi" % NEXT_VERSION),
                "release.msi": os.path.join(self.dists[0], self.msi)}
        for name, path in msis.items():
            shutil.copy(path, os.path.join(P.root, "drive_c", name))
        product = {name: dict(row[:2] for row in table(path, "Property"))["ProductCode"] for name, path in msis.items()}

        # The exit code as a Windows caller reads it: the Linux side sees only its low 8 bits.
        # It goes to a file: the captured output once came back without it.
        with open(os.path.join(P.root, "drive_c", "msi.cmd"), "w") as f:
            f.write("@echo off\r\nstart /wait msiexec %*\r\n>C:\\msi.exit echo exit=%ERRORLEVEL%\r\n")

        def msiexec(*args):
            started = time.monotonic()
            exit_file = os.path.join(P.root, "drive_c", "msi.exit")
            if os.path.exists(exit_file):
                os.remove(exit_file)
            P.wine("cmd", "/c", r"C:\msi.cmd", *args, "/l*v", r"C:\msi.log", timeout=300)
            with open(exit_file) as f:
                code = int(re.search(r"exit=(-?\d+)", f.read()).group(1))
            print("msiexec %s: exit %d, %.1f s" % (" ".join(args), code, time.monotonic() - started))
            return code

        def tavl_version():
            return version_block(os.path.join(P.install_dir, "TAVL.exe"))

        def products():
            """The products registered under the UpgradeCode, as Windows Installer keeps them per machine."""
            code, values = P.registration(r"HKLM\Software\Classes\Installer\UpgradeCodes" + "\\" + packed(UPGRADE_CODE))
            return sorted(values) if code == 0 else []

        def uninstall_entry(name):
            return P.wine("reg", "query", r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall" + "\\"
                          + product[name])[0] == 0

        self.assertEqual(msiexec("/i", r"C:\old.msi", "/qn", "INSTALLDIR=" + FOLDER_WIN + "\\"), 0)
        self.assertTrue(wait_for(lambda: P.service_state() == 4, 20), "RUNNING")
        self.assert_registered(P, FOLDER_WIN)
        self.assertTrue(wait_for(P.standin_pids, 15), "the guard started the stand-in")
        self.assertEqual(tavl_version(), OLD_VERSION + ".0")
        self.assertEqual(products(), [packed(product["old.msi"])])
        before = P.standin_pids()

        # N+1, without INSTALLDIR: in place, one product, one service, running, the newer file, the program run by it.
        self.assertEqual(msiexec("/i", r"C:\new.msi", "/qn"), 0)
        self.assertTrue(wait_for(lambda: P.service_state() == 4, 20), "RUNNING after the upgrade")
        # The old guard ended the program it ran; the new one, beside it, runs it.
        self.assertTrue(wait_for(lambda: P.standin_pids() and not set(P.standin_pids()) & set(before), 15),
                        "the upgraded guard runs the program")
        self.assertEqual(tavl_version(), NEXT_VERSION + ".0")
        self.assertEqual(products(), [packed(product["new.msi"])], "one product of the UpgradeCode")
        self.assertEqual((uninstall_entry("old.msi"), uninstall_entry("new.msi")), (False, True))
        code, out = P.wine("reg", "query", r"HKLM\System\CurrentControlSet\Services")
        self.assertEqual(len(re.findall(r"\\ZUNATAVLGuardService\s*$", out, re.M)), 1, "one registration")
        self.assert_registered(P, FOLDER_WIN)
        self.assertFalse(os.path.exists(os.path.join(P.root, "drive_c", "Program Files", "ZUNA Cert", "TAVL.exe")))
        # The same package again changes nothing.
        self.assertEqual(msiexec("/i", r"C:\new.msi", "/qn"), 0)
        self.assertEqual((P.service_state(), tavl_version()), (4, NEXT_VERSION + ".0"))

        # A repair puts back what went missing. Wine's msiexec has no /f: its
        # properties do the same (/famus is REINSTALL=ALL REINSTALLMODE=amus).
        P.wine("sc", "stop", SERVICE)
        self.assertTrue(wait_for(lambda: P.service_state() == 1, 20), "STOPPED")
        os.remove(os.path.join(P.install_dir, "TAVL.exe"))
        P.wine("reg", "delete", EVENT_SOURCE, "/f")
        self.assertEqual(msiexec("/i", r"C:\new.msi", "REINSTALL=ALL", "REINSTALLMODE=amus", "/qn"), 0)
        self.assertTrue(wait_for(lambda: P.service_state() == 4, 20), "RUNNING after the repair")
        self.assertEqual(tavl_version(), NEXT_VERSION + ".0")
        self.assert_registered(P, FOLDER_WIN)
        self.assertEqual(products(), [packed(product["new.msi"])])

        # 1603, a fatal error; Wine's log leaves the launch condition's text
        # out, so the package is asked for it.
        self.assertEqual(msiexec("/i", r"C:\old.msi", "/qn"), 1603)
        conditions = subprocess.run(["msiinfo", "export", os.path.join(P.root, "drive_c", "old.msi"),
                                     "LaunchCondition"], capture_output=True, text=True, timeout=60).stdout
        self.assertIn("NOT WIX_DOWNGRADE_DETECTED\tA newer version of ZUNA Cert Guard is already installed.",
                      conditions)
        self.assertEqual(tavl_version(), NEXT_VERSION + ".0")

        # A -remove by hand first, then the uninstall still succeeds and leaves nothing of its own.
        P.wine("sc", "stop", SERVICE)
        wait_for(lambda: P.service_state() == 1, 20)
        P.wine(FOLDER_WIN + r"\TAVL.exe", "-remove")
        self.assertIsNone(P.service_state())
        self.assertEqual(msiexec("/x", r"C:\new.msi", "/qn"), 0)
        self.assertIsNone(P.service_state())
        self.assertNotEqual(P.registration(EVENT_SOURCE)[0], 0)
        self.assertNotEqual(P.wine("reg", "query", r"HKLM\Software\ZUNA\Cert Guard")[0], 0)
        self.assertEqual(products(), [])
        left = os.listdir(P.install_dir)
        self.assertNotIn("TAVL.exe", left)
        self.assertNotIn("service-description.reg", left)
        self.assertEqual(sha256(os.path.join(P.install_dir, "ZUNATAVLService.exe")), standin)
        self.assertTrue(wait_for(lambda: not P.standin_pids() and not P.pid_of(b"TAVL.exe"), 15), "nothing runs")

        # The release into a folder without the program: the install succeeds and the guard runs.
        empty = r"C:\Guard Test\No Program"
        self.assertEqual(msiexec("/i", r"C:\release.msi", "/qn", "INSTALLDIR=" + empty + "\\"), 0)
        self.assertTrue(wait_for(lambda: P.service_state() == 4, 20), "RUNNING without the program")
        self.assert_registered(P, empty)
        self.assertEqual(msiexec("/x", r"C:\release.msi", "/qn"), 0)
        self.assertIsNone(P.service_state())

    def test_4_a_release_rises_over_the_last_in_its_first_three_fields(self):
        build = os.path.join(ARGS.work, "refused")

        def refused(**env):
            out = subprocess.run(["bash", os.path.join(self.clones[0], "scripts", "package.sh")],
                                 env=dict(os.environ, ZUNA_PACKAGE_BUILD=build, ZUNA_DIST=os.path.join(build, "dist"), **env),
                                 capture_output=True, text=True, timeout=900)
            self.assertNotEqual(out.returncode, 0, env)
            self.assertFalse(os.path.exists(os.path.join(build, "dist")), "nothing is written")
            return out.stderr

        self.assertIn("'1.0' is not three or four numbers", refused(ZUNA_VERSION="1.0"))
        self.assertIn("'1.0.1.x' is not three or four numbers", refused(ZUNA_VERSION="1.0.1.x"))
        self.assertIn("out of range", refused(ZUNA_VERSION="256.0.1"))
        # Windows Installer ignores a fourth field.
        self.assertIn("version 0.9.9.7 does not rise over 0.9.9 (ZUNA_PREVIOUS_VERSION)",
                      refused(ZUNA_VERSION="0.9.9.7", ZUNA_PREVIOUS_VERSION="0.9.9"))
        # Without ZUNA_PREVIOUS_VERSION, the highest release tag before this commit is the previous release.
        subprocess.run(["git", "-C", self.clones[0], "tag", "v0.1.0", "HEAD^"], check=True, timeout=60)
        subprocess.run(["git", "-C", self.clones[0], "tag", "v" + self.release, "HEAD^"], check=True, timeout=60)
        self.assertIn("version %s does not rise over %s (tag v%s)" % ((self.release,) * 3), refused())

    def test_5_the_tables_hold_what_windows_installer_reads(self):
        msi = os.path.join(self.dists[0], self.msi)
        files = {row[0]: row for row in table(msi, "File")}
        # A versioned file: Windows Installer compares versions, not dates and hashes, in repairs and upgrades.
        self.assertEqual(files["TAVL.exe"][4], self.version)
        self.assertTrue(int(files["TAVL.exe"][6]) & 0x200, "msidbFileAttributesVital")
        self.assertNotIn("TAVL.exe", [row[0] for row in table(msi, "MsiFileHash")], "hashes are for unversioned files")
        # A managed install passes only secure public properties to the part that runs as SYSTEM.
        properties = dict(row[:2] for row in table(msi, "Property"))
        secure = properties["SecureCustomProperties"].split(";")
        remembered = {row[0] for row in table(msi, "AppSearch")} | {row[6] for row in table(msi, "Upgrade")}
        self.assertLessEqual(remembered | {"INSTALLDIR"}, set(secure), secure)
        self.assertIn("SAVEDINSTALLDIR", remembered)
        # No program or script runs as a custom action: the only ones set a property or a folder.
        actions = table(msi, "CustomAction")
        self.assertEqual([row[0] for row in actions if int(row[1]) & 0x3F not in (35, 51)], [], actions)
        # "#%" in the Registry table's Value column makes a REG_EXPAND_SZ, as an event source's message file is.
        registry = {row[3]: row[4] for row in table(msi, "Registry")}
        self.assertEqual(registry["EventMessageFile"], "#%[#TAVL.exe]")
        # The old version's removal comes right after InstallInitialize, inside the
        # transaction, so a failed upgrade rolls back to it (Wine's installer rolls
        # no standard action back, so only the table can show it here).
        sequence = sorted((int(row[2]), row[0]) for row in table(msi, "InstallExecuteSequence"))
        names = [name for _, name in sequence]
        self.assertEqual(names[names.index("InstallInitialize") + 1], "RemoveExistingProducts", sequence)


if __name__ == "__main__":
    run_suite("package", ["root", "standin", "work"])
