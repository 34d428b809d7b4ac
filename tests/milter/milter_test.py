"""`postwarden milter` behind a real Postfix on loopback, relaying to an SMTP
sink: what is delivered, what is refused and why, resends, hostile peers on the
milter's socket, many sessions at once with a restart in the middle, a stop in
the middle of a check, the settings refresh on SIGHUP, approvals and refresh
requests shared through PostgreSQL by two mail servers; mutt submitting over
SMTP as a person does; and the same milter behind Sendmail.

    milter_test.py --postwarden PATH [unittest arguments]
"""

import argparse
import concurrent.futures
import importlib.util
import os
import re
import shutil
import signal
import socket
import sqlite3
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

POSTWARDEN = None

RULES = {
    "PromptForAnySendWanted": 0,
    "PromptForOutsideDomainsWanted": 1,
    "ListOfOutsideDomains": "corp.example",
    "PromptForEmailAddressesDomainsWanted": 1,
    "ListOfEmailAddressesDomains": "payroll@corp.example",
    "PromptForKeywordsWanted": 1,
    "ListOfKeywords": "confidential",
    "PromptForBlankSubjectWanted": 0,
    "PromptForNumberOfRecipientsWanted": 0,
    "PromptForManyOrganisationsWanted": 0,
    "PromptForMissingAttachmentWanted": 0,
    "PromptForNewRecipientsWanted": 0,
    "PromptForLookAlikeDomainsWanted": 0,
}


def make_home(folder, name, rules=RULES):
    home = os.path.join(folder, name)
    os.makedirs(home)
    for key, value in rules.items():
        subprocess.run([POSTWARDEN, "--home", home, "settings", "set", key, str(value)],
                       check=True, stdout=subprocess.DEVNULL)
    return home


def write_central(path, keyword, outside=0):
    """The central settings document at `path`: the keyword rule on with one
    `keyword`, the outside rule (corp.example inside) as `outside` says, the
    rest off."""
    with open(path + ".new", "w") as f:
        f.write('<?xml version="1.0"?>\n<PostWarden>\n' + "".join(
            "<%s>%s</%s>\n" % (k, v, k) for k, v in [
                ("PromptForOutsideDomainsWanted", outside),
                ("ListOfOutsideDomains", "<Domain>corp.example</Domain>"),
                ("MessageForOutsideDomains", "Outside?"),
                ("PromptForEmailAddressesDomainsWanted", 0),
                ("ListOfEmailAddressesDomains", ""),
                ("MessageForEmailAddressesDomains", "Watched?"),
                ("PromptForKeywordsWanted", 1),
                ("ListOfKeywords", "<k>%s</k>" % keyword),
                ("MessageForKeywords", "Keywords?"),
                ("PromptForNumberOfRecipientsWanted", 0),
                ("NumberOfRecipients", 50),
                ("SeparateDLsWanted", 0),
                ("MessageForNumberOfRecipients", "Many?"),
                ("PromptForBlankSubjectWanted", 0),
                ("MessageForBlankSubject", "Blank?"),
                ("PromptForAnySendWanted", 0)]) + "</PostWarden>\n")
    os.replace(path + ".new", path)


def refreshes(home):
    """How many refreshes the milter over `home` has logged."""
    return harness.read(os.path.join(home, "postwarden.log")).count("Milter: settings refreshed")


def message(tag, to="bob@corp.example", subject="Lunch", body=None, attachment=None,
            sender="alice@corp.example"):
    """A message as a client submits it, CRLF line ends, with a header field
    X-Test naming it. Messages that differ only in their header's identifiers
    are the same message to the resend approvals: the body names `tag` too."""
    if body is None:
        body = "See you at noon (%s).\r\n" % tag
    head = ("From: Alice <%s>\r\nTo: %s\r\nSubject: %s\r\nDate: Tue, 08 Dec 2026 04:00:00 +0000\r\n"
            "Message-ID: <%s@corp.example>\r\nX-Test: %s\r\nMIME-Version: 1.0\r\n"
            % (sender, to, subject, tag, tag))
    if attachment is None:
        return (head + "Content-Type: text/plain; charset=us-ascii\r\n\r\n" + body).encode()
    return (head + 'Content-Type: multipart/mixed; boundary="b1"\r\n\r\n'
            "--b1\r\nContent-Type: text/plain\r\n\r\n" + body +
            "--b1\r\nContent-Type: application/octet-stream\r\n"
            'Content-Disposition: attachment; filename="%s"\r\n'
            "Content-Transfer-Encoding: base64\r\n\r\nAAECAw==\r\n--b1--\r\n" % attachment).encode()


def without_received(delivered):
    """The delivered bytes without the Received field Postfix puts in front."""
    assert delivered.startswith(b"Received: "), delivered[:80]
    at = 0
    while True:
        end = delivered.index(b"\r\n", at) + 2
        if delivered[end:end + 1] not in (b" ", b"\t"):
            return delivered[end:]
        at = end


def age_local_approvals(home, seconds):
    """Moves every resend approval of the home's registry `seconds` back."""
    db = sqlite3.connect(os.path.join(home, "registry.db"))
    with db:
        db.execute(
            "UPDATE registry_values SET data = "
            "CAST(CAST(substr(data, 1, instr(data, ';') - 1) AS INTEGER) - ? AS TEXT)"
            " || substr(data, instr(data, ';')) WHERE key_id IN "
            "(SELECT id FROM registry_keys WHERE folded LIKE '%resend approvals')", (seconds,))
    db.close()


class Setup(unittest.TestCase):
    """A sink, one milter over a home with the test rules, and Postfix."""

    default_action = "tempfail"
    milter_options = ()
    unix = False  # the milter on a Unix socket, as the package runs it

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="pw-milter-")
        os.chmod(cls.folder, 0o755)
        cls.sink = harness.Sink()
        cls.home = make_home(cls.folder, "home")
        cls.milter = harness.Milter(POSTWARDEN, cls.home, cls.milter_options, unix=cls.unix)
        cls.postfix = harness.Postfix(os.path.join(cls.folder, "postfix"), cls.sink.port,
                                      cls.milter.address, cls.default_action)

    @classmethod
    def tearDownClass(cls):
        cls.postfix.stop()
        cls.milter.stop()
        cls.sink.close()
        if os.environ.get("PW_KEEP"):
            print("kept", cls.folder, file=sys.stderr)
        else:
            shutil.rmtree(cls.folder, ignore_errors=True)

    def delivered(self, tag, count=1):
        """The copies of message `tag` at the sink, once `count` arrived."""
        harness.wait_until(lambda: len(self.sink.with_header("X-Test", tag)) >= count,
                           "%d copies of %s at the sink" % (count, tag))
        return self.sink.with_header("X-Test", tag)

    def settle(self):
        """Waits until Postfix has handed on everything it accepted."""
        harness.wait_until(self.postfix.queue_empty, "an empty queue", seconds=60)

    def record_of(self, tag):
        records = [r for r in self.milter.sends() if "<%s@corp.example>" % tag in r]
        return records


class DeliveryAndRefusal(Setup):
    def test_clean_message_reaches_the_sink_byte_for_byte(self):
        sent = message("clean-1", body="Line one.\r\n.Leading dot\r\n\r\nLast line\r\n")
        self.assertEqual(self.postfix.send(sent, "alice@corp.example",
                                           ["bob@corp.example", "carol@corp.example"]),
                         (250, ""))
        copies = self.delivered("clean-1")
        self.assertEqual(len(copies), 1)
        self.assertEqual(without_received(copies[0][2]), sent)
        self.assertEqual(sorted(copies[0][1]), ["bob@corp.example", "carol@corp.example"])
        (record,) = self.record_of("clean-1")
        self.assertTrue(record.startswith("Send: accepted; rules fired: none; recipients: 2;"),
                        record)
        self.assertIn("SMTP sender: alice@corp.example", record)
        self.assertIn("authenticated user: none", record)
        self.assertRegex(record, r"queue ID: [0-9A-F]+")

    def test_each_rule_refuses_with_its_why(self):
        cases = [
            # tag, message, envelope recipients, what the line must say
            ("outside", message("outside", to="dave@other.example"), ["dave@other.example"],
             ["recipients outside the company's domains (outside recipients: "
              "dave@other.example)"]),
            # Only the envelope counts: a Bcc the header never names.
            ("bcc-outside", message("bcc-outside"), ["bob@corp.example", "eve@other.example"],
             ["recipients outside the company's domains", "eve@other.example"]),
            ("watched", message("watched", to="payroll@corp.example"), ["payroll@corp.example"],
             ["watch-listed addresses or domains", "payroll@corp.example"]),
            ("attachment", message("attachment", attachment="confidential-plan.pdf"),
             ["bob@corp.example"], ["watch-listed keywords", "confidential"]),
        ]
        for tag, sent, recipients, words in cases:
            with self.subTest(tag):
                code, text = self.postfix.send(sent, "alice@corp.example", recipients)
                self.assertEqual(code, 550, text)
                self.assertTrue(text.startswith("5.7.1 Postwarden: not sent: "), text)
                self.assertTrue(text.endswith(
                    "; send the same message again within 10 minutes to send it"), text)
                for word in words:
                    self.assertIn(word, text)
                self.assertTrue(all(32 <= ord(c) < 127 for c in text), text)
                (record,) = self.record_of(tag)
                self.assertTrue(record.startswith("Send: rejected (nobody to ask); rules fired: "),
                                record)
                self.assertIn("evidence: ", record)
        self.settle()
        for tag, _sent, _recipients, _words in cases:
            self.assertEqual(self.sink.with_header("X-Test", tag), [], tag)

    def test_resend_goes_once_then_refused_again_and_after_the_window(self):
        sent = message("resend", to="dave@other.example")
        send = lambda sender="alice@corp.example": self.postfix.send(  # noqa: E731
            sent, sender, ["dave@other.example"])[0]
        self.assertEqual(send(), 550)
        # Another sender's approval is not this sender's.
        self.assertEqual(send("mallory@corp.example"), 550)
        self.assertEqual(send(), 250)
        self.assertEqual(len(self.delivered("resend")), 1)
        self.assertEqual(send(), 550)
        age_local_approvals(self.home, 601)
        self.assertEqual(send(), 550)
        self.settle()
        self.assertEqual(len(self.sink.with_header("X-Test", "resend")), 1)
        outcomes = [r.split(";")[0] for r in self.record_of("resend")]
        self.assertEqual(outcomes, ["Send: rejected (nobody to ask)"] * 2 +
                         ["Send: approved by resend"] + ["Send: rejected (nobody to ask)"] * 2)

    def test_hostile_peers_never_stop_the_milter(self):
        negotiate = packet(b"O", struct.pack(">III", 6, 0x1FF, 0))
        stages = [
            packet(b"C", b"client\0" + b"4" + struct.pack(">H", 25) + b"127.0.0.1\0"),
            packet(b"H", b"client.example\0"),
            packet(b"M", b"<alice@corp.example>\0"),
            packet(b"R", b"<dave@other.example>\0"),
            packet(b"T"),
            packet(b"L", b"Subject\0confidential\0"),
            packet(b"N"),
            packet(b"B", b"confidential " * 1000),
        ]
        peers = [b"", b"GET / HTTP/1.0\r\n\r\n", os.urandom(4096),
                 struct.pack(">I", 0xFFFFFFF0) + b"B", struct.pack(">I", 0) ,
                 negotiate[:3]]
        for n in range(len(stages) + 1):
            peers.append(negotiate + b"".join(stages[:n]))
        peers.append(negotiate + b"".join(stages) + packet(b"Z", b"junk"))
        for i, data in enumerate(peers):
            with self.subTest(peer=i):
                with socket.create_connection(("127.0.0.1", self.milter.port), timeout=10) as s:
                    # The milter may hang up on a peer before it has said all.
                    try:
                        s.sendall(data)
                        s.shutdown(socket.SHUT_WR)
                        s.settimeout(5)
                        while s.recv(4096):
                            pass
                    except OSError:
                        pass
                self.assertIsNone(self.milter.process.poll())
        sent = message("after-hostile")
        self.assertEqual(self.postfix.send(sent, "alice@corp.example", ["bob@corp.example"]),
                         (250, ""))
        self.assertEqual(len(self.delivered("after-hostile")), 1)
        code, _ = self.postfix.send(message("after-hostile-2", to="dave@other.example"),
                                    "alice@corp.example", ["dave@other.example"])
        self.assertEqual(code, 550)


class SaslLogin(Setup):
    """Postfix with SASL (Dovecot's authentication service): the person's
    login, which Postfix passes as {auth_authen}, owns an approval, whatever
    envelope sender the client writes."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="pw-milter-")
        os.chmod(cls.folder, 0o755)
        cls.dovecot = harness.DovecotAuth(cls.folder, "alice", "wonderland")
        cls.sink = harness.Sink()
        cls.home = make_home(cls.folder, "home")
        cls.milter = harness.Milter(POSTWARDEN, cls.home)
        cls.postfix = harness.Postfix(
            os.path.join(cls.folder, "postfix"), cls.sink.port, cls.milter.address,
            extra={"smtpd_sasl_auth_enable": "yes", "smtpd_sasl_type": "dovecot",
                   "smtpd_sasl_path": "inet:127.0.0.1:%d" % cls.dovecot.port})

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        cls.dovecot.stop()

    def test_the_login_owns_the_approval(self):
        sent = message("sasl", to="dave@other.example")
        login = ("alice", "wonderland")
        send = lambda sender, login=login: self.postfix.send(  # noqa: E731
            sent, sender, ["dave@other.example"], login=login)[0]
        self.assertEqual(send("alice@corp.example"), 550)
        # Without the login, the envelope sender alone is someone else.
        self.assertEqual(send("alice@corp.example", login=None), 550)
        # The same person, whatever the client puts in MAIL FROM.
        self.assertEqual(send("a.smith@corp.example"), 250)
        self.assertEqual(len(self.delivered("sasl")), 1)
        records = self.record_of("sasl")
        self.assertEqual([r.split(";")[0] for r in records],
                         ["Send: rejected (nobody to ask)"] * 2 + ["Send: approved by resend"])
        self.assertIn("authenticated user: alice;", records[0])
        self.assertIn("authenticated user: none;", records[1])
        self.assertIn("authenticated user: alice;", records[2])


class FailingRule(unittest.TestCase):
    """A rule that fails (its limit no number) while another flags the
    message: the flag stands, as at a send, where a question nobody could
    answer holds the message whatever else failed. With nothing flagged, the
    failed check accepts the message, or defers it under --on-failure
    tempfail, through a real Postfix."""

    def test_a_failed_rule_never_lets_a_flagged_message_through(self):
        folder = tempfile.mkdtemp(prefix="pw-milter-")
        os.chmod(folder, 0o755)
        self.addCleanup(shutil.rmtree, folder, True)
        sink = harness.Sink()
        self.addCleanup(sink.close)
        for option in ("accept", "tempfail"):
            with self.subTest(on_failure=option):
                home = make_home(folder, "home-" + option,
                                 dict(RULES, PromptForNumberOfRecipientsWanted=1))
                # The command keeps a number a number; the store's file, written
                # past it, need not.
                with sqlite3.connect(os.path.join(home, "registry.db")) as db:
                    db.execute("UPDATE registry_values SET kind = 1, data = 'many' "
                               "WHERE folded = 'maxnumberofrecipients'")
                milter = harness.Milter(POSTWARDEN, home, ["--on-failure", option])
                self.addCleanup(milter.stop)
                postfix = harness.Postfix(os.path.join(folder, "postfix-" + option), sink.port,
                                          milter.address)
                self.addCleanup(postfix.stop)
                flagged = message("failing-out-" + option, to="dave@other.example")
                code, text = postfix.send(flagged, "alice@corp.example", ["dave@other.example"])
                self.assertEqual(code, 550, text)
                self.assertIn("Postwarden: not sent:", text)
                inside = message("failing-in-" + option)
                code, text = postfix.send(inside, "alice@corp.example", ["bob@corp.example"])
                if option == "accept":
                    self.assertEqual(code, 250, text)
                    harness.wait_until(
                        lambda: sink.with_header("X-Test", "failing-in-accept"), "the message")
                else:
                    self.assertEqual(code, 451, text)
                    self.assertIn("4.7.1", text)
                records = milter.sends()
                self.assertTrue(records[-2].startswith("Send: rejected (nobody to ask);"),
                                records[-2])
                self.assertTrue(records[-1].startswith(
                    "Send: accepted without a check (" if option == "accept"
                    else "Send: deferred without a check ("), records[-1])
                self.assertIn("Type mismatch", records[-1])
        self.assertEqual(sink.with_header("X-Test", "failing-out-accept"), [])
        self.assertEqual(sink.with_header("X-Test", "failing-out-tempfail"), [])


class LogRotation(Setup):
    """The milter's log rotates as the command's does: the record that takes
    the log past its size is its last, and the log is renamed whole."""

    def test_a_full_log_is_rotated_and_nothing_is_lost(self):
        log = os.path.join(self.home, "postwarden.log")
        filler = "\t".join(["2026-12-08T00:00:00.000Z", "event", "0", "", "postwarden",
                             "Filler record"]) + "\n"
        with open(log, "a", encoding="utf-8") as f:
            f.write(filler * ((10 << 20) // len(filler) + 1))
        before = os.path.getsize(log)
        self.assertEqual(self.postfix.send(message("rotated"), "alice@corp.example",
                                           ["bob@corp.example"])[0], 250)
        self.assertEqual(len(self.delivered("rotated")), 1)
        self.assertTrue(os.path.exists(log + ".1"))
        self.assertGreaterEqual(os.path.getsize(log + ".1"), before)
        self.assertLess(os.path.getsize(log), 1 << 20)
        with open(log + ".1", encoding="utf-8") as f:
            last = f.read().splitlines()[-1]
        self.assertIn("\tSend: accepted; rules fired: none; recipients: 1; "
                      "Message-ID: <rotated@corp.example>;", last)
        self.assertEqual(self.record_of("rotated"), [])  # not written twice


class Doctor(Setup):
    unix = True

    def test_doctor_tells_a_milter_from_other_servers(self):
        def doctor(where):
            result = subprocess.run([POSTWARDEN, "doctor", "--milter", where],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            return result.returncode, result.stdout

        code, out = doctor(self.milter.address)
        self.assertEqual(code, 0, out)
        self.assertTrue(out.startswith("ok      milter: "), out)
        # An SMTP server speaks first, and not as a milter does.
        for where in ("inet:%d@127.0.0.1" % self.sink.port, "inet:%d@127.0.0.1" % self.postfix.port,
                      "inet:%d@127.0.0.1" % harness.free_port(),
                      "unix:" + os.path.join(self.folder, "nothing.sock"), "tcp:1"):
            with self.subTest(where):
                code, out = doctor(where)
                self.assertEqual(code, 1, out)
                self.assertTrue(out.startswith("problem milter: "), out)


class ManySessions(Setup):
    """milter_default_action = tempfail: while the milter is away, Postfix answers
    451 and the client keeps its message; nothing is lost and nothing flagged
    slips through. On a Unix socket, as the package runs it."""

    unix = True

    def test_parallel_sessions_with_a_restart(self):
        jobs = []
        for i in range(100):
            tag = "many-%d" % i
            kind = i % 4
            if kind == 0:
                jobs.append((tag, message(tag, to="dave@other.example"), ["dave@other.example"]))
            elif kind == 1:
                jobs.append((tag, message(tag, attachment="confidential.txt"),
                             ["bob@corp.example"]))
            else:
                jobs.append((tag, message(tag, body="Hello %d\r\n" % i), ["bob@corp.example"]))
        flagged = {tag for n, (tag, _m, _r) in enumerate(jobs) if n % 4 < 2}

        def one(job):
            tag, sent, recipients = job
            return tag, self.postfix.send(sent, "alice@corp.example", recipients)

        with concurrent.futures.ThreadPoolExecutor(max_workers=100) as pool:
            futures = [pool.submit(one, job) for job in jobs]
            # The milter goes away and comes back while sessions are under way.
            harness.wait_until(lambda: sum(f.done() for f in futures) >= 30, "30 sessions")
            self.milter.stop()
            self.milter.start()
            results = dict(f.result() for f in futures)
        deferred = {t for t, (code, _) in results.items() if code == 451}
        # A deferred message stays with its client, which sends it again.
        for tag, sent, recipients in jobs:
            if tag in deferred:
                results[tag] = one((tag, sent, recipients))[1]

        self.settle()
        accepted = {t for t, (code, _) in results.items() if code == 250}
        refused = {t for t, (code, _) in results.items() if code == 550}
        self.assertEqual(len(accepted) + len(refused), 100, results)
        self.assertFalse(accepted & flagged, "a flagged message was accepted")
        self.assertFalse(refused - flagged, "a clean message was refused")
        for tag, _sent, _r in jobs:
            copies = len(self.sink.with_header("X-Test", tag))
            self.assertEqual(copies, 1 if tag in accepted else 0, (tag, results[tag]))
        self.assertEqual(refused, flagged)
        print("parallel sessions: %d deferred (451) while the milter restarted, then sent "
              "again; in all %d accepted, %d refused" % (len(deferred), len(accepted),
                                                         len(refused)), file=sys.stderr)


def packet(command, data=b""):
    """One packet of the milter protocol, as the mail server writes it."""
    return struct.pack(">I", len(data) + 1) + command + data


class StopDrain(unittest.TestCase):
    """A milter told to stop as it checks a message it refuses."""

    def test_a_stop_ends_the_check_and_writes_the_refusal(self):
        folder = tempfile.mkdtemp(prefix="pw-milter-")
        self.addCleanup(shutil.rmtree, folder, True)
        milter = harness.Milter(POSTWARDEN, make_home(folder, "home"))
        self.addCleanup(milter.stop)
        peer = socket.create_connection(("127.0.0.1", milter.port), timeout=10)
        self.addCleanup(peer.close)

        def answer():
            def exactly(n):
                data = b""
                while len(data) < n:
                    more = peer.recv(n - len(data))
                    if not more:
                        raise AssertionError("the milter hung up")
                    data += more
                return data
            return exactly(struct.unpack(">I", exactly(4))[0])

        # A mail server that wants an answer to every step.
        peer.sendall(packet(b"O", struct.pack(">III", 6, 0x1FF, 0)))
        self.assertEqual(answer()[:1], b"O")
        for stage in [packet(b"C", b"client\0" + b"4" + struct.pack(">H", 25) + b"127.0.0.1\0"),
                      packet(b"H", b"client.example\0"),
                      packet(b"M", b"<alice@corp.example>\0"),
                      packet(b"R", b"<dave@other.example>\0"),
                      packet(b"T"),
                      packet(b"L", b"To\0dave@other.example\0"),
                      packet(b"L", b"Subject\0Lunch\0"),
                      packet(b"N"),
                      packet(b"B", b"See you at noon.\r\n")]:
            peer.sendall(stage)
            self.assertEqual(answer()[:1], b"c", stage)
        peer.sendall(packet(b"E"))
        # Its refusal offers an approval: were the milter gone before the reply
        # was written, the mail server would tell the client to try again, and
        # the approval would pass the copy it sends with nobody told why.
        milter.send_signal(signal.SIGTERM)
        self.assertEqual(milter.process.wait(timeout=30), 0)
        refusal = answer()
        self.assertEqual(refusal[:1], b"y")
        self.assertIn(b"550 5.7.1 Postwarden: not sent: ", refusal)
        # The mail server reads the reply before it says another word: once
        # it is written there is nothing to wait for, and the stop says so.
        log = harness.read(os.path.join(milter.home, "postwarden.log"))
        self.assertEqual(log.splitlines()[-1].split("\t")[-1], "Milter: stopped")


class Sendmail(unittest.TestCase):
    """The same milter behind Sendmail instead of Postfix, on the Unix socket
    the package gives it."""

    def test_refusal_resend_and_a_milter_away(self):
        if not os.path.exists(os.path.join(harness.SENDMAIL_ROOT, "usr/libexec/sendmail")):
            self.fail("no Sendmail in %s: scripts/setup.sh unpacks it" % harness.SENDMAIL_ROOT)
        # Sendmail refuses a socket below a folder anyone may write, as /tmp.
        folder = tempfile.mkdtemp(prefix="pw-milter-", dir="/run")
        os.chmod(folder, 0o755)
        self.addCleanup(shutil.rmtree, folder, True)
        sink = harness.Sink()
        self.addCleanup(sink.close)
        milter = harness.Milter(POSTWARDEN, make_home(folder, "home"), unix=True)
        self.addCleanup(milter.stop)
        sendmail = harness.Sendmail(os.path.join(folder, "sendmail"), sink.port, milter.address)
        self.addCleanup(sendmail.stop)

        clean = message("sm-clean", body="One.\r\n.Two, after a dot\r\n")
        self.assertEqual(sendmail.send(clean, "alice@corp.example", ["bob@corp.example"]),
                         (250, ""))
        harness.wait_until(lambda: sink.with_header("X-Test", "sm-clean"), "the clean message")
        (copy,) = sink.with_header("X-Test", "sm-clean")
        self.assertEqual(without_received(copy[2]), clean)

        outside = message("sm-outside", to="dave@other.example")
        send = lambda: sendmail.send(outside, "alice@corp.example", ["dave@other.example"])  # noqa
        code, text = send()
        self.assertEqual(code, 550, text)
        self.assertTrue(text.startswith("5.7.1 Postwarden: not sent: recipients outside the "
                                        "company's domains"), text)
        self.assertEqual(send()[0], 250)
        self.assertEqual(send()[0], 550)
        (record,) = [r for r in milter.sends() if "approved by resend" in r]
        self.assertRegex(record, r"queue ID: [0-9A-Za-z]+;")

        # F=T: while the milter is away, Sendmail defers; nothing goes unchecked.
        milter.stop()
        code, text = sendmail.send(message("sm-away"), "alice@corp.example", ["bob@corp.example"])
        self.assertEqual(code // 100, 4, text)
        time.sleep(1)
        self.assertEqual(sink.with_header("X-Test", "sm-away"), [])
        harness.wait_until(lambda: sink.with_header("X-Test", "sm-outside"), "the approved one")
        self.assertEqual(len(sink.with_header("X-Test", "sm-outside")), 1)


def clients_harness():
    """tests/clients/harness.py, which drives terminal mail clients in tmux (it
    is named harness too, so it is loaded under another name)."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "clients", "harness.py")
    spec = importlib.util.spec_from_file_location("clients_harness", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class MuttOverSmtp(unittest.TestCase):
    """A person in mutt who submits over SMTP to the mail server, as phones and
    webmail do, with nothing of Postwarden on their machine: the milter's
    refusal is what mutt shows, the message stays in the compose screen, and
    sent again it goes, once."""

    def test_refused_then_sent_again_from_the_compose_screen(self):
        if not shutil.which("mutt"):
            self.fail("mutt is not installed (scripts/setup.sh installs it)")
        folder = tempfile.mkdtemp(prefix="pw-milter-")
        os.chmod(folder, 0o755)
        self.addCleanup(shutil.rmtree, folder, True)
        sink = harness.Sink()
        self.addCleanup(sink.close)
        milter = harness.Milter(POSTWARDEN, make_home(folder, "home"), unix=True)
        self.addCleanup(milter.stop)
        postfix = harness.Postfix(os.path.join(folder, "postfix"), sink.port, milter.address)
        self.addCleanup(postfix.stop)

        clients = clients_harness()
        ws = clients.Workspace()
        self.addCleanup(ws.close)
        term = clients.Terminal(ws)
        self.addCleanup(term.close)
        draft = os.path.join(ws.root, "draft")
        with open(draft, "w") as f:
            f.write("From: Alice <alice@corp.example>\nTo: dave@other.example\n"
                    "Subject: Numbers\n\nThe figures for Thursday.\n")
        # As in the mutt tests: the editor copies the prepared message over the
        # new one, dated a second ahead so that mutt takes it as edited.
        editor = os.path.join(ws.root, "editor")
        with open(editor, "w") as f:
            f.write('#!/bin/sh\ncp "%s" "$1" && touch -d "@$(($(date +%%s) + 1))" "$1"\n' % draft)
        os.chmod(editor, 0o755)
        muttrc = os.path.join(ws.root, "muttrc")
        with open(muttrc, "w") as f:
            f.write('set smtp_url="smtp://127.0.0.1:%d/" ssl_starttls=no ssl_force_tls=no\n'
                    'set editor="%s"\n'
                    "set folder=%s spoolfile=%s mbox_type=Maildir tmpdir=%s\n"
                    "set from=alice@corp.example realname=Alice use_from hostname=corp.example\n"
                    "set edit_headers autoedit noabort_unmodified\n"
                    'set record="" nocopy postpone=no\n'
                    % (postfix.port, editor, ws.maildir,
                       ws.make_maildir("inbox", [clients.inbox_message(1)]), ws.tmp))
        term.start(["mutt", "-n", "-F", muttrc])
        term.wait_for("Inbox message 1", "the index")
        term.keys("m")
        term.wait_for("Compose", "the compose screen")

        def send():
            term.keys("y")
            # mutt asks whether to update the body's encoding, the editor's
            # copy being newer than the body it made; yes changes nothing.
            screen = term.wait_for(lambda s: "Update encoding" in s or "y:Send" not in s or
                                   "SMTP session failed" in s or "Mail sent" in s,
                                   "mutt sending")
            if "Update encoding" in screen:
                term.keys("Enter")

        send()
        screen = term.wait_for("SMTP session failed: 550 5.7.1 Postwarden: not sent: recipients",
                               "the milter's refusal on mutt's screen")
        self.assertIn("y:Send", screen)
        self.assertIn("dave@other.example", screen)
        self.assertEqual(sink.count(), 0)
        # Sent again as it stands: the resend goes through, once.
        send()
        term.wait_for("Mail sent", "mutt's confirmation")
        harness.wait_until(lambda: sink.with_header("Subject", "Numbers"), "the delivered copy")
        harness.wait_until(postfix.queue_empty, "an empty queue")
        (copy,) = sink.with_header("Subject", "Numbers")
        self.assertEqual(copy[1], ["dave@other.example"])
        outcomes = [r.split(";")[0] for r in milter.sends()]
        self.assertEqual(outcomes, ["Send: rejected (nobody to ask)", "Send: approved by resend"])


class SettingsRefresh(unittest.TestCase):
    """The central settings file is read at start and again at SIGHUP."""

    def test_sighup_refreshes_and_a_broken_source_keeps_the_settings(self):
        folder = tempfile.mkdtemp(prefix="pw-milter-")
        os.chmod(folder, 0o755)
        self.addCleanup(shutil.rmtree, folder, True)
        central = os.path.join(folder, "central.xml")

        write_central(central, "apples")
        home = make_home(folder, "home", {"FetchSettingsNetworkLocation": central,
                                          "PromptForOutsideDomainsWanted": 0})
        sink = harness.Sink()
        self.addCleanup(sink.close)
        milter = harness.Milter(POSTWARDEN, home)
        self.addCleanup(milter.stop)
        postfix = harness.Postfix(os.path.join(folder, "postfix"), sink.port,
                                  "inet:127.0.0.1:%d" % milter.port)
        self.addCleanup(postfix.stop)

        def verdict(tag, words):
            return postfix.send(message(tag, subject=words), "alice@corp.example",
                                ["bob@corp.example"])[0]

        def refreshed(times):
            return refreshes(home) >= times

        self.assertEqual(verdict("r1", "apples"), 550)
        self.assertEqual(verdict("r2", "pears"), 250)
        write_central(central, "pears")
        # Not per message: the file changed, the settings did not.
        self.assertEqual(verdict("r3", "pears please"), 250)
        milter.send_signal(signal.SIGHUP)
        harness.wait_until(lambda: refreshed(2), "a refresh after SIGHUP")
        self.assertEqual(verdict("r4", "pears again"), 550)
        self.assertEqual(verdict("r5", "apples again"), 250)
        # A source that cannot be read keeps what was read last.
        with open(central, "w") as f:
            f.write("<not a settings document")
        milter.send_signal(signal.SIGHUP)
        harness.wait_until(lambda: refreshed(3), "a second refresh")
        self.assertEqual(verdict("r6", "more pears"), 550)
        self.assertIsNone(milter.process.poll())


class SharedApprovals(unittest.TestCase):
    """Two mail servers, a milter each, their approvals in one PostgreSQL."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="pw-milter-")
        os.chmod(cls.folder, 0o755)
        cls.pg = harness.PostgreSQL(os.path.join(cls.folder, "pg"))
        cls.sink = harness.Sink()
        cls.milters, cls.servers = [], []
        # Both servers' settings come from one central document.
        cls.central = os.path.join(cls.folder, "central.xml")
        write_central(cls.central, "apples", outside=1)
        for name in ("a", "b"):
            home = make_home(cls.folder, "home-" + name,
                             dict(RULES, FetchSettingsNetworkLocation=cls.central))
            milter = harness.Milter(POSTWARDEN, home, ["--approvals", cls.pg.url])
            cls.milters.append(milter)
            cls.servers.append(harness.Postfix(os.path.join(cls.folder, "postfix-" + name),
                                               cls.sink.port,
                                               "inet:127.0.0.1:%d" % milter.port))

    @classmethod
    def tearDownClass(cls):
        for server in cls.servers:
            server.stop()
        for milter in cls.milters:
            milter.stop()
        cls.sink.close()
        cls.pg.stop()
        if not os.environ.get("PW_KEEP"):
            shutil.rmtree(cls.folder, ignore_errors=True)

    def send(self, server, sent):
        return server.send(sent, "alice@corp.example", ["dave@other.example"])[0]

    def test_a_refresh_asked_at_one_server_is_made_at_both(self):
        a, b = self.servers
        home_a, home_b = (milter.home for milter in self.milters)

        def verdict(server, tag, words):
            return server.send(message(tag, subject=words), "alice@corp.example",
                               ["bob@corp.example"])[0]

        self.assertEqual(verdict(b, "shared-r1", "pears"), 250)
        write_central(self.central, "pears", outside=1)
        before = refreshes(home_a), refreshes(home_b)
        self.milters[0].send_signal(signal.SIGHUP)
        harness.wait_until(lambda: refreshes(home_a) > before[0], "the refresh at a")
        # Followed at b within its 10 s, with nothing said to b itself.
        harness.wait_until(lambda: refreshes(home_b) > before[1], "the refresh at b", 25)
        self.assertEqual(verdict(b, "shared-r2", "pears again"), 550)
        self.assertEqual(verdict(a, "shared-r3", "more pears"), 550)
        self.assertEqual(verdict(b, "shared-r4", "apples"), 250)
        self.assertIn("the other mail servers are asked to refresh too",
                      harness.read(os.path.join(home_a, "postwarden.log")))
        self.assertIn("a refresh was asked at another mail server",
                      harness.read(os.path.join(home_b, "postwarden.log")))
        self.assertEqual(self.pg.sql("SELECT asked FROM postwarden_refresh_state"), "1")
        # And the other way round, the second time.
        write_central(self.central, "plums", outside=1)
        self.milters[1].send_signal(signal.SIGHUP)
        harness.wait_until(lambda: refreshes(home_a) > before[0] + 1, "the second at a", 25)
        self.assertEqual(verdict(a, "shared-r5", "plums"), 550)
        self.assertEqual(self.pg.sql("SELECT asked FROM postwarden_refresh_state"), "2")
        # One refresh a server for each asked: none follows one twice, nor
        # its own.
        time.sleep(12)
        self.assertEqual((refreshes(home_a), refreshes(home_b)), (before[0] + 2, before[1] + 2))

    def test_held_at_one_accepted_once_through_the_other(self):
        a, b = self.servers
        sent = message("shared-1", to="dave@other.example")
        self.assertEqual(self.send(a, sent), 550)
        self.assertEqual(self.send(b, sent), 250)
        self.assertEqual(self.send(a, sent), 550)
        self.pg.sql("UPDATE postwarden_resend_approvals SET held_at = held_at - 601, "
                    "expires_at = expires_at - 601")
        self.assertEqual(self.send(b, sent), 550)
        harness.wait_until(lambda: a.queue_empty() and b.queue_empty(), "empty queues")
        time.sleep(0.5)
        self.assertEqual(len(self.sink.with_header("X-Test", "shared-1")), 1)

    def test_parallel_resends_through_both_deliver_one_copy(self):
        a, b = self.servers
        sent = message("shared-2", to="dave@other.example")
        self.assertEqual(self.send(a, sent), 550)
        with concurrent.futures.ThreadPoolExecutor(max_workers=20) as pool:
            codes = list(pool.map(lambda n: self.send(self.servers[n % 2], sent), range(20)))
        self.assertEqual(codes.count(250), 1, codes)
        self.assertEqual(codes.count(550), 19, codes)
        harness.wait_until(lambda: a.queue_empty() and b.queue_empty(), "empty queues")
        time.sleep(0.5)
        self.assertEqual(len(self.sink.with_header("X-Test", "shared-2")), 1)
        # The approval, taken once, and no other offered by the 19 refusals.
        rows = self.pg.sql("SELECT count(*) FROM postwarden_resend_approvals WHERE taken")
        self.assertEqual(rows, "1")

    def test_with_the_database_away_refusals_promise_no_resend(self):
        # Last of the class (by name): the database stays down.
        a, b = self.servers
        self.pg.stop()
        code, text = a.send(message("shared-3", to="dave@other.example"), "alice@corp.example",
                            ["dave@other.example"])
        self.assertEqual(code, 550, text)
        self.assertTrue(text.endswith("it cannot be approved by sending it again now, ask the "
                                      "mail server's administrator"), text)
        self.assertEqual(self.send(b, message("shared-3", to="dave@other.example")), 550)
        self.assertEqual(b.send(message("shared-4"), "alice@corp.example",
                                ["bob@corp.example"])[0], 250)
        (record,) = [r for r in self.milters[0].sends() if "<shared-3@" in r]
        self.assertIn("; problem: the approvals could not be read: ", record)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--postwarden", required=True)
    options, rest = parser.parse_known_args()
    POSTWARDEN = os.path.abspath(options.postwarden)
    if os.geteuid() != 0:
        print("the Postfix tests run as root (Postfix and PostgreSQL start as their users)")
        sys.exit(77)
    if not shutil.which("postfix") and not os.path.exists("/usr/sbin/postfix"):
        print("postfix is not installed (Debian package postfix)")
        sys.exit(1)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
