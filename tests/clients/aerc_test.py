#!/usr/bin/python3
"""aerc with postwarden as its outgoing command, driven in tmux.

aerc runs the command with its terminal inherited and keeps reading that
terminal meanwhile, sends the command's output to /dev/null, and after a failed
send reopens the review tab without redrawing until a key or a resize comes.
"""

import os
import subprocess
import urllib.parse

import harness

REVIEW = "Send this email?"


class AercTest(harness.ClientTestCase):
    def start(self, answers=None):
        """Starts aerc on an inbox of three messages, its account sending
        through postwarden."""
        ws = self.ws
        ws.make_maildir("inbox", [harness.inbox_message(n) for n in (1, 2, 3)])
        config = os.path.join(ws.home, ".config", "aerc")
        os.makedirs(config)
        accounts = os.path.join(config, "accounts.conf")
        # aerc refuses an accounts.conf that others may read.
        with open(os.open(accounts, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
            f.write(
                "[corp]\n"
                f"source = maildir://{ws.maildir}\n"
                f"outgoing = {ws.sendmail_program(answers)}\n"
                "default = inbox\n"
                "from = Me <me@corp.example>\n"
                "copy-to =\n"
            )
        with open(os.path.join(config, "aerc.conf"), "w") as f:
            # The editor leaves the body from the mailto: link as it is, so
            # composing goes straight to the review screen.
            f.write("[compose]\neditor = true\nheader-layout = To|From,Cc|Bcc,Subject\n")
        self.term.start(["aerc"])
        self.term.wait_for("Inbox message 3", "aerc's message list")

    def compose(self, to, subject, body, **more):
        """Opens a composer in the running aerc through a mailto: link (as a
        desktop would) and waits for its review screen. `more`: cc, bcc."""
        query = urllib.parse.urlencode(
            {"subject": subject, "body": body, **more}, quote_via=urllib.parse.quote
        )
        result = subprocess.run(
            ["aerc", "mailto:%s?%s" % (to, query)],
            env=self.ws.environment(),
            stdin=subprocess.DEVNULL,
            capture_output=True,
            text=True,
            timeout=10,
        )
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        # aerc opens the tab without drawing it.
        self.term.wait_for(REVIEW, "the review screen", nudge=True)

    def assertBackInReview(self, subject):
        """After a failed send the review tab must be there again."""
        screen = self.term.wait_for(REVIEW, "the review tab after the failed send", nudge=True)
        self.assertIn(subject, screen.split("\n")[0], "the tab bar shows no composer")
        self.assertNotIn("Post Warden", screen)


class ScriptedAnswers(AercTest):
    def test_a_message_no_rule_stops_arrives_byte_for_byte(self):
        # Answering No: had anything asked, nothing would arrive.
        self.ws.no_rules()
        self.start(answers="no")
        self.compose(
            "you@corp.example",
            "Grüße zum Quartal",
            "Zahlen für Q3: 12 % mehr.\nFrom here on, the details.\n.\nTrailing blanks:   \n",
            cc="team@corp.example",
        )
        self.term.keys("y")
        self.term.wait_for("Message sent.", "aerc's confirmation", nudge=True)
        self.assertDeliveredAsHanded()
        self.assertEqual(self.ws.handed()[0].args, ["you@corp.example", "team@corp.example"])

    def refuse(self, to, **more):
        self.ws.only_outside_domains_rule()
        self.start(answers="no")
        self.compose(to, "Numbers", "Hello.\n", **more)
        self.term.keys("y")
        self.term.wait_for("exit status 1", "aerc's send error", nudge=True)
        self.assertEqual(len(self.ws.handed()), 1, "aerc did not run its outgoing command")
        self.assertNothingDelivered()
        self.assertBackInReview("Numbers")

    def test_a_refused_message_comes_back_for_review(self):
        self.refuse("partner@supplier.example")

    def test_a_bcc_recipient_outside_is_checked(self):
        self.refuse("you@corp.example", bcc="partner@supplier.example")


class NobodyToAsk(AercTest):
    """No display and no scripted answers: aerc holds the terminal, so nobody can
    be asked and a risky send is refused, until it is tried again."""

    def test_the_send_is_refused_quietly_and_goes_through_when_tried_again(self):
        self.ws.only_outside_domains_rule()
        self.start()
        self.compose("partner@supplier.example", "Numbers", "Hello.\n")
        self.term.keys("y")
        # aerc draws nothing more until a key or a resize; so the screen is
        # read once the refusal is on record, without asking for a redraw.
        screen = self.term.wait_for(
            lambda _: "within 10 minutes" in self.ws.postwarden("last", check=False).stdout,
            "postwarden last to report the refusal",
        )
        self.assertNotIn("Post Warden", screen)
        self.assertIn("corp", screen.split("\n")[0], "aerc's tab bar is gone")
        self.assertTrue("Inbox message 3" in screen or REVIEW in screen, harness.framed(screen))
        self.term.wait_for("exit status 1", "aerc's send error", nudge=True)
        self.assertEqual(len(self.ws.handed()), 1)
        self.assertNothingDelivered()

        self.assertBackInReview("Numbers")
        self.term.keys("y")
        self.term.wait_for("Message sent.", "aerc's confirmation of the second send", nudge=True)
        self.assertEqual(len(self.ws.handed()), 2)
        self.assertEqual(len(self.ws.delivered()), 1)
        self.assertDeliveredAsHanded(send=1)


if __name__ == "__main__":
    harness.main(["aerc"])
