#include <fstream>

#include "settings/SettingsDocument.h"
#include "tests/settings/SettingsFixture.h"
#include "util/RuntimeError.h"

namespace postwarden {
namespace {

using namespace std::string_literals;

constexpr const char* kRoutine = "ReadSettingsFromXML";
constexpr const char* kSource = "Postwarden.ReadSettingsFromXML";

using ReadSettingsFromXMLTest = SettingsTest;

std::string Repeat(std::string_view text, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; ++i) out += text;
    return out;
}

TEST_F(ReadSettingsFromXMLTest, StoresAllSixteenValuesInOrder) {
    platform.SetSetting(keys::kSeparatePromptsWanted, "0");
    platform.SetSetting(keys::kMessageForAnySend, "mine");
    // A byte order mark is not part of the document.
    ASSERT_TRUE(s.ReadSettingsFromXML("\xEF\xBB\xBF" + Document()));

    EXPECT_EQ(platform.settingWrites, ImportedKeys());
    EXPECT_EQ(Stored(keys::kListOfOutsideDomains), "corp.example\r\n*.corp.example");
    EXPECT_EQ(Stored(keys::kListOfEmailAddressesDomains), "");
    EXPECT_EQ(Stored(keys::kListOfKeywords), "secret\r\nconfidential");
    EXPECT_EQ(Stored(keys::kMaxNumberOfRecipients), "25");
    EXPECT_EQ(Stored(keys::kMessageForBlankSubject), "Blank?");
    EXPECT_EQ(Stored(keys::kPromptForAnySendWanted), "0");
    // Keys the document does not carry stay as they were.
    EXPECT_EQ(Stored(keys::kSeparatePromptsWanted), "0");
    EXPECT_EQ(Stored(keys::kMessageForAnySend), "mine");
    EXPECT_TRUE(Events().empty());
}

TEST_F(ReadSettingsFromXMLTest, TheLaterRulesSettingsMayBeLeftOutAndAreStoredWhenThere) {
    // Left out: the store keeps what it has.
    platform.SetSetting(keys::kMaxNumberOfOrganisations, "7");
    ASSERT_TRUE(s.ReadSettingsFromXML(Document()));
    EXPECT_EQ(platform.settingWrites, ImportedKeys());
    EXPECT_EQ(Stored(keys::kMaxNumberOfOrganisations), "7");

    // There: stored after the 16, in their order, as the others are.
    platform.settingWrites.clear();
    ASSERT_TRUE(s.ReadSettingsFromXML(
        Document("<MessageForMissingAttachment>Forgot it?</MessageForMissingAttachment>"
                 "<PromptForManyOrganisationsWanted>01</PromptForManyOrganisationsWanted>"
                 "<MaxNumberOfOrganisations>5</MaxNumberOfOrganisations>"
                 "<ListOfAttachmentWords><w>attached</w><w>anbei</w></ListOfAttachmentWords>"
                 "<PromptForLookAlikeDomainsWanted>0</PromptForLookAlikeDomainsWanted>"
                 "<MessageForNewRecipients>New?</MessageForNewRecipients>")))
        << testing::PrintToString(Events());
    std::vector<std::string> written = ImportedKeys();
    for (const std::string& key : OptionalKeys()) {
        if (key != keys::kPromptForMissingAttachmentWanted &&
            key != keys::kMessageForManyOrganisations &&
            key != keys::kPromptForNewRecipientsWanted &&
            key != keys::kMessageForLookAlikeDomains) {
            written.push_back(key);
        }
    }
    EXPECT_EQ(platform.settingWrites, written);
    EXPECT_EQ(Stored(keys::kPromptForManyOrganisationsWanted), "1");
    EXPECT_EQ(Stored(keys::kMaxNumberOfOrganisations), "5");
    EXPECT_EQ(Stored(keys::kListOfAttachmentWords), "attached\r\nanbei");
    EXPECT_EQ(Stored(keys::kMessageForMissingAttachment), "Forgot it?");
    EXPECT_EQ(Stored(keys::kPromptForLookAlikeDomainsWanted), "0");
    EXPECT_EQ(Stored(keys::kMessageForNewRecipients), "New?");

    // There but unreadable: the import fails at its step and stores nothing.
    Forget();
    EXPECT_FALSE(s.ReadSettingsFromXML(
        Document("<MaxNumberOfOrganisations>lots</MaxNumberOfOrganisations>")));
    EXPECT_TRUE(platform.settingWrites.empty());
    EXPECT_EQ(Events(), Reported(1, kRoutine, "Error occurred at line 82.  Reason: Type mismatch"));
}

TEST_F(ReadSettingsFromXMLTest, TheSendDelayMayBeLeftOutAndIsStoredAsTheOtherNumbers) {
    platform.SetSetting(keys::kSendDelaySeconds, "5");
    ASSERT_TRUE(s.ReadSettingsFromXML(Document()));
    EXPECT_EQ(Stored(keys::kSendDelaySeconds), "5");

    Forget();
    ASSERT_TRUE(s.ReadSettingsFromXML(Document("<SendDelaySeconds>010</SendDelaySeconds>")));
    std::vector<std::string> written = ImportedKeys();
    written.push_back(keys::kSendDelaySeconds);
    EXPECT_EQ(platform.settingWrites, written);
    EXPECT_EQ(Stored(keys::kSendDelaySeconds), "10");
    // Stored as the document says; the host keeps a countdown within a minute
    // when it reads it.
    ASSERT_TRUE(s.ReadSettingsFromXML(Document("<SendDelaySeconds>600</SendDelaySeconds>")));
    EXPECT_EQ(Stored(keys::kSendDelaySeconds), "600");

    Forget();
    EXPECT_FALSE(s.ReadSettingsFromXML(Document("<SendDelaySeconds>soon</SendDelaySeconds>")));
    EXPECT_TRUE(platform.settingWrites.empty());
    EXPECT_EQ(Events(),
              Reported(1, kRoutine, "Error occurred at line 120.  Reason: Type mismatch"));
}

TEST_F(ReadSettingsFromXMLTest, TakesTheFirstElementOfEachNameAtAnyDepth) {
    // Any root name; elements nested at different depths; for each name the
    // first in document order wins, even when a later one sits shallower.
    const std::string text =
        "<Anything xmlns:x='urn:x'><group><deeper>"
        "<PromptForAnySendWanted>5</PromptForAnySendWanted>"
        "<MessageForKeywords>first <b>bold</b> text</MessageForKeywords>"
        "<MaxNumberOfRecipients>999</MaxNumberOfRecipients>"
        "</deeper></group>" +
        Document().substr(Document().find("<PostWarden>") + 12,
                          Document().find("</PostWarden>") - Document().find("<PostWarden>") - 12) +
        "<MessageForBlankSubject>second</MessageForBlankSubject></Anything>";
    ASSERT_TRUE(s.ReadSettingsFromXML(text)) << testing::PrintToString(Events());
    EXPECT_EQ(Stored(keys::kPromptForAnySendWanted), "5");
    EXPECT_EQ(Stored(keys::kMessageForKeywords), "first bold text");
    EXPECT_EQ(Stored(keys::kMessageForBlankSubject), "Blank?");
    // The limit comes from NumberOfRecipients only.
    EXPECT_EQ(Stored(keys::kMaxNumberOfRecipients), "25");
}

TEST_F(ReadSettingsFromXMLTest, SwitchesAndTheCountAreStoredAsPlainDecimal) {
    const std::pair<std::string, std::string> cases[] = {{"01", "1"},  {"0", "0"},  {" 7 ", "7"},
                                                         {"-3", "-3"}, {"+2", "2"}, {"0000", "0"}};
    for (const auto& [in, stored] : cases) {
        std::string text = Document();
        text.replace(text.find(">25<") + 1, 2, in);
        text.replace(text.find("<SeparateDLsWanted>1<") + 19, 1, in);
        ASSERT_TRUE(s.ReadSettingsFromXML(text)) << in;
        EXPECT_EQ(Stored(keys::kMaxNumberOfRecipients), stored) << in;
        EXPECT_EQ(Stored(keys::kSeparateDLsWanted), stored) << in;
    }
}

TEST_F(ReadSettingsFromXMLTest, ListShapes) {
    const std::pair<std::string, std::string> cases[] = {
        {"<ListOfKeywords>\n  <a>one</a>\n  <b>two</b>\n</ListOfKeywords>", "one\r\ntwo"},
        {"<ListOfKeywords>plain text</ListOfKeywords>", "plain text"},
        {"<ListOfKeywords></ListOfKeywords>", ""},
        {"<ListOfKeywords>   \n  </ListOfKeywords>", ""},
        {"<ListOfKeywords>lead<i>x</i>tail</ListOfKeywords>", "lead\r\nx\r\ntail"},
        {"<ListOfKeywords><g><i>a</i><i>b</i></g><i>c</i></ListOfKeywords>", "ab\r\nc"},
        {"<ListOfKeywords><i></i><i>b</i></ListOfKeywords>", "\r\nb"},
        {"<ListOfKeywords><i>a&amp;b&lt;&#x41;</i><![CDATA[<c>]]></ListOfKeywords>",
         "a&b<A\r\n<c>"},
        // Comments and processing instructions are no items.
        {"<ListOfKeywords><i>a</i><!-- old: x --><?pi y?><i>b</i></ListOfKeywords>", "a\r\nb"},
        {"<ListOfKeywords><i>Größe</i><i>日本</i></ListOfKeywords>", "Größe\r\n日本"},
    };
    for (const auto& [element, stored] : cases) {
        std::string text = Document();
        const size_t begin = text.find("<ListOfKeywords>");
        const size_t end = text.find("</ListOfKeywords>") + 17;
        text.replace(begin, end - begin, element);
        ASSERT_TRUE(s.ReadSettingsFromXML(text)) << element << testing::PrintToString(Events());
        EXPECT_EQ(Stored(keys::kListOfKeywords), stored) << element;
    }
}

struct Broken {
    std::string element;  // the element to change
    std::string with;     // its replacement ("" removes it)
    int step;
    std::string reason;
};

TEST_F(ReadSettingsFromXMLTest, AFailingValueOrStoreStoresNothingAndReportsItsStep) {
    const std::string notSet = "Object variable or With block variable not set";
    const Broken cases[] = {
        {"PromptForOutsideDomainsWanted", "", 10, notSet},
        {"ListOfOutsideDomains", "", 12, notSet},
        {"MessageForOutsideDomains", "", 14, notSet},
        {"PromptForEmailAddressesDomainsWanted", "<PromptForEmailAddressesDomainsWanted/>", 20,
         "Type mismatch"},
        {"ListOfEmailAddressesDomains", "", 22, notSet},
        {"MessageForEmailAddressesDomains", "", 24, notSet},
        {"PromptForKeywordsWanted", "<PromptForKeywordsWanted>yes</PromptForKeywordsWanted>", 30,
         "Type mismatch"},
        {"ListOfKeywords", "", 32, notSet},
        {"MessageForKeywords", "", 36, notSet},
        {"PromptForNumberOfRecipientsWanted",
         "<PromptForNumberOfRecipientsWanted>1.5</PromptForNumberOfRecipientsWanted>", 40,
         "Type mismatch"},
        // The key's own name does not stand in for the document's.
        {"NumberOfRecipients", "<MaxNumberOfRecipients>25</MaxNumberOfRecipients>", 42, notSet},
        {"NumberOfRecipients", "<NumberOfRecipients>99999999999</NumberOfRecipients>", 42,
         "Overflow"},
        {"SeparateDLsWanted", "<SeparateDLsWanted></SeparateDLsWanted>", 44, "Type mismatch"},
        {"MessageForNumberOfRecipients", "", 46, notSet},
        {"PromptForBlankSubjectWanted", "", 50, notSet},
        {"MessageForBlankSubject", "", 54, notSet},
        // Tag names are case-sensitive.
        {"PromptForAnySendWanted", "<promptforanysendwanted>1</promptforanysendwanted>", 60,
         notSet},
    };
    for (const Broken& c : cases) {
        Forget();
        std::string text = Document();
        const size_t begin = text.find("<" + c.element);
        size_t end = text.find("</" + c.element + ">");
        end = end == std::string::npos ? text.find("/>", begin) + 2 : end + c.element.size() + 3;
        text.replace(begin, end - begin, c.with);

        EXPECT_FALSE(s.ReadSettingsFromXML(text)) << c.element;
        EXPECT_TRUE(platform.settingWrites.empty()) << c.element;
        EXPECT_EQ(Events(), Reported(1, kRoutine,
                                     "Error occurred at line " + std::to_string(c.step) +
                                         ".  Reason: " + c.reason))
            << c.element;
    }
    // A store that cannot be written to fails the last step.
    Forget();
    platform.FailOn("SaveSetting", RuntimeError(errors::kPermissionDenied, "Store is read-only"));
    EXPECT_FALSE(s.ReadSettingsFromXML(Document()));
    EXPECT_EQ(Events(),
              Reported(1, kRoutine, "Error occurred at line 70.  Reason: Store is read-only"));
}

TEST_F(ReadSettingsFromXMLTest, TextThatIsNotOneWellFormedDocumentIsAParseError) {
    const std::pair<std::string, std::string> cases[] = {
        // text, reason
        {"", "No document element found"},
        {"<?xml version=\"1.0\"?><!-- nothing -->", "No document element found"},
        {"<a>1</a><b>2</b>",
         "Only one top-level element is allowed; another one starts at line 1, column 9"},
        {"stray<a/>", "Text is not allowed outside the top-level element, at line 1, column 1"},
        {"<a/><![CDATA[x]]>", "Text is not allowed outside the top-level element"},
        {Document().substr(0, Document().find("<ListOfKeywords>") + 6),
         "Error parsing start element tag"},
        {Document().substr(0, Document().find("<ListOfKeywords>")),
         "Start-end tags mismatch at line 11"},
        {"<a><b>x</a></b>", "Start-end tags mismatch at line 1, column"},
        {"<a>\n<b x='1' y='2' x='3'/></a>",
         "Duplicate attribute x in element b at line 2, column 1"},
        {"<a>x</a", "Error parsing end element tag at line 1"},
        // An & starts a reference, to a character or to a declared entity.
        {"<a>fish & chips</a>", "Unescaped & (write &amp; for the character) at line 1, column 9"},
        {"<a>&;</a>", "Unescaped & (write &amp; for the character) at line 1, column 4"},
        {"<a>&#;</a>", "Unescaped & (write &amp; for the character) at line 1, column 4"},
        {"<a>&#X41;</a>", "Unescaped & (write &amp; for the character) at line 1, column 4"},
        {"<a b='x & y'/>", "Unescaped & (write &amp; for the character) at line 1, column 9"},
        {"<a>&foo;</a>", "Reference to the undeclared entity &foo; at line 1, column 4"},
        {"<a>\r\n <b>&lt;\r\n&AMP;</b></a>",
         "Reference to the undeclared entity &AMP; at line 3, column 1"},
        {"<!DOCTYPE a [<!ENTITY % p 'x'>]><a>&p;</a>",
         "Reference to the undeclared entity &p; at line 1, column 36"},
        {"<a>&" + std::string(100, 'n') + ";</a>",
         "Reference to the undeclared entity &" + std::string(40, 'n') + "…; at line 1"},
        {"<a>&" + std::string(40, 'n') + ";</a>",
         "Reference to the undeclared entity &" + std::string(40, 'n') + "; at line 1"},
        // Cut before the character the 41st byte belongs to, not inside it.
        {"<a>&n" + Repeat("é", 20) + ";</a>",
         "Reference to the undeclared entity &n" + Repeat("é", 19) + "…; at line 1"},
        {"<a>&#0;</a>", "Character reference &#0; to a character XML does not allow at line 1"},
        {"<a>&#x1;</a>", "Character reference &#x1; to a character XML does not allow"},
        {"<a>&#xD800;</a>", "Character reference &#xD800; to a character XML does not allow"},
        {"<a>&#xFFFE;</a>", "Character reference &#xFFFE; to a character XML does not allow"},
        {"<a>&#x110000;</a>", "Character reference &#x110000; to a character XML does not allow"},
        {"<a>&#99999999999999999999;</a>", "Character reference &#9999999999"},
        // The text handed over is UTF-8, whatever it declares.
        {"<a>Gr\xF6\xDF"
         "e</a>",
         "Text that is not UTF-8 at line 1, column 6"},
        {"<a>\xED\xA0\x80</a>", "Text that is not UTF-8 at line 1, column 4"},
    };
    for (const auto& [text, reason] : cases) {
        Forget();
        EXPECT_FALSE(s.ReadSettingsFromXML(text)) << text;
        EXPECT_TRUE(platform.settingWrites.empty());
        const std::vector<std::string> events = Events();
        ASSERT_EQ(events.size(), 2u) << text;
        const std::string prefix =
            "1|" + std::string(kSource) + "|Error occurred parsing xml file.  Reason: ";
        EXPECT_EQ(events[0].substr(0, prefix.size() + reason.size()), prefix + reason) << text;
        EXPECT_EQ(events[1], "1|" + std::string(kSource) + "|XML Contents:" + text);
    }
}

TEST_F(ReadSettingsFromXMLTest, DeclarationsNeverReachOutsideTheText) {
    // A file the document tries to pull in by an external entity.
    const std::string secretPath = testing::TempDir() + "/postwarden-secret.txt";
    std::ofstream(secretPath) << "SECRET";
    const std::string secret = " SYSTEM 'file://" + secretPath + "'";
    std::string laughs = "<!ENTITY l0 'lol'>";
    for (int i = 1; i < 10; ++i) {
        std::string ref;
        for (int j = 0; j < 10; ++j) ref += "&l" + std::to_string(i - 1) + ";";
        laughs += "<!ENTITY l" + std::to_string(i) + " '" + ref + "'>";
    }
    std::string text = Document();
    text.insert(text.find("<PostWarden>"), "<!DOCTYPE PostWarden" + secret + " [\n<!ENTITY xxe" +
                                               secret + ">\n<!ENTITY % p" + secret + "> %p;\n" +
                                               laughs + "\n]>\n");
    text.replace(text.find("Outside?"), 8, "&xxe;");
    text.replace(text.find("Keywords?"), 9, "&l9;");

    ASSERT_TRUE(s.ReadSettingsFromXML(text)) << testing::PrintToString(Events());
    EXPECT_EQ(Stored(keys::kMessageForOutsideDomains), "&xxe;");
    EXPECT_EQ(Stored(keys::kMessageForKeywords), "&l9;");
    for (const auto& [key, value] : platform.settings) {
        EXPECT_EQ(value.find("SECRET"), std::string::npos) << std::get<2>(key);
    }
}

TEST_F(ReadSettingsFromXMLTest, ReferencesAndLineEndsReadAsTheirCharacters) {
    const std::pair<std::string, std::string> cases[] = {
        {"&lt;&gt;&amp;&quot;&apos;", "<>&\"'"},
        {"&#65;&#x42;&#x1F600;&#x9;", "AB😀\t"},
        {"a\r\nb\rc\nd", "a\nb\nc\nd"},
        // A reference to CR is the character, not a line end.
        {"a&#13;\r\nb&#xD;", "a\r\nb\r"},
        {"<![CDATA[fish & chips &foo;\r\n]]>", "fish & chips &foo;\n"},
        {"x<i a='&lt;&#65;'/>y", "xy"},
    };
    for (const auto& [written, stored] : cases) {
        std::string text = Document();
        text.replace(text.find("Keywords?"), 9, written);
        ASSERT_TRUE(s.ReadSettingsFromXML(text)) << written << testing::PrintToString(Events());
        EXPECT_EQ(Stored(keys::kMessageForKeywords), stored) << written;
    }
}

TEST_F(ReadSettingsFromXMLTest, TheLogTakesTheStartOfALargeBrokenDocument) {
    constexpr size_t kLogged = 65536;
    const struct {
        const char* name;
        size_t size;    // of the document
        size_t kept;    // bytes of it logged
        size_t letter;  // where "ö" (two bytes) begins, or npos
    } cases[] = {
        {"at the limit", kLogged, kLogged, std::string::npos},
        {"one byte over", kLogged + 1, kLogged, std::string::npos},
        {"4 MB", size_t{4} << 20, kLogged, std::string::npos},
        {"a character across the limit", kLogged + 100, kLogged - 1, kLogged - 1},
        {"a character just inside", kLogged + 100, kLogged, kLogged - 2},
    };
    for (const auto& c : cases) {
        platform.log.clear();
        // Broken at its end: the element is never closed.
        std::string text = "<a>" + std::string(c.size - 3, 'x');
        if (c.letter != std::string::npos) text.replace(c.letter, 2, "ö");
        ASSERT_EQ(text.size(), c.size);
        EXPECT_FALSE(s.ReadSettingsFromXML(text)) << c.name;
        const std::vector<std::string> events = Events();
        ASSERT_EQ(events.size(), 2u) << c.name;
        std::string expected =
            "1|" + std::string(kSource) + "|XML Contents:" + text.substr(0, c.kept);
        if (c.kept < c.size) {
            expected += "… [" + std::to_string(c.size - c.kept) + " more bytes not logged]";
        }
        EXPECT_EQ(events[1], expected) << c.name;
    }
}

TEST_F(ReadSettingsFromXMLTest, AnElementWithVeryManyAttributesIsCheckedInOnePass) {
    // About 3 MB, under what a central source may deliver. Comparing every pair
    // of attribute names to find a repeated one held this import for minutes.
    std::string attributes;
    for (int i = 0; i < 300000; ++i) attributes += " a" + std::to_string(i) + "=''";
    ASSERT_TRUE(s.ReadSettingsFromXML(Document("<x" + attributes + "/>")));
    EXPECT_EQ(Stored(keys::kMaxNumberOfRecipients), "25");

    // A repeat far from its first use is still refused, naming the attribute.
    Forget();
    EXPECT_FALSE(s.ReadSettingsFromXML(Document("<x" + attributes + " a7='again'/>")));
    EXPECT_TRUE(platform.settingWrites.empty());
    ASSERT_FALSE(Events().empty());
    EXPECT_NE(Events()[0].find("Duplicate attribute a7 in element x"), std::string::npos)
        << Events()[0].substr(0, 200);
}

// The bytes of `text` in UTF-16 or UTF-32, little or big endian.
template <typename Units>
std::string Bytes(const Units& text, bool bigEndian) {
    constexpr size_t width = sizeof(typename Units::value_type);
    std::string bytes;
    for (const auto unit : text) {
        for (size_t i = 0; i < width; ++i) {
            const size_t shift = 8 * (bigEndian ? width - 1 - i : i);
            bytes += static_cast<char>((static_cast<uint32_t>(unit) >> shift) & 0xFF);
        }
    }
    return bytes;
}

const std::string kLatin1Declaration = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>";

TEST(SettingsDocumentTextTest, ReadsTheEncodingTheDocumentGives) {
    const struct {
        const char* name;
        std::string bytes, text;
    } cases[] = {
        {"UTF-8 mark", "\xEF\xBB\xBF<a>Größe</a>", "<a>Größe</a>"},
        {"UTF-16 LE mark", Bytes(std::u16string(u"\uFEFF<a>Größe 😀</a>"), false), "<a>Größe 😀</a>"},
        {"UTF-16 BE mark", Bytes(std::u16string(u"\uFEFF<a>Größe</a>"), true), "<a>Größe</a>"},
        {"UTF-32 LE mark", Bytes(std::u32string(U"\uFEFF<a>Größe 😀</a>"), false), "<a>Größe 😀</a>"},
        {"UTF-32 BE mark", Bytes(std::u32string(U"\uFEFF<a>Größe</a>"), true), "<a>Größe</a>"},
        {"UTF-16 LE, no mark",
         Bytes(std::u16string(u"<?xml version='1.0' encoding='UTF-16'?><a>Größe</a>"), false),
         "<?xml version='1.0' encoding='UTF-16'?><a>Größe</a>"},
        {"UTF-16 BE, no mark", Bytes(std::u16string(u"<?xml version='1.0'?><a>Größe</a>"), true),
         "<?xml version='1.0'?><a>Größe</a>"},
        {"declared ISO-8859-1",
         kLatin1Declaration + "<a>Gr\xF6\xDF"
                              "e?</a>",
         kLatin1Declaration + "<a>Größe?</a>"},
        {"declared windows-1252",
         "<?xml version='1.0' encoding='windows-1252'?><a>\x93\x80 5\x94</a>",
         "<?xml version='1.0' encoding='windows-1252'?><a>“€ 5”</a>"},
        {"declared in other blanks and quotes",
         "<?xml\tversion = '1.0'\n encoding = \"iso-8859-15\" ?><a>\xA4</a>",
         "<?xml\tversion = '1.0'\n encoding = \"iso-8859-15\" ?><a>€</a>"},
        // The declaration names the bytes' encoding even where they would also
        // read as UTF-8.
        {"declared ISO-8859-1, bytes valid as UTF-8", kLatin1Declaration + "<a>\xC3\xB6</a>",
         kLatin1Declaration + "<a>Ã¶</a>"},
        {"a mark outweighs the declaration", "\xEF\xBB\xBF" + kLatin1Declaration + "<a>ö</a>",
         kLatin1Declaration + "<a>ö</a>"},
        {"undeclared UTF-8", "<?xml version='1.0'?><a>Größe</a>",
         "<?xml version='1.0'?><a>Größe</a>"},
        {"undeclared, not UTF-8",
         "<a>Gr\xF6\xDF"
         "e \x93x\x94</a>",
         "<a>Größe “x”</a>"},
        // Written as a .NET string and saved as UTF-8: the bytes cannot be UTF-16.
        {"declared UTF-16 in 8-bit bytes", "<?xml version='1.0' encoding='utf-16'?><a>ö</a>",
         "<?xml version='1.0' encoding='utf-16'?><a>ö</a>"},
        {"a processing instruction is no declaration",
         "<?xml-stylesheet encoding='ISO-8859-1'?><a>\xC3\xB6</a>",
         "<?xml-stylesheet encoding='ISO-8859-1'?><a>ö</a>"},
        {"a declaration later in the text is none",
         "<a><?xml version='1.0' encoding='ISO-8859-1'?>\xC3\xB6</a>",
         "<a><?xml version='1.0' encoding='ISO-8859-1'?>ö</a>"},
        {"empty", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SettingsDocumentText(c.bytes), c.text) << c.name;
    }
}

TEST(SettingsDocumentTextTest, BytesThatAreNoTextInTheirEncodingAreRefused) {
    const std::pair<std::string, std::string> cases[] = {
        // bytes, description
        {"<?xml version='1.0' encoding='klingon'?><a/>",
         "The settings document's encoding \"klingon\" is not known"},
        // Not an encoding name: the converter would take the comma for options.
        {"<?xml version='1.0' encoding='UTF-8,swaplfnl'?><a/>",
         "The settings document's encoding \"UTF-8,swaplfnl\" is not known"},
        {"<?xml version='1.0' encoding=''?><a/>",
         "The settings document's encoding \"\" is not known"},
        // The description is logged: it holds text, and not much of it.
        {"<?xml version='1.0' encoding='\xE9t\xE9'?><a/>",
         "The settings document's encoding \"?t?\" is not known"},
        {"<?xml version='1.0' encoding='" + std::string(100, 'x') + "'?><a/>",
         "The settings document's encoding \"" + std::string(40, 'x') + "…\" is not known"},
        {"<?xml version='1.0' encoding='UTF-8'?>\n<a>Gr\xF6\xDF"
         "e</a>",
         "The settings document is not valid UTF-8 at line 2, column 6"},
        {"<?xml version='1.0' encoding='US-ASCII'?><a>\xE9</a>",
         "The settings document is not valid US-ASCII at line 1, column 45"},
        {"\xEF\xBB\xBF<a>\xFF</a>", "The settings document is not valid UTF-8 at line 1, column 4"},
        {"\xFF\xFE<\0a\0>\0\x00\xD8<\0"s, "The settings document is not valid UTF-16LE"},
    };
    for (const auto& [bytes, description] : cases) {
        try {
            SettingsDocumentText(bytes);
            ADD_FAILURE() << "accepted: " << description;
        } catch (const RuntimeError& e) {
            EXPECT_EQ(e.Description().substr(0, description.size()), description);
        }
    }
}

}  // namespace
}  // namespace postwarden
