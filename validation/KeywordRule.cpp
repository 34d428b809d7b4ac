// The keyword rule: a watch-listed keyword in the subject or the body.
#include <algorithm>
#include <memory>
#include <string_view>
#include <vector>

#include "module/CPostwarden.h"
#include "module/FailureReport.h"
#include "module/HostEngine.h"
#include "module/Platform.h"
#include "module/SettingKeys.h"
#include "util/DelimitedList.h"
#include "util/KeywordSearch.h"
#include "validation/Globals.h"

namespace postwarden {

namespace {

// The searcher over a list's entries, with the list text it was built from.
struct CachedSearch : KeywordSearch {
    CachedSearch(std::string listText, const std::vector<std::string>& keywords)
        : KeywordSearch(keywords), text(std::move(listText)) {}
    std::string text;
};

// Where in a body `keyword` stands: the body the store gives ends with the
// attachments' names, each after a blank line, and a keyword found only there
// is named by the attachment. A keyword matched as a pattern of the whole text,
// not found as written, is put down to the body.
std::string PlaceInBody(const std::string& keyword, std::string_view body,
                        const std::vector<std::string>& names) {
    std::string tail;
    for (const std::string& name : names) tail += "\n\n" + name;
    std::string_view text = body;
    if (!tail.empty() && body.ends_with(std::string_view(tail).substr(2))) {
        text = body.substr(0, body.size() - std::min(body.size(), tail.size()));
    }
    const KeywordSearch one({keyword});
    if (one.FirstOccurring(text) != KeywordSearch::npos) return "the body";
    for (const std::string& name : names) {
        if (one.FirstOccurring(name) != KeywordSearch::npos) {
            return "the attachment name \"" + CutText(name, kMaxEvidenceText) + "\"";
        }
    }
    return "the body";
}

}  // namespace

bool CPostwarden::CheckKeywords(const bool& separatePromptsWanted, std::string_view text) {
    bool result = true;
    try {
        if (!LoadRuleList(kKeywordsRule, m_ListOfKeywords, keys::kListOfKeywords,
                          fallback::kListOfKeywords,
                          "Error occurred: List of email keywords to check is empty.",
                          "Postwarden.CheckKeywords")) {
            return true;
        }
        if (m_KeywordsPrompted) return true;

        DelimitedList list;
        list.SetText(m_ListOfKeywords);
        const int32_t count = list.Count();

        // The list text never changes while this object lives, so the searcher
        // over its entries is built once and kept with it.
        auto cached = std::static_pointer_cast<const CachedSearch>(m_KeywordSearch);
        if (!cached || cached->text != m_ListOfKeywords ||
            cached->Size() != static_cast<size_t>(count)) {
            std::vector<std::string> keywords;
            keywords.reserve(static_cast<size_t>(count));
            for (int32_t index = 1; index <= count; ++index) keywords.push_back(list.Item(index));
            cached = std::make_shared<const CachedSearch>(m_ListOfKeywords, keywords);
            m_KeywordSearch = cached;
        }

        // The answer and the engine calls are those of the plain loop that, for
        // each keyword in turn, looks for it in the text and else asks the
        // engine's MatchesEntry: the first keyword found in the text ends that
        // loop, so only the keywords before it are put to the engine.
        const size_t first = cached->FirstOccurring(text);
        bool found = false;
        std::string keyword;
        for (int32_t index = 1; index <= count && !found; ++index) {
            keyword = list.Item(index);
            found = static_cast<size_t>(index - 1) == first ||
                    Helper().MatchesEntry(text, keyword) != 0;
        }

        // A keyword may stand in what the body lacks: that is asked about too.
        const bool unread = !found && m_KeywordsInBody && !m_UnreadParts.empty();
        if (found || unread) {
            if (separatePromptsWanted) m_KeywordsPrompted = true;
            SendEvidence& evidence = ThreadEvidence();
            if (unread) {
                evidence.unreadParts = CutText(m_UnreadParts, kMaxEvidenceText);
            } else {
                evidence.keyword = CutText(keyword, kMaxEvidenceText);
                evidence.keywordPlace = m_KeywordsInBody
                                            ? PlaceInBody(keyword, text, m_AttachmentNames)
                                            : "the subject";
            }
            result = ConfirmFiredRule(separatePromptsWanted, kKeywordsRule);
            ThreadGlobals().*kKeywordsRule.flag = true;
        }
        return result;
    } catch (const RuntimeError& e) {
        ReportRuleFailure(kKeywordsRule, "Postwarden.CheckKeywords", 1,
                          FailureText(0, e.Description()));
        return result;
    }
}

}  // namespace postwarden
