#include <gtest/gtest.h>

#include <string>

#include "module/RuntimeError.h"
#include "settings/SettingsDocument.h"

namespace postwarden {
namespace {

using namespace std::string_literals;

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
    const struct {
        std::string bytes, description;
    } cases[] = {
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
    for (const auto& c : cases) {
        try {
            SettingsDocumentText(c.bytes);
            ADD_FAILURE() << "accepted: " << c.description;
        } catch (const RuntimeError& e) {
            EXPECT_EQ(e.Description().substr(0, c.description.size()), c.description);
        }
    }
}

}  // namespace
}  // namespace postwarden
