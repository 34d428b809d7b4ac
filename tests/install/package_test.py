"""The Debian package, installed into a throw-away root with `dpkg -x` and run
from there: CPack's DEB generator on the already-built tree (not a second build:
scripts/package.sh does the same from build-package/), then the installed
command checks a message and reports, with `doctor`, the module it loaded from
ROOT/usr/lib/postwarden, never from the build folder; lintian finds no error or
warning in the package.

    package_test.py --build BUILD --source SOURCE [unittest arguments]

Prints the package's size and how long CPack took."""

import argparse
import glob
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

BUILD = None
SOURCE = None


def run(args, **kwargs):
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "POSTWARDEN_HOME", "POSTWARDEN_ANSWERS",
                 "POSTWARDEN_SENDMAIL"):
        env.pop(name, None)
    env.update(kwargs.pop("env", {}))
    # A group of its own, so that a run that overstays takes its children
    # (cpack's install step, say) with it.
    process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               env=env, stdin=subprocess.DEVNULL, start_new_session=True)
    try:
        out, err = process.communicate(timeout=120)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        raise
    return subprocess.CompletedProcess(args, process.returncode, out, err)


class InstalledPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="pw-package-")
        out = os.path.join(cls.tmp, "out")
        start = time.monotonic()
        made = run(["cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"),
                    "-B", out])
        seconds = time.monotonic() - start
        if made.returncode != 0:
            raise RuntimeError("cpack failed:\n" + made.stdout + made.stderr)
        debs = glob.glob(os.path.join(out, "postwarden_*.deb"))
        if len(debs) != 1:
            raise RuntimeError("cpack made %r" % debs)
        cls.deb = debs[0]
        print("%s: %d bytes, made in %.1f s" % (os.path.basename(cls.deb),
                                                os.path.getsize(cls.deb), seconds))
        cls.root = os.path.join(cls.tmp, "root")
        unpacked = run(["dpkg", "-x", cls.deb, cls.root])
        if unpacked.returncode != 0:
            raise RuntimeError("dpkg -x failed: " + unpacked.stderr)
        cls.program = os.path.join(cls.root, "usr/bin/postwarden")
        cls.library_folder = os.path.join(cls.root, "usr/lib/postwarden")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.home = tempfile.mkdtemp(dir=self.tmp)

    def postwarden(self, *args, env=None):
        return run([self.program, "--home", self.home] + list(args), env=env or {})

    def test_depends_names_the_runtime_libraries(self):
        depends = run(["dpkg-deb", "-f", self.deb, "Depends"]).stdout
        packages = {entry.split()[0] for entry in depends.replace("|", ",").split(",")
                    if entry.strip()}
        # SQLite and pugixml are linked in, so the package needs neither.
        for wanted in ("libc6", "libstdc++6", "libqt6widgets6", "libgmime-3.0-0", "libcurl4",
                       "libssl3"):
            self.assertIn(wanted, packages, depends)
        self.assertTrue(any(p.startswith("libicu") for p in packages), depends)

    def test_debian_finds_no_fault_in_the_package(self):
        # lintian: a copyright file, a changelog, a real maintainer address, no
        # ldconfig for libraries in a private folder. Its notes (I:) stand.
        if not shutil.which("lintian"):
            self.skipTest("lintian is not installed (scripts/setup.sh installs it)")
        checked = run(["lintian", "--fail-on", "error,warning", self.deb])
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)

    def test_the_files_stand_where_the_command_looks(self):
        for path in ("usr/bin/postwarden",
                     "usr/lib/postwarden/libpostwarden-module.so",
                     "usr/lib/postwarden/libpostwarden-qt.so",
                     "usr/lib/postwarden/libpostwarden-mime.so",
                     "usr/lib/postwarden/postwarden-thunderbird-host",
                     "usr/share/postwarden/postwarden-thunderbird.xpi",
                     "usr/share/man/man1/postwarden.1.gz",
                     "usr/share/bash-completion/completions/postwarden"):
            self.assertTrue(os.path.isfile(os.path.join(self.root, path)), path)
        self.assertFalse(os.path.exists(os.path.join(self.root, "usr/bin/libpostwarden-module.so")))

    def test_the_milter_service_runs_the_installed_command(self):
        unit = os.path.join(self.root, "usr/lib/systemd/system/postwarden-milter.service")
        with open(unit) as f:
            lines = dict(line.strip().split("=", 1) for line in f if "=" in line)
        command = lines["ExecStart"].split()
        self.assertTrue(os.path.isfile(os.path.join(self.root, command[0].lstrip("/"))), command)
        self.assertIn("milter", command)
        self.assertEqual(lines["StateDirectory"], "postwarden")
        self.assertIn("/var/lib/postwarden", command)
        # Its socket is in the folder made for it, which it may write.
        listen = command[command.index("--listen") + 1]
        self.assertTrue(listen.startswith("unix:/var/spool/postfix/postwarden/"), listen)
        self.assertIn("/var/spool/postfix/postwarden", lines["ExecStartPre"])
        self.assertEqual(lines["ReadWritePaths"], "/var/spool/postfix/postwarden")
        self.assertEqual(lines["User"], "postwarden")
        postinst = run(["dpkg-deb", "-I", self.deb, "postinst"]).stdout
        self.assertIn("systemd-sysusers postwarden.conf", postinst)

    def test_systemd_takes_the_unit_and_makes_its_user(self):
        # systemd's own reading of the unit: an unknown key, a bad value or a
        # missing section is a complaint. Its command is not installed on this
        # machine, so that is the one complaint there may be, for a program
        # the package holds.
        unit = os.path.join(self.root, "usr/lib/systemd/system/postwarden-milter.service")
        verified = run(["systemd-analyze", "verify", "--man=no", unit])
        for line in (verified.stdout + verified.stderr).splitlines():
            missing = re.fullmatch(r"postwarden-milter\.service: Command (\S+) is not "
                                   r"executable: No such file or directory", line)
            self.assertTrue(missing, verified.stdout + verified.stderr)
            self.assertTrue(os.path.isfile(os.path.join(self.root, missing[1].lstrip("/"))), line)
        # The user the unit runs as, made from the package's sysusers file by
        # systemd-sysusers into the throw-away root, as the postinst makes it.
        os.makedirs(os.path.join(self.root, "etc"), exist_ok=True)
        made = run(["systemd-sysusers", "--root", self.root, "postwarden.conf"])
        self.assertEqual(made.returncode, 0, made.stderr)
        with open(os.path.join(self.root, "etc/passwd")) as f:
            (user,) = [line.strip().split(":") for line in f if line.startswith("postwarden:")]
        self.assertEqual(user[5:], ["/var/lib/postwarden", "/usr/sbin/nologin"])
        self.assertLess(int(user[2]), 1000, "a system user")
        dry = run([self.program, "milter", "--help"], env={})
        self.assertEqual(dry.returncode, 0, dry.stderr)
        self.assertIn("--listen", dry.stdout)

    def test_check_runs_the_installed_module(self):
        sample = os.path.join(SOURCE, "samples/hello.eml")
        yes = self.postwarden("check", "--answers", "yes", sample)
        self.assertEqual(yes.returncode, 0, yes.stderr)
        # A fresh home asks before every send: a No holds it, so the rules ran.
        no = self.postwarden("check", "--answers", "no", sample)
        self.assertEqual(no.returncode, 1, no.stderr)
        log = self.postwarden("log")
        self.assertIn("Send: yes", log.stdout)
        self.assertIn("Send: no", log.stdout)

    def test_windows_come_from_the_installed_plugin(self):
        pictures = tempfile.mkdtemp(dir=self.tmp)
        forms = self.postwarden("forms", "--png", pictures, env={"QT_QPA_PLATFORM": "offscreen"})
        self.assertEqual(forms.returncode, 0, forms.stderr)
        drawn = [name for name in os.listdir(pictures) if name.endswith(".png")]
        self.assertGreaterEqual(len(drawn), 10, drawn)

    def test_doctor_names_the_installed_module(self):
        self.assertEqual(self.postwarden("check", "--answers", "yes",
                                         os.path.join(SOURCE, "samples/hello.eml")).returncode, 0)
        doctor = self.postwarden("doctor", "--answers", "yes", "--sendmail", "/bin/true")
        self.assertEqual(doctor.returncode, 0, doctor.stdout + doctor.stderr)
        module = [line for line in doctor.stdout.splitlines() if "module:" in line]
        self.assertEqual(len(module), 1, doctor.stdout)
        expected = os.path.join(self.library_folder, "libpostwarden-module.so") + " (installed)"
        self.assertIn("ok      module: " + expected, module[0])
        self.assertNotIn(BUILD, doctor.stdout)

    def test_without_the_module_nothing_is_sent(self):
        moved = os.path.join(self.tmp, "moved.so")
        installed = os.path.join(self.library_folder, "libpostwarden-module.so")
        os.rename(installed, moved)
        try:
            check = self.postwarden("check", "--answers", "yes",
                                    os.path.join(SOURCE, "samples/hello.eml"))
        finally:
            os.rename(moved, installed)
        self.assertEqual(check.returncode, 69, check.stderr)
        self.assertIn(os.path.join(self.root, "usr/bin") + " or " + self.library_folder,
                      check.stderr)

    def test_thunderbird_install_names_the_installed_host(self):
        user = os.path.join(self.tmp, "user")
        profile = os.path.join(user, "profile")
        os.makedirs(profile)
        done = self.postwarden("thunderbird", "install", "--profile", profile,
                               env={"HOME": user})
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(os.path.join(user, ".mozilla/native-messaging-hosts/postwarden.json")) as f:
            manifest = json.load(f)
        self.assertEqual(manifest["path"],
                         os.path.join(self.library_folder, "postwarden-thunderbird-host"))
        with open(os.path.join(self.root, "usr/share/postwarden/postwarden-thunderbird.xpi"),
                  "rb") as shipped, \
                open(os.path.join(profile, "extensions/postwarden@postwarden.xpi"), "rb") as copy:
            self.assertEqual(shipped.read(), copy.read())

    def test_the_installed_manual_page_reads_without_warnings(self):
        page = os.path.join(self.root, "usr/share/man/man1/postwarden.1.gz")
        shown = run(["man", "--warnings", "-l", page], env={"MANWIDTH": "80"})
        self.assertEqual(shown.returncode, 0, shown.stderr)
        self.assertEqual(shown.stderr, "")
        self.assertIn("set sendmail_wait=0", shown.stdout)

    def test_the_installed_completion_completes(self):
        script = os.path.join(self.root, "usr/share/bash-completion/completions/postwarden")
        shown = run(["bash", "--norc", "--noprofile", "-c",
                     'source "$0"; complete -p postwarden; COMP_WORDS=(postwarden do); '
                     'COMP_CWORD=1; _postwarden; echo "${COMPREPLY[*]}"', script])
        self.assertEqual(shown.returncode, 0, shown.stderr)
        self.assertEqual(shown.stdout, "complete -F _postwarden postwarden\ndoctor\n")


def main():
    global BUILD, SOURCE
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    args, rest = parser.parse_known_args()
    BUILD = os.path.abspath(args.build)
    SOURCE = os.path.abspath(args.source)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
