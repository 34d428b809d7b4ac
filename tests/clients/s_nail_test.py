#!/usr/bin/python3
"""s-nail (`mail`) with postwarden as its mta: from a terminal, driven in tmux,
the form is drawn on that terminal; from a script, without a terminal, a risky
send is held, and the same message sent again within 10 minutes goes.

s-nail hands the program its arguments and every recipient, Cc and Bcc too;
the Bcc recipients are not in the header. A failed send leaves the
message in ~/dead.letter.
"""

import os
import subprocess

import harness

OUTSIDE_QUESTION = "Are you sure you want to send this email outside the company?"


class SNailTest(harness.ClientTestCase):
    def command(self, *recipients, answers=None):
        # -n: not the system's s-nail.rc, so only what the test sets counts.
        # The mta's arguments as the README sets them (there "sendmail -i", the
        # first word being postwarden's command). DEAD: s-nail's ~ is the home
        # of the password database, not $HOME.
        return ["s-nail", "-n", "-Smta=" + self.ws.sendmail_program(answers),
                "-Smta-no-default-arguments", "-Smta-arguments=-i",
                "-SDEAD=" + self.dead_letter_path(), "-s", "Numbers", *recipients]

    def dead_letter_path(self):
        return os.path.join(self.ws.home, "dead.letter")

    def dead_letter(self):
        if not os.path.exists(self.dead_letter_path()):
            return ""
        with open(self.dead_letter_path(), encoding="utf-8") as f:
            return f.read()


class FromATerminal(SNailTest):
    def compose(self, *recipients):
        self.ws.only_outside_domains_rule()
        self.term.start(self.command(*recipients))
        self.term.keys("The figures are attached.", "Enter", "C-d")
        screen = self.term.wait_for(OUTSIDE_QUESTION, "the confirmation form on the terminal")
        self.assertIn("Post Warden", screen)
        self.assertNothingDelivered()

    def test_no_sends_nothing_and_keeps_the_message(self):
        self.compose("-b", "boss@supplier.example", "you@corp.example")
        self.term.keys("n")
        self.assertNotEqual(self.term.wait_for_exit(), 0)
        self.assertNothingDelivered()
        self.assertIn("not sent: No to", self.term.screen())
        self.assertIn("The figures are attached.", self.dead_letter())
        # What makes this case: the outside address is only an argument.
        handed = self.ws.handed()[0]
        self.assertIn("boss@supplier.example", handed.args)
        self.assertNotIn(b"boss@supplier.example", handed.data)

    def test_yes_sends(self):
        self.compose("partner@supplier.example")
        self.term.keys("y")
        self.assertEqual(self.term.wait_for_exit(), 0, harness.framed(self.term.screen()))
        self.assertDeliveredAsHanded()
        self.assertEqual(self.ws.handed()[0].args, ["-i", "partner@supplier.example"])


class FromAScript(SNailTest):
    """No terminal and no display: nobody can be asked."""

    def send(self):
        return subprocess.run(
            self.command("partner@supplier.example"),
            input="The figures are attached.\n",
            env=self.ws.environment(),
            capture_output=True,
            text=True,
            timeout=30,
            start_new_session=True,  # no controlling terminal
        )

    def test_a_fresh_home_holds_the_first_send_and_the_same_message_again_goes(self):
        # No setting made: the question before every send is on.
        held = self.send()
        self.assertNotEqual(held.returncode, 0)
        self.assertIn("nobody could be asked about the question before every send",
                      held.stderr)
        self.assertNothingDelivered()
        again = self.send()
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertEqual(len(self.ws.delivered()), 1)
        self.assertDeliveredAsHanded()


if __name__ == "__main__":
    harness.main(["s-nail"])
