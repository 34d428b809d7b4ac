#!/usr/bin/python3
"""Claws Mail with postwarden as its account's mail command, under Xvfb.

Claws Mail runs the command without a terminal, feeding it the message, and
appends no recipients (its default command is `sendmail -t -i`): the Bcc
recipients are only in the header it hands over. With a display the question
is Postwarden's own window. After a refusal Claws shows two dialogs of its own,
which do not say why, and keeps the compose window.

PW_SCREENSHOTS=DIR saves the screen at each step as DIR/claws-*.png.
"""

import os
import subprocess

import harness

COMPOSE = "^Numbers - Compose message$"
QUESTION = "^Post Warden$"
REPORT = "^(Error|Warning)$"
STARTUP = 30.0  # Claws Mail's first start, on a busy machine


class ClawsMailTest(harness.ClientTestCase):
    def setUp(self):
        super().setUp()
        self.display = harness.Display(self.ws)
        self.addCleanup(self.display.close)
        self.ws.only_outside_domains_rule()
        # A ready account and mailbox, so that Claws starts without its wizard.
        config = os.path.join(self.ws.home, ".claws-mail")
        os.makedirs(config)
        for folder in ("inbox", "sent", "queue", "draft", "trash"):
            os.makedirs(os.path.join(self.ws.home, "Mail", folder))
        files = {
            "accountrc": "[Account: 1]\naccount_name=me@corp.example\nis_default=1\nname=Me\n"
                         "address=me@corp.example\nprotocol=6\nuse_mail_command=1\n"
                         "mail_command=%s -t -i\n" % self.ws.sendmail_program(),
            # No spelling dictionary here: its error dialog would stand in the way.
            "clawsrc": "[Common]\nenable_aspell=0\n",
            "folderlist.xml": '<?xml version="1.0" encoding="UTF-8"?>\n<folderlist>\n'
                              '<folder type="mh" name="Mailbox" path="Mail">\n'
                              + "".join('<folderitem type="%s" name="%s" path="%s" />\n'
                                        % (kind, name, name) for kind, name in
                                        (("inbox", "inbox"), ("outbox", "sent"),
                                         ("queue", "queue"), ("draft", "draft"),
                                         ("trash", "trash")))
                              + "</folder>\n</folderlist>\n",
        }
        for name, text in files.items():
            with open(os.path.join(config, name), "w", encoding="utf-8") as f:
                f.write(text)
        # An inside To and an outside Bcc: only the Bcc makes the rule fire.
        self.claws = subprocess.Popen(
            ["claws-mail", "--compose", "mailto:you@corp.example?subject=Numbers"
             "&body=The%20figures%20are%20attached.&bcc=boss@supplier.example"],
            env=self.display.environment(), stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True,
        )
        self.addCleanup(self.stop_claws)

    def stop_claws(self):
        self.claws.terminate()
        try:
            self.claws.wait(10)
        except subprocess.TimeoutExpired:
            self.claws.kill()
            self.claws.wait()

    def send_and_answer(self, key, step):
        compose = self.display.wait_for_window(COMPOSE, "the compose window", timeout=STARTUP)
        self.display.keys(compose, "ctrl+Return")
        question = self.display.wait_for_window(QUESTION, "Postwarden's question",
                                                screenshot="claws-%s-question" % step)
        self.assertNothingDelivered()
        self.display.keys(question, key)
        self.display.wait_until_gone(QUESTION, "Postwarden's question")

    def test_no_keeps_the_message_and_yes_delivers_it_once(self):
        self.send_and_answer("n", "no")
        # Claws's own report, two dialogs one after the other, neither saying
        # why; the compose window stays.
        for report in ("command", "queue"):
            dialog = self.display.wait_for_window(
                REPORT, "Claws Mail's report of the failed send",
                screenshot="claws-no-report-" + report)
            self.display.keys(dialog, "Return")
            self.display.wait_until_gone(REPORT, "the report", window=dialog)
        self.assertNothingDelivered()
        handed = self.ws.handed()
        self.assertEqual(len(handed), 1)
        self.assertEqual(handed[0].args, ["-t", "-i"])
        self.assertIn(b"Bcc: boss@supplier.example", handed[0].data)
        self.assertTrue(self.display.windows(COMPOSE), "the compose window is gone")

        self.send_and_answer("y", "yes")
        self.display.wait_until_gone(COMPOSE, "the compose window after the send")
        self.assertEqual(len(self.ws.delivered()), 1)
        self.assertDeliveredAsHanded()


if __name__ == "__main__":
    harness.main(["claws-mail", "Xvfb", "xdotool"])
