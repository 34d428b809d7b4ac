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

    def send(self, *recipients, answers=None):
        """Starts git send-email on the patch; `recipients` are its --to and
        --bcc options."""
        self.term.start(
            [
                "git", "send-email",
                "--sendmail-cmd=" + self.ws.sendmail_program(answers),
                "--from=Me <me@corp.example>",
                "--confirm=never", "--suppress-cc=all", "--8bit-encoding=UTF-8",
                *recipients,
                self.patch,
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


if __name__ == "__main__":
    harness.main(["git", "/usr/lib/git-core/git-send-email"])
