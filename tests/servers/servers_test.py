"""Central settings fetched by `postwarden check` from real servers on loopback:
Dovecot over IMAP (the settings message present, missing, a wrong password,
an untrusted certificate; with a web server, both never answering) and HTTPS
(trusted, redirected, untrusted, a trusted certificate for another host, too
large, a server that never answers). Each test checks what the store holds
after the send and the lines the fetch wrote to the log.

    servers_test.py --postwarden BUILD/postwarden [unittest arguments]

Prints the time of each send that fetched (the figures of the issue's note)."""

import argparse
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

POSTWARDEN = None
EXCHANGE = "FetchSettingsFromExchange"
NETWORK = "FetchSettingsFromNetworkLocation"
EXCHANGE_ERROR = "Postwarden.FetchSettingsFromExchange"
NETWORK_ERROR = "Postwarden.FetchSettingsFromNetworkLocation"


def document(recipients):
    """A complete settings document (every element is required)."""
    return """<?xml version="1.0"?>
<PostWarden>
  <PromptForOutsideDomainsWanted>1</PromptForOutsideDomainsWanted>
  <ListOfOutsideDomains><Domain>corp.example</Domain></ListOfOutsideDomains>
  <MessageForOutsideDomains>Outside?</MessageForOutsideDomains>
  <PromptForEmailAddressesDomainsWanted>0</PromptForEmailAddressesDomainsWanted>
  <ListOfEmailAddressesDomains/>
  <MessageForEmailAddressesDomains>Watched?</MessageForEmailAddressesDomains>
  <PromptForKeywordsWanted>1</PromptForKeywordsWanted>
  <ListOfKeywords><k>secret</k><k>confidential</k></ListOfKeywords>
  <MessageForKeywords>Keywords?</MessageForKeywords>
  <PromptForNumberOfRecipientsWanted>1</PromptForNumberOfRecipientsWanted>
  <NumberOfRecipients>%d</NumberOfRecipients>
  <SeparateDLsWanted>0</SeparateDLsWanted>
  <MessageForNumberOfRecipients>Many?</MessageForNumberOfRecipients>
  <PromptForBlankSubjectWanted>1</PromptForBlankSubjectWanted>
  <MessageForBlankSubject>Blank?</MessageForBlankSubject>
  <PromptForAnySendWanted>0</PromptForAnySendWanted>
</PostWarden>
""" % recipients


def figure(what, seconds):
    print("figure: %s: %.3f s" % (what, seconds), flush=True)


class ServerTest(unittest.TestCase):
    SERVER = "server"

    @classmethod
    def setUpClass(cls):
        # One CA and one server certificate for the class: making keys is slow.
        cls.ca_folder = tempfile.mkdtemp(prefix="pw-servers-ca-")
        cls.ca = harness.CertificateAuthority(cls.ca_folder, "trusted")
        cls.cert, cls.key = cls.ca.issue(cls.SERVER)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.ca_folder, True)

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="pw-servers-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.pw = harness.Postwarden(POSTWARDEN, self.folder)

    def start(self, server):
        """`server`, stopped when the test ends."""
        self.addCleanup(server.stop)
        return server

    def assertNotLogged(self, secret):
        self.assertNotIn(secret, self.pw.log_text())


class ImapTest(ServerTest):
    SERVER = "dovecot"
    MAILBOX = "Public/Settings"

    def setUp(self):
        super().setUp()
        self.dovecot = harness.Dovecot(self.folder, self.cert, self.key)

    def start_dovecot(self):
        try:
            self.dovecot.start()
        finally:
            self.addCleanup(self.dovecot.stop)

    def url(self, scheme="imaps", credentials="alice"):
        port = self.dovecot.imaps_port if scheme == "imaps" else self.dovecot.imap_port
        return "%s://%s@127.0.0.1:%d/%s" % (scheme, credentials, port, self.MAILBOX)

    def use(self, url, trust=True, password=None):
        self.pw.netrc("machine 127.0.0.1 login alice password %s\n"
                      % (password or self.dovecot.password))
        self.pw.set("FetchSettingsExchangePublicFolder", url)
        if trust:
            self.pw.set("FetchSettingsExtraCAFile", self.ca.cert)

    def test_the_newest_settings_message_is_read(self):
        self.dovecot.deliver(self.MAILBOX, "Post Warden Settings", document(5), "1000")
        self.dovecot.deliver(self.MAILBOX, "Post Warden Settings", document(7), "2000")
        # Newer, but its subject only holds the text.
        self.dovecot.deliver(self.MAILBOX, "Re: Post Warden Settings", document(9), "3000")
        self.dovecot.deliver(self.MAILBOX, "Lunch", "nothing", "4000")
        self.start_dovecot()
        url = self.url()
        self.use(url)
        figure("IMAPS fetch (send with the fetch, netrc credentials)", self.pw.send())
        self.assertEqual(self.pw.get("MaxNumberOfRecipients"), "7")
        self.assertIn("confidential", self.pw.get("ListOfKeywords"))
        self.assertEqual(self.pw.lines(EXCHANGE), [
            "Logged on: True", "Fetching public folder from " + url,
            "Found 'Post Warden Settings'; Format: 1", "Read settings successfully: True"])
        self.assertNotLogged(self.dovecot.password)

    def test_starttls_and_a_password_in_the_url(self):
        self.dovecot.deliver(self.MAILBOX, "Post Warden Settings", document(11), "1000")
        self.start_dovecot()
        url = self.url("imap", "alice:" + self.dovecot.password)
        self.use(url, password="not-this-one")
        figure("IMAP STARTTLS fetch (send with the fetch)", self.pw.send())
        self.assertEqual(self.pw.get("MaxNumberOfRecipients"), "11")
        self.assertEqual(self.pw.lines(EXCHANGE)[1],
                         "Fetching public folder from " + self.url("imap", "alice:****"))
        self.assertNotLogged(self.dovecot.password)

    def test_a_folder_without_the_message(self):
        self.dovecot.deliver(self.MAILBOX, "Post Warden Settings (draft)", document(9), "1000")
        self.start_dovecot()
        self.use(self.url())
        self.pw.send()
        self.assertEqual(self.pw.lines(EXCHANGE)[-1], "Failed to find 'Post Warden Settings'")
        # Nothing fetched: the store keeps what it was seeded with.
        self.assertEqual(self.pw.get("MaxNumberOfRecipients"), "0")
        self.assertNotIn(EXCHANGE_ERROR, [s for s, _ in self.pw.log_records()])

    def test_a_folder_that_is_not_there(self):
        self.dovecot.deliver("INBOX", "Post Warden Settings", document(9), "1000")
        self.start_dovecot()
        self.use(self.url())
        self.pw.send()
        self.assertEqual(self.pw.lines(EXCHANGE), ["Logged on: True"])
        self.assertEqual(self.pw.lines(EXCHANGE_ERROR),
                         ["Error occurred.  Reason: Not found: no mail folder Public/Settings"])

    def test_a_wrong_password(self):
        self.dovecot.deliver(self.MAILBOX, "Post Warden Settings", document(9), "1000")
        self.start_dovecot()
        self.use(self.url(), password="guessed-wrong")
        self.pw.send()
        self.assertEqual(self.pw.lines(EXCHANGE), [])
        self.assertEqual(self.pw.lines(EXCHANGE_ERROR),
                         ["Error occurred.  Reason: Logon to the mail server failed: "
                          "Login denied"])
        self.assertEqual(self.pw.get("MaxNumberOfRecipients"), "0")
        self.assertNotLogged("guessed-wrong")

    def test_an_untrusted_certificate(self):
        self.dovecot.deliver(self.MAILBOX, "Post Warden Settings", document(9), "1000")
        self.start_dovecot()
        self.use(self.url(), trust=False)
        self.pw.send()
        self.assertEqual(self.pw.lines(EXCHANGE), [])
        errors = self.pw.lines(EXCHANGE_ERROR)
        self.assertEqual(len(errors), 1)
        self.assertTrue(errors[0].startswith("Error occurred.  Reason: The fetch failed: SSL "
                                             "certificate problem"), errors[0])
        self.assertEqual(self.pw.get("MaxNumberOfRecipients"), "0")
        self.assertIn("unknown ca", self.dovecot.log_text())

    def test_two_servers_that_never_answer_hold_the_send_as_long_as_one(self):
        silent = self.start(harness.SilentServer())
        url = "imaps://alice@127.0.0.1:%d/%s" % (silent.port, self.MAILBOX)
        self.use(url)
        file_url = "https://127.0.0.1:%d/pw.xml" % silent.port
        self.pw.set("FetchSettingsNetworkLocation", file_url)
        seconds = self.pw.send()
        figure("an IMAP server and a web server that never answer (send with both fetches)",
               seconds)
        # One time limit of 10 s for both fetches, not 10 s each.
        self.assertLess(seconds, 15)
        self.assertEqual(self.pw.lines(EXCHANGE), [])
        self.assertEqual(self.pw.lines(NETWORK), ["Fetching file from " + file_url])
        for source in (EXCHANGE_ERROR, NETWORK_ERROR):
            errors = self.pw.lines(source)
            self.assertEqual(len(errors), 1, errors)
            self.assertTrue(errors[0].startswith(
                "Error occurred.  Reason: The fetch did not finish within 10 seconds ("),
                errors[0])
        self.assertEqual(self.pw.get("MaxNumberOfRecipients"), "0")


class HttpsTest(ServerTest):
    SERVER = "web"

    def setUp(self):
        super().setUp()
        cert, key = self.cert, self.key
        self.routes = {
            "/pw.xml": (200, {"Content-Type": "application/xml"}, document(13).encode()),
            "/moved": (302, {"Location": "/pw.xml"}, b""),
            "/loop": (302, {"Location": "/loop"}, b""),
            "/big": (200, {}, b"<PostWarden>" + b" " * (4 << 20) + b"</PostWarden>"),
        }
        self.web = self.start(harness.WebServer(self.routes, cert, key))

    def use(self, url, trust=True):
        self.pw.set("FetchSettingsNetworkLocation", url)
        if trust:
            self.pw.set("FetchSettingsExtraCAFile", self.ca.cert)

    def fetch_error(self):
        errors = self.pw.lines(NETWORK_ERROR)
        self.assertEqual(len(errors), 1, errors)
        self.assertEqual(self.pw.get("MaxNumberOfRecipients"), "0")
        return errors[0]

    def test_a_trusted_server(self):
        url = self.web.url("/pw.xml")
        self.use(url)
        figure("HTTPS fetch (send with the fetch)", self.pw.send())
        self.assertEqual(self.pw.get("MaxNumberOfRecipients"), "13")
        self.assertEqual(self.pw.lines(NETWORK), [
            "Fetching file from " + url, "Read settings successfully: True"])

    def test_a_redirect_is_followed_and_a_password_never_shown(self):
        url = self.web.url("/moved").replace("://", "://alice:hunter22@")
        self.use(url)
        self.pw.send()
        self.assertEqual(self.pw.get("MaxNumberOfRecipients"), "13")
        self.assertEqual(self.pw.lines(NETWORK)[0],
                         "Fetching file from " + url.replace("hunter22", "****"))
        self.assertNotLogged("hunter22")

    def test_redirects_are_limited(self):
        self.use(self.web.url("/loop"))
        self.pw.send()
        self.assertIn("The fetch failed: Maximum (5) redirects followed", self.fetch_error())

    def test_a_redirect_never_leaves_tls(self):
        plain = self.start(harness.WebServer(self.routes))
        self.routes["/to-plain"] = (302, {"Location": plain.url("/pw.xml")}, b"")
        self.use(self.web.url("/to-plain"))
        self.pw.send()
        self.assertIn("The fetch failed: ", self.fetch_error())

    def test_plain_http(self):
        plain = self.start(harness.WebServer(self.routes))
        self.use(plain.url("/pw.xml"), trust=False)
        self.pw.send()
        self.assertEqual(self.pw.get("MaxNumberOfRecipients"), "13")

    def test_an_untrusted_certificate(self):
        self.use(self.web.url("/pw.xml"), trust=False)
        self.pw.send()
        self.assertIn("The fetch failed: SSL certificate problem", self.fetch_error())

    def test_a_trusted_certificate_for_another_host(self):
        # Whoever has one could serve the settings and switch the rules off.
        cert, key = self.ca.issue("elsewhere", ("DNS:intranet.corp.example",))
        other = self.start(harness.WebServer(self.routes, cert, key))
        self.use(other.url("/pw.xml"))
        self.pw.send()
        self.assertIn("The fetch failed: SSL: no alternative certificate subject name matches "
                      "target host name '127.0.0.1'", self.fetch_error())

    def test_a_missing_document(self):
        self.use(self.web.url("/none.xml"))
        self.pw.send()
        self.assertIn("The fetch failed: The requested URL returned error: 404",
                      self.fetch_error())

    def test_a_document_over_the_limit(self):
        self.use(self.web.url("/big"))
        self.pw.send()
        self.assertEqual(self.fetch_error(),
                         "Error occurred.  Reason: The fetched document is larger than 4194304 "
                         "bytes, the limit for a settings document")

    def test_a_server_that_never_answers(self):
        silent = self.start(harness.SilentServer())
        url = "https://127.0.0.1:%d/pw.xml" % silent.port
        self.use(url)
        seconds = self.pw.send()
        figure("a server that never answers (send with the fetch)", seconds)
        self.assertEqual(self.pw.lines(NETWORK), ["Fetching file from " + url])
        self.assertTrue(self.fetch_error().startswith(
            "Error occurred.  Reason: The fetch did not finish within 10 seconds ("),
            self.pw.lines(NETWORK_ERROR))


def main():
    global POSTWARDEN
    parser = argparse.ArgumentParser()
    parser.add_argument("--postwarden", required=True)
    args, rest = parser.parse_known_args()
    POSTWARDEN = os.path.abspath(args.postwarden)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
