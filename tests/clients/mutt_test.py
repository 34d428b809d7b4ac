#!/usr/bin/python3
"""mutt or NeoMutt (--client) with postwarden as its sendmail program, driven in tmux.

mutt starts its sendmail program in a new session, without a controlling
terminal, and waits for it with its own terminal in curses mode; Bcc addresses
reach the program only as arguments.
"""

import os
import re
import shutil
import sys
import time

import harness

CLIENT = "mutt"
OUTSIDE_QUESTION = "Are you sure you want to send this email outside the company?"


class MuttTest(harness.ClientTestCase):
    def start(self, headers, answers=None, body="Hello, the numbers are attached.\n", env=()):
        """Starts the client on an inbox of three messages. Its editor puts
        `headers` and `body` into every new message. `env` is what `env(1)`
        is to change in the client's environment ("-u NAME", "NAME=value")."""
        ws = self.ws
        inbox = ws.make_maildir("inbox", [harness.inbox_message(n) for n in (1, 2, 3)])
        draft = os.path.join(ws.root, "draft")
        with open(draft, "w", encoding="utf-8") as f:
            f.write("From: Me <me@corp.example>\n" + headers + "\n" + body)
        # mutt takes the edit back only if the file's time changed, and a copy
        # made within the second the file was created can carry the very same
        # time (the file system's clock lags the one mutt reads): mutt then
        # drops the headers and the compose screen comes up empty. The editor
        # dates its copy a second ahead, so it always counts as changed.
        editor = os.path.join(ws.root, "editor")
        with open(editor, "w", encoding="utf-8") as f:
            f.write(f'#!/bin/sh\ncp "{draft}" "$1" && touch -d "@$(($(date +%s) + 1))" "$1"\n')
        os.chmod(editor, 0o755)
        muttrc = os.path.join(ws.root, "muttrc")
        with open(muttrc, "w", encoding="utf-8") as f:
            # edit_headers + autoedit: `m` goes straight to the editor, which
            # copies the prepared draft, headers included, over the new message.
            f.write(
                f'set sendmail="{ws.sendmail_program(answers)} -oem -oi"\n'
                f'set editor="{editor}"\n'
                f"set folder={ws.maildir} spoolfile={inbox} mbox_type=Maildir tmpdir={ws.tmp}\n"
                "set from=me@corp.example realname=Me use_from hostname=corp.example\n"
                "set edit_headers autoedit noabort_unmodified\n"
                'set record="" nocopy postpone=no sendmail_wait=0\n'
                "set arrow_cursor charset=utf-8\n"
            )
        self.term.start(["env", *env, CLIENT, "-n", "-F", muttrc])
        self.term.wait_for("Inbox message 3", "the index")

    def compose_and_send(self):
        self.term.keys("m")
        self.term.wait_for("Compose", "the compose screen")
        self.term.keys("y")
        # mutt stamps the body when it makes it, before the editor runs: the
        # editor's copy, dated later, makes mutt ask whether to update the
        # body's encoding before it sends. Its default, yes, changes nothing
        # here; any other screen means it went on without asking.
        deadline = time.monotonic() + 2
        while time.monotonic() < deadline:
            screen = self.term.screen()
            if "modified. Update encoding" in screen:
                self.term.keys("Enter")
                break
            if "y:Send" not in screen:
                break
            time.sleep(0.05)

    def wait_for_send_error(self):
        """mutt's report of a sendmail program that exited 1, shown with the
        program's output in a pager; returns that screen."""
        return self.term.wait_for("Error sending message, child exited 1", "mutt's send error")

    def assertStillComposing(self, recipient):
        """Leaves the error pager; the message must be back in the compose screen."""
        self.term.keys("i")
        screen = self.term.wait_for("Compose", "the compose screen after the error")
        self.assertIn(recipient, screen)


class ScriptedAnswers(MuttTest):
    def test_a_message_no_rule_stops_arrives_byte_for_byte(self):
        # Answering No: had anything asked, nothing would arrive.
        self.ws.no_rules()
        self.start(
            "To: You <you@corp.example>\nCc: team@corp.example\nSubject: Grüße zum Quartal\n",
            answers="no",
            body="Zahlen für Q3: 12 % mehr.\nFrom here on, the details.\n.\nTrailing blanks:   \n",
        )
        self.compose_and_send()
        self.term.wait_for("Mail sent", "mutt's confirmation")
        self.assertDeliveredAsHanded()
        self.assertEqual(
            self.ws.handed()[0].args,
            ["-oem", "-oi", "--", "you@corp.example", "team@corp.example"],
        )

    def test_a_refused_message_stays_in_the_compose_screen(self):
        self.ws.only_outside_domains_rule()
        self.start("To: partner@supplier.example\nSubject: Numbers\n", answers="no")
        self.compose_and_send()
        screen = self.wait_for_send_error()
        self.assertIn("not sent: No to", screen)
        self.assertEqual(len(self.ws.handed()), 1, "mutt did not run its sendmail program")
        self.assertNothingDelivered()
        self.assertStillComposing("partner@supplier.example")

    def test_a_bcc_recipient_outside_is_checked(self):
        self.ws.only_outside_domains_rule()
        self.start(
            "To: you@corp.example\nBcc: partner@supplier.example\nSubject: Numbers\n",
            answers="no",
        )
        self.compose_and_send()
        self.wait_for_send_error()
        self.assertNothingDelivered()
        # What makes this case: the outside address is only an argument.
        handed = self.ws.handed()[0]
        self.assertIn("partner@supplier.example", handed.args)
        self.assertNotIn(b"partner@supplier.example", handed.data)
        self.assertStillComposing("partner@supplier.example")


class TerminalForm(MuttTest):
    """No display and no scripted answers: the form is drawn on mutt's terminal."""

    def ask(self):
        self.ws.only_outside_domains_rule()
        self.start("To: partner@supplier.example\nSubject: Numbers\n")
        self.compose_and_send()
        screen = self.term.wait_for(OUTSIDE_QUESTION, "the confirmation form on mutt's terminal")
        self.assertIn("Post Warden", screen)
        self.assertRegex(screen, r"Yes .*No")
        self.assertNothingDelivered()

    def test_no_sends_nothing_and_mutt_keeps_the_message(self):
        self.ask()
        self.term.keys("n")
        screen = self.wait_for_send_error()
        self.assertNotIn("Post Warden", screen)
        self.assertNothingDelivered()
        self.assertStillComposing("partner@supplier.example")
        # mutt still takes keys: its help, then back.
        self.term.keys("?")
        self.term.wait_for("Help for compose", "mutt's help screen")
        self.term.keys("q")
        self.term.wait_for("Compose", "the compose screen after the help")

    def test_yes_sends_and_the_index_works_afterwards(self):
        self.ask()
        self.term.keys("y")
        screen = self.term.wait_for(
            lambda s: "Mail sent" in s and re.search(r"->\s+3 .*Inbox message 3", s),
            "mutt's confirmation in its index",
        )
        self.assertNotIn("Post Warden", screen)
        self.assertDeliveredAsHanded()
        self.term.keys("k")
        self.term.wait_for(lambda s: "->    2" in s, "the cursor on the second message")


    def test_a_forgotten_attachment_is_asked_about_with_its_line(self):
        # The default body says "the numbers are attached", and nothing is.
        self.ws.settings(PromptForAnySendWanted=0, PromptForMissingAttachmentWanted=1)
        self.start("To: you@corp.example\nSubject: Numbers\n")
        self.compose_and_send()
        screen = self.term.wait_for(
            "mentions an attachment but has none", "the attachment question on mutt's terminal"
        )
        self.assertIn('Mentions an attachment ("attached"), but has none:', screen)
        self.assertIn("Hello, the numbers are attached.", screen)
        self.assertNothingDelivered()
        self.term.keys("n")
        self.wait_for_send_error()
        self.assertNothingDelivered()
        self.assertStillComposing("you@corp.example")

class LookAlikeAndCountdown(MuttTest):
    """The checks beyond the lists, on mutt's terminal: a domain one slip away
    from the company's own, and the countdown that lets a send be taken back."""

    def test_a_look_alike_domain_is_asked_about_with_what_it_looks_like(self):
        # Look-Alike Domains is on in a fresh home; the company's domain comes
        # from ListOfOutsideDomains, whose own rule stays off here.
        self.ws.settings(PromptForAnySendWanted=0, ListOfOutsideDomains="corp.example")
        self.start("To: Finance <finance@c0rp.example>\nSubject: Numbers\n")
        self.compose_and_send()
        screen = self.term.wait_for("only looks like one you know",
                                    "the look-alike question on mutt's terminal")
        self.assertIn("c0rp.example looks like corp.example", screen)
        self.assertNothingDelivered()
        self.term.keys("n")
        self.wait_for_send_error()
        self.assertNothingDelivered()
        self.assertStillComposing("finance@c0rp.example")

    def count_down(self):
        """Sends a message nothing asks about with a countdown long enough
        that it cannot run out in the test; returns the seconds first shown."""
        self.ws.settings(PromptForAnySendWanted=0, SendDelaySeconds=45)
        self.start("To: you@corp.example\nSubject: Numbers\n")
        self.compose_and_send()
        screen = self.term.wait_for(lambda s: re.search(r"Sending in \d+ s", s),
                                    "the countdown on mutt's terminal")
        self.assertIn("Send now", screen)
        self.assertIn("Cancel", screen)
        self.assertNothingDelivered()
        return int(re.search(r"Sending in (\d+) s", screen).group(1))

    def test_cancel_in_the_countdown_keeps_the_message_in_mutt(self):
        first = self.count_down()
        self.assertLessEqual(first, 45)
        # The number goes down while nobody touches a key.
        self.term.wait_for(
            lambda s: (m := re.search(r"Sending in (\d+) s", s)) and int(m.group(1)) < first,
            "the countdown's next second")
        self.term.keys("c")
        # mutt's pager with what the program said (the error line alone may
        # show a moment before it).
        screen = self.term.wait_for("not sent: cancelled in the countdown",
                                    "mutt's report of the cancelled send")
        self.assertIn("Error sending message, child exited 1", screen)
        self.assertNotIn("Sending in", screen)
        self.assertNothingDelivered()
        self.assertStillComposing("you@corp.example")
        self.assertIn("cancelled in the countdown", self.ws.postwarden("log", "--sends").stdout)

    def test_send_now_sends_at_once(self):
        self.count_down()
        self.term.keys("n")
        screen = self.term.wait_for("Mail sent", "mutt's confirmation")
        self.assertNotIn("Sending in", screen)
        self.assertDeliveredAsHanded()


class QtWindow(MuttTest):
    """A display, and a session without XDG_RUNTIME_DIR (Qt warns of it): the
    question is Postwarden's window, and mutt's report of the refused send
    shows Postwarden's line alone; Qt's warning is in the log."""

    def test_a_no_in_the_window_is_reported_in_postwarden_s_words_only(self):
        if not (shutil.which("Xvfb") and shutil.which("xdotool")):
            self.skipTest("Xvfb and xdotool are not installed (scripts/setup.sh installs them)")
        display = harness.Display(self.ws)
        self.addCleanup(display.close)
        self.ws.only_outside_domains_rule()
        self.start("To: partner@supplier.example\nSubject: Numbers\n",
                   env=["-u", "XDG_RUNTIME_DIR", "DISPLAY=" + display.name])
        self.compose_and_send()
        window = display.wait_for_window("^Post Warden$", "Postwarden's window",
                                          screenshot=CLIENT + "-question")
        display.keys(window, "n")
        screen = self.wait_for_send_error()
        self.assertIn("postwarden: not sent: No to", screen)
        self.assertNotIn("QStandardPaths", screen)
        self.assertNothingDelivered()
        self.assertIn("\tQt\tQStandardPaths: XDG_RUNTIME_DIR not set",
                      self.ws.postwarden("log").stdout)
        self.assertStillComposing("partner@supplier.example")


if __name__ == "__main__":
    if "--client" in sys.argv:
        at = sys.argv.index("--client")
        CLIENT = sys.argv[at + 1]
        del sys.argv[at : at + 2]
    harness.main([CLIENT])
