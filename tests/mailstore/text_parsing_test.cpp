// The small text parsers of the store: address lists, HTML rendering,
// delivery order and distribution lists.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/mailstore/AddressList.h"
#include "platform/mailstore/DistributionLists.h"
#include "platform/mailstore/HtmlText.h"
#include "platform/mailstore/Maildir.h"
#include "platform/mailstore/MimeMessage.h"

namespace postwarden::mailstore {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(AddressSplitting, GivesEachMailboxAsWrittenAndPhrasesUnquoted) {
    const std::pair<const char*, Pairs> cases[] = {
        // header; phrase, address of each
        {"  A <a@x.org> ,b@y.org", {{"A", "a@x.org"}, {"", "b@y.org"}}},
        {"\"a\\\"b, c\" <q@x.org>, d@x.org", {{"\"a\\\"b, c\"", "q@x.org"}, {"", "d@x.org"}}},
        {"Team: a@x.org, B <b@x.org>;, c@x.org",
         {{"", "a@x.org"}, {"B", "b@x.org"}, {"", "c@x.org"}}},
        {"Empty:;, Other: ;", {}},
        {"a@x.org (Comment, with comma), b@x.org", {{"", "a@x.org"}, {"", "b@x.org"}}},
        {"Name (x) <n@x.org>", {{"Name (x)", "n@x.org"}}},
        {"<\"a,b\"@x.org>", {{"", "\"a,b\"@x.org"}}},
        {"x@[1.2.3.4], y@[a,b]", {{"", "x@[1.2.3.4]"}, {"", "y@[a,b]"}}},
        {"'quoted@x.org', nobody", {{"", "'quoted@x.org'"}, {"", "nobody"}}},
        {"a@x.org; b@x.org", {{"", "a@x.org"}, {"", "b@x.org"}}},
        {",, ,a@x.org,", {{"", "a@x.org"}}},
        {"a@x.org,\r\n\tB <b@x.org>\r\n", {{"", "a@x.org"}, {"B", "b@x.org"}}},  // folded
        // Unbalanced quotes and brackets must not swallow the recipients after them.
        {"\"Open <o@x.org>, p@x.org", {{"\"Open", "o@x.org"}, {"", "p@x.org"}}},
        {"Half <h@x.org, i@x.org", {{"Half", "h@x.org"}, {"", "i@x.org"}}},
        {"(unclosed a@x.org, j@x.org", {{"", "(unclosed a@x.org"}, {"", "j@x.org"}}},
        {"", {}},
    };
    for (const auto& [header, mailboxes] : cases) {
        SCOPED_TRACE(header);
        Pairs found;
        for (const RawMailbox& m : SplitAddressList(header))
            found.emplace_back(m.phrase, m.address);
        EXPECT_EQ(found, mailboxes);
    }
    // Phrases lose their quoting only.
    EXPECT_EQ(UnquotePhrase("\"Last, First\""), "Last, First");
    EXPECT_EQ(UnquotePhrase("\"a\\\"b\"  c   (d)"), "a\"b c (d)");
    EXPECT_EQ(UnquotePhrase("  =?utf-8?q?x?=  \"y\" "), "=?utf-8?q?x?= y");
}

TEST(HtmlRendering, GivesTheReadableText) {
    const std::pair<const char*, const char*> cases[] = {
        {"<p>one</p><p>two</p>", "one\n\ntwo"},
        {"a<br>b<BR/>c", "a\nb\nc"},
        {"  lots \n of\t space  ", "lots of space"},
        {"<head><title>t</title></head><style>p{}</style><script>x<y</script>body", "body"},
        {"<!-- hidden <p> -->shown", "shown"},
        {"&lt;&amp;&gt;&quot;&#65;&#x42;&euro;&unknown; & x", "<&>\"AB€&unknown; & x"},
        {"&#0;&#xD800;&#99999999;", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
        {"con&shy;fi&zwj;den&ZeroWidthSpace;ti&zwnj;al&NoBreak;&#8203;",
         "con\u00ADfi\u200Dden\u200Bti\u200Cal\u2060\u200B"},
        {"a < b and <b>c</b", "a < b and c</b"},
        {"<ScRiPt>never closed", ""},
        {"<table><tr><td>1</td><td>2</td></tr><tr><th>3</th></tr></table>after", "1 2\n3\n\nafter"},
        {"<div>a</div><div>b</div>x<br><br>y", "a\nb\nx\n\ny"},
        {"<ul><li>one<li>two</ul>", "one\ntwo"},
    };
    for (const auto& [html, text] : cases) {
        EXPECT_EQ(HtmlToText(html), text) << html;
        // Appended after other text, and rendered from where it lies in the
        // very string it is appended to, it reads the same.
        std::string after = "before\n";
        HtmlToText(html, after);
        EXPECT_EQ(after, std::string("before\n") + text) << html;
        std::string inPlace = std::string("<p>x</p>") + html;
        inPlace.reserve(2 * inPlace.size() + 16);
        HtmlToText(std::string_view(inPlace).substr(8), inPlace);
        EXPECT_EQ(inPlace, std::string("<p>x</p>") + html + text) << html;
    }
}

// Each body holds the texts in its own order, a blank line between two, and
// an empty text leaves no blank line behind: whether a body lies in the one
// copy of the texts or is put together, it reads the same.
TEST(MessageBodies, EachBodyHasEveryTextInItsOwnOrder) {
    const std::string plain = "Content-Type: text/plain\n\nPLAIN\n";
    const std::string html = "Content-Type: text/html\n\n<p>SHOWN</p>\n";
    const std::string rich = "Content-Type: text/enriched\n\nRICH\n";
    const std::string empty = "Content-Type: text/plain\n\n";
    const std::string attached =
        "Content-Type: application/pdf; name=a.pdf\nContent-Disposition: attachment\n\nx\n";
    const auto mixed = [](std::vector<std::string> parts) {
        std::string m = "Subject: s\nContent-Type: multipart/mixed; boundary=b\n\n";
        for (const std::string& part : parts) m += "--b\n" + part;
        return m + "--b--\n";
    };
    // The line end before a boundary is the boundary's, not the text's.
    const struct {
        std::string message;
        std::string text, body, html, rtf;
    } cases[] = {
        {mixed({plain, html, rich, attached}), "PLAIN", "PLAIN\n\nSHOWN\n\nRICH\n\na.pdf",
         "<p>SHOWN</p>\n\nSHOWN\n\nPLAIN\n\nRICH\n\na.pdf", "RICH\n\nPLAIN\n\nSHOWN\n\na.pdf"},
        {mixed({html, attached}), "SHOWN", "SHOWN\n\na.pdf", "<p>SHOWN</p>\n\nSHOWN\n\na.pdf", ""},
        {mixed({empty, rich, plain}), "PLAIN", "PLAIN\n\nRICH", "", "RICH\n\nPLAIN"},
        {mixed({html, empty}), "", "SHOWN", "<p>SHOWN</p>\n\nSHOWN", ""},
        {mixed({empty, attached}), "", "a.pdf", "", ""},
        {"no header block at all", "no header block at all", "no header block at all", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const MessageContent content = ParseMessage(c.message);
        EXPECT_EQ(content.Text(), c.text);
        EXPECT_EQ(content.Body(), c.body);
        EXPECT_EQ(content.HtmlBody(), c.html);
        EXPECT_EQ(content.RtfBody(), c.rtf);
        EXPECT_EQ(content.Body(), c.body);  // again, once put together
    }
}

// What a recipient's client shows as text is read, decoded as that client
// decodes it; what cannot be read is said.
TEST(MessageBodies, WhatTheRecipientReadsIsReadAndWhatCannotBeIsSaid) {
    const auto mixed = [](std::vector<std::string> parts) {
        std::string m = "Subject: s\nContent-Type: multipart/mixed; boundary=b\n\n";
        for (const std::string& part : parts) m += "--b\n" + part;
        return m + "--b--\n";
    };
    // Text `levels` multiparts deep.
    const auto nested = [](int levels) {
        std::string m = "Subject: s\nContent-Type: multipart/mixed; boundary=b0\n\n";
        for (int i = 1; i < levels; ++i) {
            m += "--b" + std::to_string(i - 1) + "\nContent-Type: multipart/mixed; boundary=b" +
                 std::to_string(i) + "\n\n";
        }
        return m + "--b" + std::to_string(levels - 1) + "\n\ninnermost\n";
    };
    const struct {
        const char* what;
        std::string message;
        std::string body;
        const char* unread;
    } cases[] = {
        {"every inline text type",
         mixed({"Content-Type: text/x-patch\n\n+a\n", "Content-Type: text/markdown\n\n# b\n",
                "Content-Type: text/csv\n\nc,d\n", "Content-Type: text/calendar\n\nSUMMARY:e\n",
                "Content-Type: text/csv; name=f.csv\nContent-Disposition: attachment\n\nnot\n"}),
         "+a\n\n# b\n\nc,d\n\nSUMMARY:e\n\nf.csv", ""},
        {"any text type as the body", "Content-Type: text/x-whatever\n\nbody\n", "body\n", ""},
        // A type that cannot be read is text/plain.
        {"an empty type", "Content-Type:\n\nbody\n", "body\n", ""},
        {"a type without a subtype", "Content-Type: text\n\nbody\n", "body\n", ""},
        {"a broken type", "Content-Type: ;;;==\n\nbody\n", "body\n", ""},
        {"not text", "Content-Type: application/octet-stream\n\nbody\n", "", ""},
        {"a forwarded message: its subject, text and names",
         mixed({"Content-Type: message/rfc822\n\nSubject: Fwd one\nTo: x@y.org\n"
                "Content-Type: multipart/mixed; boundary=c\n\n--c\n\ninner text\n--c\n"
                "Content-Type: application/pdf; name=in.pdf\n\n%PDF\n--c--\n"}),
         "Fwd one\n\ninner text\n\nin.pdf", ""},
        {"a forwarded message attached, in base64",
         mixed({"Content-Type: message/rfc822\nContent-Disposition: attachment; filename=f.eml\n"
                "Content-Transfer-Encoding: base64\n\nU3ViamVjdDogRndkIHR3bwoKaW5uZXIK\n"}),
         "Fwd two\n\ninner\n\n\nf.eml", ""},
        {"a forwarded message in a forwarded message",
         "Content-Type: message/rfc822\n\nSubject: outer\nContent-Type: message/rfc822\n\n"
         "Subject: inner\n\ndeepest\n",
         "outer\n\ninner\n\ndeepest\n", ""},
        {"flowed, DelSp=yes: a word broken at a soft line break",
         "Content-Type: text/plain; format=flowed; delsp=yes\n\nconfi \ndential and \n> quo \n"
         ">  ted \n>> deeper\r\n-- \nsig\n",
         "confidential and\n> quo ted\n>> deeper\r\n-- \nsig\n", ""},
        {"flowed without DelSp", "Content-Type: text/plain; format=flowed\n\nconfi \ndential\n",
         "confi dential\n", ""},
        {"quoted-printable: blanks after a soft break, and at a line's end",
         "Content-Transfer-Encoding: quoted-printable\n\nconfi=  \r\ndential =\r\n"
         "end=3D=4a =\nx=4 y=\t\nlast  \n",
         "confidential end=J x=4 ylast\n", ""},
        {"base64 without its padding",
         mixed({"Content-Transfer-Encoding: base64\n\nY29uZmlkZW50aWFsMQ\n",
                "Content-Transfer-Encoding: base64\n\nMTI\n"}),
         "confidential1\n\n12", ""},
        {"PGP/MIME",
         "Content-Type: multipart/encrypted; boundary=e\n\n--e\n"
         "Content-Type: application/pgp-encrypted\n\nVersion: 1\n--e\n"
         "Content-Type: application/octet-stream\n\nxx\n--e--\n",
         "", "encrypted"},
        {"inline PGP", "\nhi\n-----BEGIN PGP MESSAGE-----\n\nhQEMA\n-----END PGP MESSAGE-----\n",
         "hi\n-----BEGIN PGP MESSAGE-----\n\nhQEMA\n-----END PGP MESSAGE-----\n", "encrypted"},
        {"S/MIME, encrypted by its parameter",
         "Content-Type: application/pkcs7-mime; smime-type=enveloped-data\n\nxx\n", "",
         "encrypted"},
        {"S/MIME that holds no CMS",
         "Content-Type: application/pkcs7-mime; smime-type=signed-data\n"
         "Content-Transfer-Encoding: base64\n\nbm90IGNtcw==\n",
         "", "S/MIME that could not be opened"},
        {"S/MIME certificates only",
         "Content-Type: application/pkcs7-mime; smime-type=certs-only\n\nxx\n", "", ""},
        {"nested as deep as it is read", nested(64), "innermost\n", ""},
        {"nested deeper", nested(65), "", "nested too deeply"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const MessageContent content = ParseMessage(c.message);
        EXPECT_EQ(content.Body(), c.body);
        EXPECT_EQ(content.unreadParts, c.unread);
    }
}

TEST(DeliveryOrder, TimeStampsAndCountersCompareByValue) {
    const std::vector<std::string> ordered = {
        "999.M1P1.host",      "1700000000.M9P1.h", "1700000000.M10P1.h",
        "1700000000.M10P2.h", "01700000001.a",     "1700000001.b",
        "1700000002",         "17000000020.x",     "alpha-without-time"};
    for (size_t i = 0; i < ordered.size(); ++i) {
        for (size_t j = 0; j < ordered.size(); ++j) {
            EXPECT_EQ(DeliveredBefore(ordered[i], ordered[j]), i < j)
                << ordered[i] << " / " << ordered[j];
        }
    }
}

TEST(DeliveryOrder, UniqueNamesAreCutAtTheInfoAndValidated) {
    EXPECT_EQ(UniqueNameOf("123.abc:2,DS"), "123.abc");
    EXPECT_EQ(UniqueNameOf("123.abc"), "123.abc");
    EXPECT_TRUE(IsUniqueName("123.abc"));
    for (const char* bad : {"", ".hidden", "a/b", "a:2,S", ".."}) EXPECT_FALSE(IsUniqueName(bad));
}

TEST(DistributionListFile, CommentsBlanksAndBrokenLinesAreSkipped) {
    const auto lists = DistributionLists::Parse(
        "# all lists\n"
        "\n"
        "  sales@x.org : a@x.org,  b@x.org ,, A@X.ORG\r\n"
        "no colon here\n"
        ": nameless@x.org\n"
        "SALES@x.org: c@x.org\n"
        "   # indented comment: d@x.org\n"
        "last@x.org: z@x.org");
    ASSERT_NE(lists.Members("Sales@X.org"), nullptr);
    EXPECT_EQ(*lists.Members("sales@x.org"),
              (std::vector<std::string>{"a@x.org", "b@x.org", "c@x.org"}));
    EXPECT_EQ(lists.Members("last@x.org")->size(), 1u);
    EXPECT_EQ(lists.Members("# indented comment"), nullptr);
    EXPECT_EQ(lists.Members(""), nullptr);
    EXPECT_EQ(lists.Members("a@x.org"), nullptr);
}

TEST(MessageRecipients, EveryoneTheMessageGoesToOnceInFieldOrder) {
    // Each address with the kind of field it first stands in: 1 To, 2 Cc, 3 Bcc.
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        // headers, addresses
        // Field names in any capitals.
        {"TO: a@x.org\ncc: b@x.org\nBCC: c@x.org\n", {"1 a@x.org", "2 b@x.org", "3 c@x.org"}},
        // A bounce's new recipients stand in the Resent- fields only.
        {"Resent-To: r@y.org\nTo: a@x.org\nResent-Cc: s@y.org\nResent-Bcc: t@y.org\n",
         {"1 a@x.org", "1 r@y.org", "2 s@y.org", "3 t@y.org"}},
        // One mailbox is one recipient, whatever its capitals and wherever else it stands.
        {"To: A@X.org, b@x.org\nCc: a@x.org\nBcc: B@X.ORG\nResent-To: a@X.org\n",
         {"1 A@X.org", "1 b@x.org"}},
        {"Bcc: b@x.org\nCc: B@x.org, c@x.org\n", {"2 B@x.org", "2 c@x.org"}},
        {"To: Ünï <ÜNÏ@x.org>\nCc: ünï@x.org\n", {"1 ÜNÏ@x.org"}},
    };
    for (const auto& [headers, expected] : cases) {
        std::vector<std::string> addresses;
        for (const MessageRecipient& r :
             ParseMessage(std::string("Subject: s\n") + headers + "\nbody\n").recipients) {
            addresses.push_back(std::to_string(r.type) + " " + r.address);
        }
        EXPECT_EQ(addresses, expected) << headers;
    }
    // A mail server drops the From_ lines before the header, and so does every
    // reader; "From :" is a header field, with a blank before its colon.
    for (const char* from : {"From 1234abcd Mon Sep 17 00:00:00 2001\n", ">From x\r\nFrom y\n"}) {
        const std::string message =
            std::string(from) + "To: a@x.org\nSubject: s\nMessage-ID: <1@x>\n\nbody\n";
        EXPECT_EQ(ParseMessage(message).recipients.size(), 1u) << from;
        EXPECT_EQ(ParseSubject(message), "s") << from;
        EXPECT_EQ(ParseHeaderValue(message, "Message-ID"), "<1@x>") << from;
    }
    EXPECT_EQ(ParseHeaderValue("From : a@x.org\nTo: b@x.org\n\nx\n", "From"), "a@x.org");
}

// What "see attached" means: files and forwarded messages sent with the
// message, not what its body shows in place or signs it.
TEST(MessageAttachments, AreTheFilesAndMessagesSentWithItOnly) {
    const auto part = [](const std::string& headers) { return "--BB\n" + headers + "\n\nAAAA\n"; };
    const std::string text = part("Content-Type: text/plain");
    const struct {
        const char* what;
        std::string parts;
        int32_t count;
    } cases[] = {
        {"text alone", text, 0},
        {"text and its HTML", text + part("Content-Type: text/html"), 0},
        {"a named file", text + part("Content-Type: application/pdf; name=\"a.pdf\""), 1},
        {"a file marked as one, nameless",
         text + part("Content-Type: application/pdf\nContent-Disposition: attachment"), 1},
        {"a text file marked as one",
         text + part("Content-Type: text/plain\nContent-Disposition: attachment"), 1},
        {"a nameless inline picture",
         text + part("Content-Type: image/png\nContent-Disposition: inline"), 1},
        {"an image the HTML shows in place",
         part("Content-Type: text/html") +
             part("Content-Type: image/png; name=\"logo.png\"\nContent-ID: <logo@x>\n"
                  "Content-Disposition: inline; filename=\"logo.png\""),
         0},
        {"an image with a Content-ID sent as an attachment",
         text + part("Content-Type: image/png\nContent-ID: <a@x>\n"
                     "Content-Disposition: attachment; filename=\"a.png\""),
         1},
        {"a forwarded message", text + part("Content-Type: message/rfc822"), 1},
        {"signatures and the sender's key",
         text +
             part("Content-Type: application/pkcs7-signature; name=\"smime.p7s\"\n"
                  "Content-Disposition: attachment; filename=\"smime.p7s\"") +
             part("Content-Type: application/pgp-signature; name=\"signature.asc\"") +
             part("Content-Type: application/pgp-keys; name=\"key.asc\"\n"
                  "Content-Disposition: attachment"),
         0},
        {"two files",
         text + part("Content-Type: image/jpeg; name=\"a.jpg\"") +
             part("Content-Type: application/zip; name=\"b.zip\""),
         2},
    };
    for (const auto& c : cases) {
        const std::string message =
            "Subject: s\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=BB\n\n" +
            c.parts + "--BB--\n";
        EXPECT_EQ(ParseMessage(message).attachmentCount, c.count) << c.what;
    }
    // A message that is one part carries nothing, whatever that part is.
    EXPECT_EQ(ParseMessage("Subject: s\nContent-Type: application/pdf; name=\"a.pdf\"\n\nx\n")
                  .attachmentCount,
              0);
}

TEST(MessageFingerprints, TheSameMessageSentAgainIsTheSame) {
    const std::string base =
        "From: Me <me@x.org>\nTo: a@x.org\nSubject: s\nDate: Sun, 6 Dec 2026 10:00:00 +0000\n"
        "Message-ID: <1@x>\n\nbody\n";
    const std::string fingerprint = MessageFingerprint(base);
    const struct {
        const char* what;
        std::string message;
        bool same;
    } cases[] = {
        {"new date, identifier, field order, CR LF",
         "Message-ID: <2@x>\r\nSubject: s\r\nTo: a@x.org\r\nDate: Sun, 6 Dec 2026 10:04:00 +0000"
         "\r\nFrom: me@X.org\r\n\r\nbody\r\n",
         true},
        {"new MIME boundaries",
         "From: me@x.org\nTo: a@x.org\nSubject: s\nContent-Type: multipart/mixed; boundary=AAA\n\n"
         "--AAA\n\nbody\n--AAA--\n",
         false},
        {"another body", "From: me@x.org\nTo: a@x.org\nSubject: s\n\nbody!\n", false},
        {"another subject", "From: me@x.org\nTo: a@x.org\nSubject: t\n\nbody\n", false},
        {"another recipient", "From: me@x.org\nTo: a@x.org\nBcc: b@x.org\nSubject: s\n\nbody\n",
         false},
        {"another sender", "From: you@x.org\nTo: a@x.org\nSubject: s\n\nbody\n", false},
        // A mail server drops it.
        {"an mbox From_ line before it", "From 1234abcd Mon Sep 17 00:00:00 2001\n" + base, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MessageFingerprint(c.message) == fingerprint, c.same) << c.what;
    }
    // Two messages that read alike, or not.
    const auto text = [](const std::string& headers, const std::string& body) {
        return "From: me@x.org\nTo: a@x.org\nSubject: s\n" + headers + "\n" + body;
    };
    const auto attached = [](const char* boundary, const char* name, const char* bytes,
                             const char* lineEnd) {
        std::string m = std::string("From: me@x.org\nTo: a@x.org\nSubject: s\n") +
                        "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\n\n--" +
                        boundary + "\n\nbody\n--" + boundary +
                        "\nContent-Type: application/pdf\nContent-Disposition: attachment; "
                        "filename=" +
                        name + "\nContent-Transfer-Encoding: base64\n\n" + bytes + "\n--" +
                        boundary + "--\n";
        std::string ends;
        for (const char c : m) ends += c == '\n' ? std::string(lineEnd) : std::string(1, c);
        return ends;
    };
    const struct {
        const char* what;
        std::string one, other;
        bool same;
    } pairs[] = {
        {"new boundaries and CR LF", attached("b1", "a.pdf", "JVBERg==", "\n"),
         attached("other-2", "a.pdf", "JVBERg==", "\r\n"), true},
        {"another attachment", attached("b", "a.pdf", "JVBERg==", "\n"),
         attached("b", "a.pdf", "JVBERw==", "\n"), false},
        {"another attachment name", attached("b", "a.pdf", "JVBERg==", "\n"),
         attached("b", "b.pdf", "JVBERg==", "\n"), false},
        {"relabelled from us-ascii to utf-7",
         text("Content-Type: text/plain; charset=us-ascii\n", "+AGM-onfidential\n"),
         text("Content-Type: text/plain; charset=utf-7\n", "+AGM-onfidential\n"), false},
        {"a transfer encoding added", text("", "Y29uZmlkZW50aWFs\n"),
         text("Content-Transfer-Encoding: base64\n", "Y29uZmlkZW50aWFs\n"), false},
        {"a body that names boundary=0", text("", "boundary=0\nPay 100\n"),
         text("", "boundary=0\nPay 1000000\n"), false},
        {"the recipients in another order", text("Cc: b@x.org, c@x.org\n", "body\n"),
         text("Cc: c@x.org, b@x.org\n", "body\n"), true},
    };
    for (const auto& c : pairs) {
        EXPECT_EQ(MessageFingerprint(c.one) == MessageFingerprint(c.other), c.same) << c.what;
    }
}

// A NUL or a byte the charset does not know reads as U+FFFD, and the text goes
// on after it: a keyword behind it must still be found.
TEST(MessageBodies, NothingAfterANulOrABadSequenceIsLost) {
    const std::string replaced = "\xEF\xBF\xBD";
    const struct {
        const char* contentType;
        std::string body;  // after the header block
        std::string text;
    } cases[] = {
        {"text/plain", std::string("one\0two \xE9", 9), "one" + replaced + "two \xC3\xA9"},
        {"text/plain; charset=us-ascii", std::string("one\0two", 7), "one" + replaced + "two"},
        {"text/plain; charset=iso-8859-1", std::string("\xE9\0two", 5),
         "\xC3\xA9" + replaced + "two"},
        {"text/plain; charset=utf-8", std::string("one\0two", 7), "one" + replaced + "two"},
        {"text/plain; charset=utf-16le", std::string("o\0\0\0t\0", 6), "o" + replaced + "t"},
        {"text/plain; charset=shift_jis",
         "a\x82\x01"
         "b",
         "a" + replaced +
             "\x01"
             "b"},
        {"text/html; charset=iso-8859-1", std::string("<p>\xE9\0two</p>", 12),
         "<p>\xC3\xA9" + replaced + "two</p>\n\n\xC3\xA9" + replaced + "two"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.contentType);
        const MessageContent content = ParseMessage(std::string("Subject: s\nContent-Type: ") +
                                                    c.contentType + "\n\n" + c.body);
        EXPECT_EQ(content.bodyFormat == 2 ? content.HtmlBody() : content.Body(), c.text);
    }
}

}  // namespace
}  // namespace postwarden::mailstore
