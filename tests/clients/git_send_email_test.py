#!/usr/bin/python3
"""git send-email with postwarden as its --sendmail-cmd, driven in tmux.

git send-email runs the program with its own terminal, in line mode, and waits
for it; --bcc addresses reach the program only as arguments.
"""

import os
import subprocess

import harness

OUTSIDE_QUESTION = "Are you sure you want to send this email outside the company?"


class GitSendEmailTest(harness.ClientTestCase):
    def setUp(self):
        super().setUp()
        self.repo = os.path.join(self.ws.root, "repo")
        os.makedirs(self.repo)
        self.git("init", "-q")
        self.git("config", "user.name", "Me")
        self.git("config", "user.email", "me@corp.example")
        with open(os.path.join(self.repo, "greeting.txt"), "w", encoding="utf-8") as f:
            f.write("Grüße\n")
        self.git("add", "greeting.txt")
        self.git("commit", "-q", "-m", "Add the greeting")
        self.patch = self.git("format-patch", "-1", "-o", "../patches").strip()

    def git(self, *args):
        return subprocess.run(
            ["git", *args],
            cwd=self.repo,
            env=self.ws.environment(GIT_CONFIG_NOSYSTEM="1"),
            check=True,
            capture_output=True,
            text=True,
        ).stdout

    def send(self, *recipients, answers=None, patches=None):
        """Starts git send-email on the patch (or `patches`); `recipients` are
        its --to and --bcc options."""
        self.term.start(
            [
                "git", "send-email",
                "--sendmail-cmd=" + self.ws.sendmail_program(answers),
                "--from=Me <me@corp.example>",
                "--confirm=never", "--suppress-cc=all", "--8bit-encoding=UTF-8",
                *recipients,
                *(patches or [self.patch]),
            ],
            cwd=self.repo,
            env={"GIT_CONFIG_NOSYSTEM": "1"},
        )

    def assertRefused(self):
        status = self.term.wait_for_exit()
        self.assertNotEqual(status, 0, "git send-email reported the patch as sent")
        self.assertEqual(len(self.ws.handed()), 1, "git send-email did not run the program")
        self.assertNothingDelivered()

    def assertSent(self):
        status = self.term.wait_for_exit()
        self.assertEqual(status, 0, harness.framed(self.term.screen()))
        self.assertDeliveredAsHanded()


class ScriptedAnswers(GitSendEmailTest):
    def test_a_patch_no_rule_stops_arrives_byte_for_byte(self):
        # Answering No: had anything asked, nothing would arrive.
        self.ws.no_rules()
        self.send("--to=you@corp.example", "--cc=team@corp.example", answers="no")
        self.assertSent()
        self.assertIn(b"Gr\xc3\xbc\xc3\x9fe", self.ws.delivered()[0].data)
        self.assertEqual(self.ws.handed()[0].args, ["-i", "you@corp.example", "team@corp.example"])

    def test_a_refused_patch_is_not_sent(self):
        self.ws.only_outside_domains_rule()
        self.send("--to=partner@supplier.example", answers="no")
        self.assertRefused()
        self.assertIn("not sent: No to", self.term.screen())

    def test_a_bcc_recipient_outside_is_checked(self):
        self.ws.only_outside_domains_rule()
        self.send("--to=you@corp.example", "--bcc=outside@supplier.example", answers="no")
        self.assertRefused()
        # What makes this case: the outside address is only an argument.
        handed = self.ws.handed()[0]
        self.assertIn("outside@supplier.example", handed.args)
        self.assertNotIn(b"outside@supplier.example", handed.data)


class TerminalForm(GitSendEmailTest):
    """No display and no scripted answers: the form is drawn on git's terminal."""

    def ask(self, *recipients):
        self.ws.only_outside_domains_rule()
        self.send(*recipients)
        screen = self.term.wait_for(OUTSIDE_QUESTION, "the confirmation form")
        self.assertIn("Post Warden", screen)
        self.assertRegex(screen, r"Yes .*No")
        self.assertNothingDelivered()

    def test_yes_sends(self):
        self.ask("--to=partner@supplier.example")
        self.term.keys("y")
        self.assertSent()

    def test_no_sends_nothing(self):
        self.ask("--to=partner@supplier.example")
        self.term.keys("n")
        self.assertRefused()

    def test_a_bcc_recipient_outside_asks(self):
        self.ask("--to=you@corp.example", "--bcc=outside@supplier.example")
        self.term.keys("n")
        self.assertRefused()


class Series(GitSendEmailTest):
    """Each patch of a series is a run of its own: a No ends git send-email
    there, and the patches after it are never handed over."""

    def series(self):
        for n in (2, 3):
            with open(os.path.join(self.repo, "greeting.txt"), "a", encoding="utf-8") as f:
                f.write("line %d\n" % n)
            self.git("commit", "-q", "-a", "-m", "Greeting, part %d" % n)
        return self.git("format-patch", "-3", "-o", "../series").split()

    def answer(self, key, patch):
        """Answers the form of the `patch`-th run of this test with `key`."""
        self.term.wait_for(
            lambda s: len(self.ws.handed()) == patch and OUTSIDE_QUESTION in s,
            "the form of patch %d" % patch,
        )
        self.term.keys(key)

    def test_a_no_ends_the_series_and_the_rest_is_sent_again(self):
        self.ws.only_outside_domains_rule()
        patches = self.series()
        self.send("--to=partner@supplier.example", patches=patches)
        self.answer("y", 1)
        self.answer("n", 2)
        self.assertNotEqual(self.term.wait_for_exit(), 0)
        self.assertIn("Died at", self.term.screen())
        # Patch 1 went, patch 2 was refused, patch 3 was never tried.
        self.assertEqual(len(self.ws.handed()), 2)
        self.assertEqual(len(self.ws.delivered()), 1)
        self.assertIn(b"[PATCH 1/3]", self.ws.delivered()[0].data)
        # What the README says to do: send the rest again.
        self.term.close()
        self.send("--to=partner@supplier.example", patches=patches[1:])
        self.answer("y", 3)
        self.answer("y", 4)
        self.assertEqual(self.term.wait_for_exit(), 0, harness.framed(self.term.screen()))
        self.assertEqual([b"[PATCH %d/3]" % n in d.data for n, d in
                          zip((1, 2, 3), self.ws.delivered())], [True] * 3)


if __name__ == "__main__":
    harness.main(["git", "/usr/lib/git-core/git-send-email"])
