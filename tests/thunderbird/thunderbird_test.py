"""The Postwarden add-on in a real Thunderbird, under Xvfb.

One throw-away folder holds the HOME Thunderbird sees, with profiles made by
Thunderbird itself (`thunderbird -CreateProfile`, listed in
~/.thunderbird/profiles.ini) and given only what a new user sets up (user.js: a
local account whose identity sends through an SMTP sink on 127.0.0.1), the
postwarden home and a test-only second add-on, the driver. The driver composes
and sends what the test tells it (compose.beginNew, compose.sendMessage) and
reports back through a native host of its own, a small program that passes each
message on to this script over a Unix socket. The Postwarden add-on is put in
place by `postwarden thunderbird install --profile`, exactly as the README
tells a person; no add-on preference is set by hand. The driver, dropped into
the same profile, runs only because that install lets add-ons in the profile
start enabled.

Each scenario starts Thunderbird with the environment it needs
(POSTWARDEN_ANSWERS, or none for a real window) and has the driver close every
window afterwards, so that Thunderbird quits as it does for a person: a
Thunderbird killed instead dies on the spot, in the middle of whatever it is
writing into the profile, and the next start on that profile can crash or come
up without its add-ons. Every wait has a deadline.

Run as root, the whole test runs in a mount namespace of its own, with
/etc/thunderbird and /usr/lib overlaid by throw-away folders: there `install
--system` writes Thunderbird's enterprise policies and the system manifest, and
nothing of it reaches the machine. Elsewhere that scenario is skipped.

    thunderbird_test.py --postwarden BUILD/postwarden [unittest args]
    thunderbird_test.py --postwarden BUILD/postwarden --measure 10
    thunderbird_test.py --postwarden BUILD/postwarden --screenshots DIR
        (form.png, notice.png, disabled.png)

--measure N sends N messages answered by a click in the window and prints the
median time from the send to the window and from the click to the message
reaching the sink; nothing is asserted about speed.
"""

import argparse
import asyncio
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zipfile

SKIP_STATUS = 77
POSTWARDEN = None
SCREENSHOTS = None  # a folder to save the screen into when a window of ours shows
DEADLINE = 60.0

DRIVER_ID = "driver@postwarden.test"
DRIVER_HOST = "postwarden_test_driver"

# The driver add-on: takes a job, composes it, sends it, and reports.
DRIVER_MANIFEST = {
    "manifest_version": 3,
    "name": "Postwarden test driver",
    "version": "1.0",
    "browser_specific_settings": {"gecko": {"id": DRIVER_ID}},
    "background": {"scripts": ["driver.js"]},
    "permissions": ["compose", "compose.send", "nativeMessaging", "addressBooks", "management"],
}
DRIVER_SCRIPT = """
"use strict";
const ask = (message) => messenger.runtime.sendNativeMessage("%s", message);
async function run() {
  for (;;) {
    const job = await ask({ type: "next" });
    if (job && job.type === "quit") {
      // Closing the last window quits Thunderbird the way a person does. The
      // main window is listed only once Thunderbird has finished setting it
      // up, which may be after the driver started.
      for (;;) {
        for (const window of await messenger.windows.getAll()) {
          await messenger.windows.remove(window.id).catch(() => {});
        }
        await new Promise((resolve) => setTimeout(resolve, 200));
      }
    }
    if (job && job.type === "disable") {
      let error = "";
      try {
        await messenger.management.setEnabled(job.id, false);
      } catch (e) {
        error = String(e.message || e);
      }
      await ask({ type: "result", error });
      continue;
    }
    if (!job || job.type !== "compose") return;
    for (const [name, members] of Object.entries(job.lists)) {
      const books = messenger.addressBooks;
      const [book] = await books.list();
      const list = await books.mailingLists.create(book.id, { name });
      for (const address of members) {
        const vCard = `BEGIN:VCARD\r\nVERSION:4.0\r\nEMAIL:${address}\r\nEND:VCARD\r\n`;
        await books.mailingLists.addMember(list, await books.contacts.create(book.id, vCard));
      }
    }
    const tab = await messenger.compose.beginNew(job.details);
    for (const name of job.attachments) {
      await messenger.compose.addAttachment(tab.id, { file: new File(["attached"], name) });
    }
    await ask({ type: "ready" });
    let result;
    try {
      await messenger.compose.sendMessage(tab.id);
      result = { sent: true };
    } catch (error) {
      const after = await messenger.compose.getComposeDetails(tab.id);
      result = { sent: false, error: String(error.message || error), after };
    }
    await ask({ type: "result", ...result });
  }
}
run().catch((error) => ask({ type: "failed", error: String(error) }));
""" % DRIVER_HOST

# The driver's native host: one message in, passed to the test, its reply out.
DRIVER_PROGRAM = """#!/usr/bin/python3
import os, socket, struct, sys
(length,) = struct.unpack("=I", sys.stdin.buffer.read(4))
request = sys.stdin.buffer.read(length)
with socket.socket(socket.AF_UNIX) as s:
    s.connect(os.environ["PW_TB_DRIVER"])
    s.sendall(request + b"\\n")
    reply = s.makefile("rb").readline().strip()
sys.stdout.buffer.write(struct.pack("=I", len(reply)) + reply)
sys.stdout.buffer.flush()
"""

# What a new user sets up in the account wizard, and no more.
USER_JS = """
user_pref("mail.shell.checkDefaultClient", false);
user_pref("mail.compose.attachment_reminder", false);
user_pref("mailnews.start_page.enabled", false);
user_pref("mail.rights.version", 1);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("app.update.auto", false);
user_pref("mail.accountmanager.accounts", "account1");
user_pref("mail.accountmanager.defaultaccount", "account1");
user_pref("mail.accountmanager.localfoldersserver", "server1");
user_pref("mail.account.account1.server", "server1");
user_pref("mail.account.account1.identities", "id1");
user_pref("mail.server.server1.type", "none");
user_pref("mail.server.server1.hostname", "Local Folders");
user_pref("mail.server.server1.userName", "nobody");
user_pref("mail.server.server1.name", "Local Folders");
user_pref("mail.identity.id1.fullName", "Me");
user_pref("mail.identity.id1.useremail", "me@corp.example");
user_pref("mail.identity.id1.smtpServer", "smtp1");
user_pref("mail.identity.id1.fcc", false);
user_pref("mail.identity.id1.compose_html", false);
user_pref("mail.smtpservers", "smtp1");
user_pref("mail.smtp.defaultserver", "smtp1");
user_pref("mail.smtpserver.smtp1.hostname", "127.0.0.1");
user_pref("mail.smtpserver.smtp1.port", %d);
user_pref("mail.smtpserver.smtp1.authMethod", 1);
user_pref("mail.smtpserver.smtp1.try_ssl", 0);
user_pref("mail.smtpserver.smtp1.username", "");
"""

# The confirmation window's caption and its Yes and No buttons' centres in
# window pixels (the form's design in twips, 15 to a pixel).
FORM_CAPTION = "Post Warden"
# The add-on's window for a send it held (integrations/thunderbird/notice.html).
NOTICE_CAPTION = "Postwarden: not sent"
ADDON_ID = "postwarden@postwarden"
SYSTEM_MANIFEST = "/usr/lib/mozilla/native-messaging-hosts/postwarden.json"
SYSTEM_POLICIES = "/etc/thunderbird/policies/policies.json"
NOBODY = 65534
YES_BUTTON = ((555 + 1320 // 2) // 15, (1515 + 375 // 2) // 15)
NO_BUTTON = ((2160 + 1320 // 2) // 15, (1515 + 375 // 2) // 15)
# The design's height in pixels; the window grows by the details shown above
# the buttons, which move down by as much.
FORM_HEIGHT = (2190 + 7) // 15
# The countdown's Send now button, in the window's pixels.
SEND_NOW_BUTTON = ((555 + 1320 // 2) // 15, (825 + 375 // 2) // 15)


def wait_for(condition, what, deadline=DEADLINE, interval=0.02):
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(interval)
    raise AssertionError("gave up waiting for " + what)


class Sink:
    """An SMTP server on loopback that keeps every message it is given."""

    def __init__(self):
        from aiosmtpd.controller import Controller

        self.messages = []
        self.arrived = []  # time.monotonic() of each message
        sink = self

        class Handler:
            async def handle_DATA(self, server, session, envelope):
                sink.arrived.append(time.monotonic())
                sink.messages.append((envelope.rcpt_tos, envelope.content))
                return "250 OK"

        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.controller = Controller(Handler(), hostname="127.0.0.1", port=self.port)
        self.controller.start()

    def close(self):
        self.controller.stop()


class Driver:
    """The test's end of the driver add-on's native host."""

    def __init__(self, path):
        self.path = path
        self.server = socket.socket(socket.AF_UNIX)
        self.server.bind(path)
        self.server.listen(4)
        self.server.settimeout(1)

    def receive(self, deadline=DEADLINE, still_coming=None):
        """The driver's next message, and the connection to reply on.
        `still_coming`, called every second while nothing comes, raises when
        nothing will (Thunderbird gone, the driver disabled)."""
        end = time.monotonic() + deadline
        while True:
            try:
                connection, _ = self.server.accept()
                break
            except TimeoutError:
                if time.monotonic() > end:
                    raise AssertionError("no word from the driver in %d s" % deadline)
                if still_coming:
                    still_coming()
        connection.settimeout(DEADLINE)
        line = connection.makefile("rb").readline()
        return json.loads(line), connection

    @staticmethod
    def reply(connection, message):
        connection.sendall(json.dumps(message).encode() + b"\n")
        connection.close()

    def expect(self, kind, still_coming=None):
        message, connection = self.receive(still_coming=still_coming)
        if message.get("type") != kind:
            self.reply(connection, {"type": "stop"})
            raise AssertionError("the driver said %r, not %s" % (message, kind))
        return message, connection

    def close(self):
        self.server.close()


def addon_state(profile, addon_id):
    """The add-on's record in the profile's extensions.json, as Thunderbird
    wrote it; None when Thunderbird has not recorded it (yet)."""
    try:
        with open(os.path.join(profile, "extensions.json"), encoding="utf-8") as f:
            addons = json.load(f)["addons"]
    except (OSError, ValueError, KeyError):
        return None
    return next((a for a in addons if a.get("id") == addon_id), None)


def private_mounts(root):
    """In the mount namespace this test runs in as root: /etc/thunderbird and
    /usr/lib overlaid with folders under `root`, so that the system's policies
    and manifest folders can be written; False when that cannot be done."""
    # The variable names the namespace the test was started in.
    if os.environ.get("PW_TB_NAMESPACE", "") in ("", os.readlink("/proc/self/ns/mnt")):
        return False
    for target in ("/etc/thunderbird", "/usr/lib"):
        name = target.strip("/").replace("/", "-")
        upper, work = os.path.join(root, "upper-" + name), os.path.join(root, "work-" + name)
        os.makedirs(upper)
        os.makedirs(work)
        mounted = subprocess.run(
            ["mount", "-t", "overlay", "overlay", "-o",
             "lowerdir=%s,upperdir=%s,workdir=%s" % (target, upper, work), target],
            capture_output=True)
        if mounted.returncode != 0:
            return False
    # A machine with Postwarden installed for every user would answer for the
    # add-on's host here; in the overlays only, the test starts without it.
    for installed in (SYSTEM_MANIFEST, SYSTEM_POLICIES):
        if os.path.exists(installed):
            os.remove(installed)
    return True


class ThunderbirdTest(unittest.TestCase):
    # What setUpClass starts is stopped by class cleanups, which run also when
    # it fails half-way.
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="pw-thunderbird-")
        cls.addClassCleanup(cls.remove_root)
        cls.home = os.path.join(cls.root, "home")
        cls.pw_home = os.path.join(cls.root, "postwarden")
        for folder in (cls.home, cls.pw_home, os.path.join(cls.root, "tmp")):
            os.makedirs(folder)
        cls.system = private_mounts(cls.root)
        # Xvfb picks a free display number and writes it to the pipe.
        readable, writable = os.pipe()
        cls.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(writable), "-screen", "0", "1280x800x24",
             "-nolisten", "tcp"],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            pass_fds=(writable,),
        )
        cls.addClassCleanup(cls.xvfb.wait, 10)
        cls.addClassCleanup(cls.xvfb.terminate)
        os.close(writable)
        with os.fdopen(readable) as numbers:
            cls.display = ":" + numbers.readline().strip()
        if cls.display == ":":
            raise AssertionError("Xvfb did not start")
        cls.sink = Sink()  # before Thunderbird: a refused connection never ends its send
        cls.addClassCleanup(cls.sink.close)
        cls.driver = Driver(os.path.join(cls.root, "driver.sock"))
        cls.addClassCleanup(cls.driver.close)
        cls.make_driver()
        cls.profile = cls.new_profile("main")
        shutil.copy(cls.driver_xpi, os.path.join(cls.profile, "extensions", DRIVER_ID + ".xpi"))
        # As the README says, and nothing else; run as root, by another user
        # who owns the HOME for the while: a person's install needs no root.
        # (Thunderbird refuses to run as root in a HOME root does not own.)
        os.chmod(cls.root, 0o755)
        cls.own_home(NOBODY)
        cls.postwarden("thunderbird", "install", "--profile", cls.profile, as_user=True)
        cls.own_home(os.geteuid())

    @classmethod
    def remove_root(cls):
        if os.environ.get("PW_KEEP"):
            print("kept " + cls.root)
        else:
            shutil.rmtree(cls.root, ignore_errors=True)

    @classmethod
    def environment(cls, **extra):
        env = {
            "HOME": cls.home,
            "PATH": "/usr/local/bin:/usr/bin:/bin",
            "LANG": "C.UTF-8",
            "TMPDIR": os.path.join(cls.root, "tmp"),
            "DISPLAY": cls.display,
            "POSTWARDEN_HOME": cls.pw_home,
            "PW_TB_DRIVER": cls.driver.path,
        }
        env.update(extra)
        return env

    @classmethod
    def own_home(cls, user):
        if os.geteuid() == 0:
            for folder, _, files in os.walk(cls.home):
                for path in [folder] + [os.path.join(folder, f) for f in files]:
                    os.chown(path, user, user)

    @classmethod
    def run_postwarden(cls, *args, as_user=False):
        user = ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"]
        return subprocess.run(
            (user if as_user and os.geteuid() == 0 else []) + [POSTWARDEN, *args],
            env=cls.environment(),
            stdin=subprocess.DEVNULL,
            capture_output=True,
            text=True,
            timeout=30,
        )

    @classmethod
    def postwarden(cls, *args, as_user=False):
        result = cls.run_postwarden(*args, as_user=as_user)
        if result.returncode != 0:
            raise AssertionError("postwarden %s: %s" % (" ".join(args), result.stderr))
        return result.stdout

    @classmethod
    def new_profile(cls, name):
        """A profile Thunderbird makes and lists in profiles.ini, with a new
        user's account in it."""
        path = os.path.join(cls.home, ".thunderbird", name)
        subprocess.run(["thunderbird", "--headless", "-CreateProfile", name + " " + path],
                       env=cls.environment(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True,
                       timeout=60)
        os.makedirs(os.path.join(path, "extensions"))
        with open(os.path.join(path, "user.js"), "w") as f:
            f.write(USER_JS % cls.sink.port)
        return path

    @classmethod
    def make_driver(cls):
        program = os.path.join(cls.root, "driver-host")
        with open(program, "w") as f:
            f.write(DRIVER_PROGRAM)
        os.chmod(program, 0o755)
        hosts = os.path.join(cls.home, ".mozilla", "native-messaging-hosts")
        os.makedirs(hosts, exist_ok=True)
        with open(os.path.join(hosts, DRIVER_HOST + ".json"), "w") as f:
            json.dump(
                {"name": DRIVER_HOST, "description": "test driver", "path": program,
                 "type": "stdio", "allowed_extensions": [DRIVER_ID]},
                f,
            )
        cls.driver_xpi = os.path.join(cls.root, DRIVER_ID + ".xpi")
        with zipfile.ZipFile(cls.driver_xpi, "w") as xpi:
            xpi.writestr("manifest.json", json.dumps(DRIVER_MANIFEST))
            xpi.writestr("driver.js", DRIVER_SCRIPT)

    def settings(self, **values):
        # The home is the class's: what one test switched on is switched off
        # again for the next, unless it asks for it.
        values = {"PromptForOutsideDomainsWanted": 0, "PromptForAnySendWanted": 0,
                  "PromptForManyOrganisationsWanted": 0, "PromptForMissingAttachmentWanted": 0,
                  "PromptForNewRecipientsWanted": 0, "SendDelaySeconds": 0, **values}
        for key, value in values.items():
            self.postwarden("settings", "set", key, str(value))

    def doctor_lines(self):
        """doctor's Thunderbird lines by profile folder: (ok, the rest)."""
        out = self.run_postwarden("doctor", "--answers", "yes").stdout
        lines = {}
        for line in out.splitlines():
            status, _, rest = line.partition(" thunderbird: ")
            if rest:
                folder, _, said = rest.partition(": ")
                lines[folder] = (status.strip() == "ok", said)
        return lines

    # One Thunderbird for the length of a `with` block, quit by the driver.
    class Running:
        def __init__(self, test, profile=None, driven=True, **env):
            self.test = test
            self.profile = profile or test.profile
            self.driven = driven
            self.env = test.environment(**env)

        def __enter__(self):
            self.test.running = self
            self.log = open(os.path.join(self.test.root, "thunderbird.log"), "ab")
            self.process = subprocess.Popen(
                ["timeout", "180", "thunderbird", "--no-remote", "-profile", self.profile],
                env=self.env,
                stdin=subprocess.DEVNULL,
                stdout=self.log,
                stderr=self.log,
                start_new_session=True,
            )
            return self

        def still_coming(self):
            """Raises when the driver will not speak: Thunderbird is gone, or
            it recorded the driver disabled."""
            if self.process.poll() is not None:
                raise AssertionError("Thunderbird ended (%d) before the driver spoke"
                                     % self.process.returncode)
            driver = addon_state(self.profile, DRIVER_ID)
            if driver is not None and driver.get("userDisabled"):
                ours = addon_state(self.profile, ADDON_ID) or {}
                raise AssertionError("Thunderbird started the add-ons in %s disabled: %s" % (
                    self.profile, [{key: a.get(key) for key in ("id", "active", "userDisabled")}
                                   for a in (driver, ours)]))

        def __exit__(self, *exc):
            if self.driven and not exc[0]:
                message, connection = self.test.driver.receive(still_coming=self.still_coming)
                Driver.reply(connection, {"type": "quit"})
                try:
                    self.process.wait(DEADLINE)
                except subprocess.TimeoutExpired:
                    pass
            if self.process.poll() is None:
                os.killpg(self.process.pid, 15)
                try:
                    self.process.wait(15)
                except subprocess.TimeoutExpired:
                    os.killpg(self.process.pid, 9)
                    self.process.wait()
                # Its other processes outlive it a moment; the next Thunderbird
                # starts when they are gone.
                def gone():
                    try:
                        os.killpg(self.process.pid, 0)
                    except ProcessLookupError:
                        return True
                    return False
                try:
                    wait_for(gone, "Thunderbird's processes to end", deadline=10)
                except AssertionError:
                    pass
            if exc[0]:
                # A host whose question was never answered outlives the
                # Thunderbird that started it: its window would stand in the
                # next test's way.
                subprocess.run(["pkill", "-f", "postwarden-thunderbird-host"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.log.close()

    def send(self, details, attachments=(), on_ready=None, lists=None):
        """Has the driver compose and send one message; returns its report.
        `on_ready` runs once the message is composed and about to be sent;
        `lists` are address-book mailing lists to make first (name: addresses)."""
        _, connection = self.driver.expect("next", self.running.still_coming)
        Driver.reply(connection, {"type": "compose", "details": details,
                                  "attachments": list(attachments), "lists": lists or {}})
        _, connection = self.driver.expect("ready")
        Driver.reply(connection, {"type": "go"})
        sent_at = time.monotonic()
        if on_ready:
            on_ready(sent_at)
        result, connection = self.driver.expect("result")
        Driver.reply(connection, {})
        return result

    def delivered(self, since):
        return self.sink.messages[since:]

    def log_records(self):
        path = os.path.join(self.pw_home, "postwarden.log")
        with open(path, encoding="utf-8") as f:
            return [line.split("\t")[5].rstrip("\n") for line in f if "\tSend: " in line]

    # --- the scenarios -------------------------------------------------------

    def test_scripted_answers(self):
        # watched.example is the company's, and on the watch-list.
        self.settings(PromptForOutsideDomainsWanted=1,
                      ListOfOutsideDomains="corp.example;watched.example",
                      PromptForKeywordsWanted=1, ListOfKeywords="projectx",
                      PromptForEmailAddressesDomainsWanted=1,
                      ListOfEmailAddressesDomains="watched.example")
        clean = {"to": ["Ann <ann@corp.example>"], "cc": ["bob@corp.example"],
                 "subject": "Lunch at noon", "isPlainText": True,
                 "plainTextBody": "Shall we meet at noon?\n"}
        keyword = {"to": ["ann@corp.example"], "subject": "About ProjectX",
                   "isPlainText": True, "plainTextBody": "Numbers attached.\n"}
        hidden = {"to": ["ann@corp.example"], "bcc": ["spy@outside.example"],
                  "subject": "Team news", "isPlainText": True, "plainTextBody": "News.\n"}

        with self.Running(self, POSTWARDEN_ANSWERS="no"):
            first = len(self.sink.messages)
            result = self.send(clean, attachments=["agenda.txt"])
            self.assertTrue(result["sent"], result)
            self.assertEqual(len(self.delivered(first)), 1)
            recipients, content = self.delivered(first)[0]
            self.assertEqual(sorted(recipients), ["ann@corp.example", "bob@corp.example"])
            text = content.decode("utf-8", "replace")
            self.assertIn("Subject: Lunch at noon", text)
            self.assertIn("Shall we meet at noon?", text)
            self.assertIn('filename="agenda.txt"', text)

            before = len(self.sink.messages)
            result = self.send(keyword)
            self.assertFalse(result["sent"], result)
            self.assertIn("onBeforeSend", result["error"])
            self.assertEqual(result["after"]["subject"], keyword["subject"])
            self.assertEqual(result["after"]["to"], keyword["to"])
            self.assertIn("Numbers attached.", result["after"]["plainTextBody"])

            result = self.send(hidden)
            self.assertFalse(result["sent"], result)

            # Thunderbird puts a list's members in after the add-on has asked.
            result = self.send({"to": ["team <team>"], "subject": "For the team",
                                "isPlainText": True, "plainTextBody": "Hello all.\n"},
                               lists={"team": ["ann@corp.example", "eve@watched.example"]})
            self.assertFalse(result["sent"], result)
            self.assertEqual(self.delivered(before), [])

        with self.Running(self, POSTWARDEN_ANSWERS="yes"):
            before = len(self.sink.messages)
            result = self.send(keyword)
            self.assertTrue(result["sent"], result)
            self.assertEqual(len(self.delivered(before)), 1)

        records = self.log_records()
        self.assertTrue(records[-2].startswith(
            "Send: no; rules fired: Email Addresses Domains; recipients: 2;"), records)
        del records[-2]
        self.assertTrue(records[-4].startswith("Send: nothing to ask;"), records)
        self.assertTrue(records[-3].startswith("Send: no; rules fired: Keywords;"), records)
        self.assertTrue(records[-2].startswith("Send: no; rules fired: Outside Domains;"), records)
        self.assertTrue(records[-1].startswith("Send: yes; rules fired: Keywords;"), records)
        # doctor, from what Thunderbird recorded, agrees.
        enabled, said = self.doctor_lines()[self.profile]
        self.assertTrue(enabled, said)
        self.assertIn("is enabled; its host", said)

    def test_an_addon_left_disabled_is_reported(self):
        # An add-on put into a profile by hand, or by an install that did not
        # let the profile start it enabled: Thunderbird records it switched
        # off and only puts a badge on its menu.
        profile = self.new_profile("by-hand")
        shutil.copy(os.path.join(os.path.dirname(POSTWARDEN), "postwarden-thunderbird.xpi"),
                    os.path.join(profile, "extensions", ADDON_ID + ".xpi"))
        with self.Running(self, profile, driven=False):
            recorded = wait_for(lambda: addon_state(profile, ADDON_ID), "the add-on's record")
            if SCREENSHOTS:
                wait_for(lambda: self.window(".*Mozilla Thunderbird"), "the main window")
                time.sleep(2)
                self.save_screen(self.screenshot("disabled"))
        self.assertFalse(recorded["active"], recorded)
        enabled, said = self.doctor_lines()[profile]
        self.assertFalse(enabled, said)
        self.assertIn("sends from this profile are NOT checked", said)
        # Thunderbird keeps it switched off whatever install does now; install
        # says so, and who can switch it on.
        said = self.postwarden("thunderbird", "install", "--profile", profile)
        self.assertIn("switch Postwarden on in its Add-ons and Themes", said)

    def test_system_wide_install_cannot_be_disabled(self):
        if not self.system:
            self.skipTest("needs root, for a mount namespace of its own")
        policies = SYSTEM_POLICIES
        os.makedirs(os.path.dirname(policies), exist_ok=True)
        with open(policies, "w") as f:
            f.write("{ not JSON")
        refused = self.run_postwarden("thunderbird", "install", "--system")
        self.assertEqual(refused.returncode, 3, refused.stderr)
        self.assertFalse(os.path.exists(SYSTEM_MANIFEST))
        # An administrator's policies, which have Thunderbird install the driver.
        mine = {"policies": {"DisableAppUpdate": True, "ExtensionSettings": {
            DRIVER_ID: {"installation_mode": "force_installed",
                        "install_url": "file://" + self.driver_xpi}}}}
        with open(policies, "w") as f:
            json.dump(mine, f)
        user_manifest = os.path.join(self.home, ".mozilla", "native-messaging-hosts",
                                     "postwarden.json")
        os.rename(user_manifest, user_manifest + ".away")
        try:
            self.postwarden("thunderbird", "install", "--system")
            self.settings(PromptForKeywordsWanted=1, ListOfKeywords="projectx")
            profile = self.new_profile("everyone")
            with self.Running(self, profile, POSTWARDEN_ANSWERS="no"):
                before = len(self.sink.messages)
                result = self.send({"to": ["ann@corp.example"], "subject": "ProjectX",
                                    "isPlainText": True, "plainTextBody": "Figures.\n"})
                self.assertFalse(result["sent"], result)
                self.assertIn("onBeforeSend", result["error"])
                self.assertEqual(self.delivered(before), [])
                _, connection = self.driver.expect("next")
                Driver.reply(connection, {"type": "disable", "id": ADDON_ID})
                result, connection = self.driver.expect("result")
                Driver.reply(connection, {})
                self.assertIn("disallowed by enterprise policy", result["error"])
            enabled, said = self.doctor_lines()[profile]
            self.assertTrue(enabled, said)
            self.assertIn(SYSTEM_MANIFEST, said)
            self.postwarden("thunderbird", "uninstall", "--system")
            with open(policies) as f:
                self.assertEqual(json.load(f), mine)
        finally:
            os.rename(user_manifest + ".away", user_manifest)
            if os.path.exists(policies):
                os.remove(policies)

    def test_missing_host_holds_the_send(self):
        self.settings()
        manifest = os.path.join(self.home, ".mozilla", "native-messaging-hosts", "postwarden.json")
        saved = manifest + ".away"
        os.rename(manifest, saved)
        try:
            with self.Running(self):
                before = len(self.sink.messages)
                result = self.send({"to": ["ann@corp.example"], "subject": "Hello",
                                    "isPlainText": True, "plainTextBody": "Hi.\n"})
                self.assertFalse(result["sent"], result)
                self.assertIn("onBeforeSend", result["error"])
                self.assertEqual(self.delivered(before), [])
                wait_for(lambda: self.window(NOTICE_CAPTION), "the notice of the held send")
                self.save_screen(self.screenshot("notice"))
        finally:
            os.rename(saved, manifest)

    def test_window_and_click(self):
        self.settings(PromptForKeywordsWanted=1, ListOfKeywords="projectx")
        with self.Running(self):
            for answer, button in (("no", NO_BUTTON), ("yes", YES_BUTTON)):
                before = len(self.sink.messages)
                clicked = self.send(
                    {"to": ["ann@corp.example"], "subject": "ProjectX " + answer,
                     "isPlainText": True, "plainTextBody": "Figures.\n"},
                    on_ready=lambda sent_at: self.click_in_form(button, self.screenshot("form")),
                )
                self.assertEqual(clicked["sent"], answer == "yes", clicked)
                self.assertEqual(len(self.delivered(before)), 1 if answer == "yes" else 0)

    def test_look_alike_asked_and_countdown_cancelled(self):
        # The company's domain is known from ListOfOutsideDomains; Look-Alike
        # Domains is on in a fresh home; the countdown is long enough that
        # only a key ends it.
        self.settings(ListOfOutsideDomains="corp.example", SendDelaySeconds=40)
        look_alike = {"to": ["Finance <finance@c0rp.example>"], "subject": "Invoice 4711",
                      "isPlainText": True, "plainTextBody": "Please pay by Friday.\n"}
        clean = {"to": ["ann@corp.example"], "subject": "Lunch", "isPlainText": True,
                 "plainTextBody": "At noon?\n"}
        with self.Running(self):
            before = len(self.sink.messages)
            # Answered from the keyboard, as a person may: N is No's access key.
            def refuse(sent_at):
                window = wait_for(self.form_window, "the look-alike question")
                time.sleep(0.3)
                self.save_screen(self.screenshot("look-alike"))
                subprocess.run(["xdotool", "windowfocus", "--sync", window, "key", "n"],
                               env=self.environment(), check=True, timeout=10)
                wait_for(lambda: not self.form_window(), "the question to go")
            result = self.send(look_alike, on_ready=refuse)
            self.assertFalse(result["sent"], result)
            self.assertEqual(result["after"]["to"], look_alike["to"])

            # Nothing asks about the clean message: its countdown is the one
            # window; Escape in it takes the send back.
            def escape(sent_at):
                window = wait_for(self.form_window, "the countdown window")
                time.sleep(0.3)
                self.save_screen(self.screenshot("countdown"))
                subprocess.run(["xdotool", "windowfocus", "--sync", window, "key", "Escape"],
                               env=self.environment(), check=True, timeout=10)
                wait_for(lambda: not self.form_window(), "the countdown to go")
            result = self.send(clean, on_ready=escape)
            self.assertFalse(result["sent"], result)
            self.assertIn("onBeforeSend", result["error"])
            self.assertEqual(result["after"]["subject"], "Lunch")
            self.assertIn("At noon?", result["after"]["plainTextBody"])
            self.assertEqual(self.delivered(before), [])

            # Send now, clicked, sends without waiting out the 40 s.
            def send_now(sent_at):
                window = wait_for(self.form_window, "the countdown window")
                time.sleep(0.3)
                subprocess.run(["xdotool", "mousemove", "--window", window,
                                str(SEND_NOW_BUTTON[0]), str(SEND_NOW_BUTTON[1]), "click", "1"],
                               env=self.environment(), check=True, timeout=10)
                wait_for(lambda: not self.form_window(), "the countdown to go")
            result = self.send(clean, on_ready=send_now)
            self.assertTrue(result["sent"], result)
            self.assertEqual(len(self.delivered(before)), 1)

        records = self.log_records()[:-1]
        self.assertTrue(self.log_records()[-1].startswith("Send: nothing to ask;"))
        self.assertTrue(records[-2].startswith(
            "Send: no; rules fired: Look-Alike Domains; recipients: 1;"), records)
        self.assertIn("c0rp.example looks like corp.example", records[-2])
        self.assertTrue(records[-1].startswith(
            "Send: cancelled in the countdown; rules fired: none;"), records)

    def test_the_rules_that_need_no_list(self):
        # The person's Sent folder: 20 messages to one partner, imported as
        # the history the add-on's host reads.
        sent = os.path.join(self.home, "Sent")
        for sub in ("cur", "new", "tmp"):
            os.makedirs(os.path.join(sent, sub), exist_ok=True)
        for n in range(20):
            with open(os.path.join(sent, "cur", "%d.sent:2,S" % n), "w") as f:
                f.write("From: me@corp.example\nTo: known@partner.example\nSubject: Part %d\n"
                        "Message-ID: <part-%d@corp.example>\n"
                        "Date: Mon, 2 Nov 2026 10:%02d:00 +0000\n\nHello.\n" % (n, n, n))
        self.postwarden("history", "import", sent)
        self.settings(ListOfOutsideDomains="corp.example", PromptForManyOrganisationsWanted=1,
                      PromptForMissingAttachmentWanted=1, PromptForNewRecipientsWanted=1)
        four = {"to": ["a@one.example", "b@two.example"],
                "cc": ["c@three.example", "d@four.example"],
                "subject": "Kick-off", "isPlainText": True, "plainTextBody": "Welcome all.\n"}
        forgotten = {"to": ["known@partner.example"], "subject": "Figures",
                     "isPlainText": True, "plainTextBody": "The figures are attached.\n"}
        stranger = {"to": ["known@partner.example"], "cc": ["new@else.example"],
                    "subject": "Introductions", "isPlainText": True,
                    "plainTextBody": "Meet my colleague.\n"}
        with self.Running(self, POSTWARDEN_ANSWERS="no"):
            before = len(self.sink.messages)
            # Each is answered No in its own window, which ends the send.
            for details in (four, forgotten, stranger):
                self.assertFalse(self.send(details)["sent"])
            self.assertEqual(self.delivered(before), [])
            # With the attachment, to the known partner, nothing asks.
            result = self.send(forgotten, attachments=["figures.txt"])
            self.assertTrue(result["sent"], result)
            self.assertEqual(len(self.delivered(before)), 1)
        records = self.log_records()[-4:]
        self.assertTrue(records[0].startswith("Send: no; rules fired: Many Organisations;"),
                        records)
        self.assertIn("(one.example, two.example, three.example, four.example)", records[0])
        self.assertTrue(records[1].startswith("Send: no; rules fired: Missing Attachment;"),
                        records)
        self.assertIn('"attached" in "The figures are attached."', records[1])
        self.assertTrue(records[2].startswith("Send: no; rules fired: New Recipients;"), records)
        self.assertIn("new@else.example", records[2])
        self.assertNotIn("known@partner.example", records[2])
        self.assertTrue(records[3].startswith("Send: nothing to ask;"), records)

    # --- the window ----------------------------------------------------------

    @staticmethod
    def screenshot(name):
        return os.path.join(SCREENSHOTS, name + ".png") if SCREENSHOTS else None

    def save_screen(self, path):
        if path:
            time.sleep(0.3)  # drawn, not only mapped
            subprocess.run(["import", "-window", "root", path],
                           env=self.environment(), check=True, timeout=30)

    def window(self, caption):
        """A visible window whose title begins with `caption`, or None."""
        result = subprocess.run(
            ["xdotool", "search", "--onlyvisible", "--name", "^" + caption],
            env=self.environment(), capture_output=True, text=True, timeout=10,
        )
        return result.stdout.split()[0] if result.stdout.split() else None

    def form_window(self):
        return self.window(FORM_CAPTION + "$")

    def click_in_form(self, button, screenshot=None):
        window = wait_for(self.form_window, "the confirmation window")
        shown_at = time.monotonic()
        time.sleep(0.3)  # drawn, not only mapped, before it is clicked
        self.save_screen(screenshot)
        # Under load the window may still be growing to fit what it shows when
        # it is first clicked, and the click misses the button: then the
        # window stays, and it is clicked again where the button is now.
        for attempt in range(3):
            geometry = subprocess.run(
                ["xdotool", "getwindowgeometry", "--shell", window],
                env=self.environment(), capture_output=True, text=True, check=True, timeout=10,
            ).stdout
            height = int(dict(line.split("=", 1) for line in geometry.split())["HEIGHT"])
            clicked_at = time.monotonic()
            subprocess.run(
                ["xdotool", "mousemove", "--window", window, str(button[0]),
                 str(button[1] + height - FORM_HEIGHT), "click", "1"],
                env=self.environment(), check=True, timeout=10,
            )
            try:
                wait_for(lambda: not self.form_window(), "the window to go",
                         deadline=DEADLINE if attempt == 2 else 5)
                break
            except AssertionError:
                if attempt == 2:
                    raise
        return shown_at, clicked_at


def measure(runs):
    """Sends `runs` messages answered Yes by a click; prints the medians."""
    test = ThunderbirdTest("test_window_and_click")
    ThunderbirdTest.setUpClass()
    try:
        test.settings(PromptForKeywordsWanted=1, ListOfKeywords="projectx")
        to_form, to_sink = [], []
        with test.Running(test):
            for n in range(runs):
                times = {}

                def answer(sent_at):
                    shown, clicked = test.click_in_form(YES_BUTTON)
                    times.update(sent=sent_at, shown=shown, clicked=clicked)

                before = len(test.sink.messages)
                result = test.send({"to": ["ann@corp.example"], "subject": "ProjectX %d" % n,
                                    "isPlainText": True, "plainTextBody": "x\n"}, on_ready=answer)
                if not result["sent"] or len(test.sink.messages) != before + 1:
                    raise AssertionError("send %d did not arrive: %r" % (n, result))
                # The window is given 0.3 s to be drawn before the click.
                to_form.append(times["shown"] - times["sent"])
                to_sink.append(test.sink.arrived[before] - times["clicked"])
        print("send to window: median %.0f ms (min %.0f, max %.0f)" % (
            1000 * statistics.median(to_form), 1000 * min(to_form), 1000 * max(to_form)))
        print("click to sink: median %.0f ms (min %.0f, max %.0f)" % (
            1000 * statistics.median(to_sink), 1000 * min(to_sink), 1000 * max(to_sink)))
    finally:
        ThunderbirdTest.doClassCleanups()


def main():
    global POSTWARDEN, SCREENSHOTS
    parser = argparse.ArgumentParser()
    parser.add_argument("--postwarden", required=True)
    parser.add_argument("--screenshots", help="save the screen with each window shown here")
    parser.add_argument("--measure", type=int, default=0)
    args, rest = parser.parse_known_args()
    POSTWARDEN = os.path.abspath(args.postwarden)
    SCREENSHOTS = args.screenshots
    missing = [p for p in ("thunderbird", "Xvfb", "xdotool", "import") if not shutil.which(p)]
    try:
        import aiosmtpd  # noqa: F401
    except ImportError:
        missing.append("python3-aiosmtpd")
    if missing:
        print("skipped: not installed: " + ", ".join(missing))
        sys.exit(SKIP_STATUS)
    if args.measure:
        measure(args.measure)
        return
    # As root, go on in a mount namespace of its own (see private_mounts).
    if (os.geteuid() == 0 and "PW_TB_NAMESPACE" not in os.environ and shutil.which("unshare")
            and subprocess.run(["unshare", "--mount", "true"]).returncode == 0):
        os.environ["PW_TB_NAMESPACE"] = os.readlink("/proc/self/ns/mnt")
        os.execvp("unshare", ["unshare", "--mount", "--propagation", "private",
                              sys.executable, "-B", *sys.argv])
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
