// The small text parsers of the store: address lists, HTML rendering,
// delivery order and distribution lists.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/mailstore/AddressList.h"
#include "platform/mailstore/DistributionLists.h"
#include "platform/mailstore/HtmlText.h"
#include "platform/mailstore/Maildir.h"

namespace postwarden::mailstore {
namespace {

struct SplitCase {
    const char* header;
    std::vector<std::pair<std::string, std::string>> mailboxes;  // phrase, address
};

class AddressSplitting : public ::testing::TestWithParam<SplitCase> {};

TEST_P(AddressSplitting, GivesEachMailboxAsWritten) {
    std::vector<std::pair<std::string, std::string>> found;
    for (const RawMailbox& m : SplitAddressList(GetParam().header))
        found.emplace_back(m.phrase, m.address);
    EXPECT_EQ(found, GetParam().mailboxes) << GetParam().header;
}

INSTANTIATE_TEST_SUITE_P(
    Headers, AddressSplitting,
    ::testing::Values(
        SplitCase{"a@x.org", {{"", "a@x.org"}}},
        SplitCase{"  A <a@x.org> ,b@y.org", {{"A", "a@x.org"}, {"", "b@y.org"}}},
        SplitCase{"\"Last, First\" <f@x.org>", {{"\"Last, First\"", "f@x.org"}}},
        SplitCase{"\"a\\\"b, c\" <q@x.org>, d@x.org",
                  {{"\"a\\\"b, c\"", "q@x.org"}, {"", "d@x.org"}}},
        SplitCase{"Team: a@x.org, B <b@x.org>;, c@x.org",
                  {{"", "a@x.org"}, {"B", "b@x.org"}, {"", "c@x.org"}}},
        SplitCase{"Empty:;, Other: ;", {}},
        SplitCase{"a@x.org (Comment, with comma), b@x.org", {{"", "a@x.org"}, {"", "b@x.org"}}},
        SplitCase{"Name (x) <n@x.org>", {{"Name (x)", "n@x.org"}}},
        SplitCase{"<\"a,b\"@x.org>", {{"", "\"a,b\"@x.org"}}},
        SplitCase{"x@[1.2.3.4], y@[a,b]", {{"", "x@[1.2.3.4]"}, {"", "y@[a,b]"}}},
        SplitCase{"'quoted@x.org', nobody", {{"", "'quoted@x.org'"}, {"", "nobody"}}},
        SplitCase{"a@x.org; b@x.org", {{"", "a@x.org"}, {"", "b@x.org"}}},
        SplitCase{",, ,a@x.org,", {{"", "a@x.org"}}},
        // Unbalanced quotes and brackets must not swallow the recipients after them.
        SplitCase{"\"Open <o@x.org>, p@x.org", {{"\"Open", "o@x.org"}, {"", "p@x.org"}}},
        SplitCase{"Half <h@x.org, i@x.org", {{"Half", "h@x.org"}, {"", "i@x.org"}}},
        SplitCase{"(unclosed a@x.org, j@x.org", {{"", "(unclosed a@x.org"}, {"", "j@x.org"}}},
        SplitCase{"", {}}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(AddressSplitting, PhrasesLoseTheirQuotingOnly) {
    EXPECT_EQ(UnquotePhrase("\"Last, First\""), "Last, First");
    EXPECT_EQ(UnquotePhrase("\"a\\\"b\"  c   (d)"), "a\"b c (d)");
    EXPECT_EQ(UnquotePhrase("  =?utf-8?q?x?=  \"y\" "), "=?utf-8?q?x?= y");
}

struct HtmlCase {
    const char* html;
    const char* text;
};

class HtmlRendering : public ::testing::TestWithParam<HtmlCase> {};

TEST_P(HtmlRendering, GivesTheReadableText) {
    EXPECT_EQ(HtmlToText(GetParam().html), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, HtmlRendering,
    ::testing::Values(
        HtmlCase{"<p>one</p><p>two</p>", "one\n\ntwo"}, HtmlCase{"a<br>b<BR/>c", "a\nb\nc"},
        HtmlCase{"  lots \n of\t space  ", "lots of space"},
        HtmlCase{"<head><title>t</title></head><style>p{}</style><script>x<y</script>body", "body"},
        HtmlCase{"<!-- hidden <p> -->shown", "shown"},
        HtmlCase{"&lt;&amp;&gt;&quot;&#65;&#x42;&euro;&unknown; & x", "<&>\"AB€&unknown; & x"},
        HtmlCase{"&#0;&#xD800;&#99999999;", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
        HtmlCase{"a < b and <b>c</b", "a < b and c</b"}, HtmlCase{"<ScRiPt>never closed", ""},
        HtmlCase{"<table><tr><td>1</td><td>2</td></tr><tr><th>3</th></tr></table>after",
                 "1 2\n3\n\nafter"},
        HtmlCase{"<div>a</div><div>b</div>x<br><br>y", "a\nb\nx\n\ny"},
        HtmlCase{"<ul><li>one<li>two</ul>", "one\ntwo"}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

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

}  // namespace
}  // namespace postwarden::mailstore
