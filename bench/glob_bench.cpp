// GlobMatch with the hardest entries we know against long texts, as the keyword
// rule matches a whole message body: each case is an entry of about 1,000
// characters (or the everyday ones) against a text of the given size in MiB.
// Each case says what it stresses; bytes_per_second is the text's bytes.
#include <benchmark/benchmark.h>

#include <string>

#include "util/Glob.h"

namespace {

using postwarden::GlobMatch;

std::string Repeat(std::string_view piece, size_t times) {
    std::string out;
    out.reserve(piece.size() * times);
    for (size_t i = 0; i < times; ++i) out += piece;
    return out;
}

// `unit` repeated to fill `mib` MiB, then `tail`.
std::string Text(std::string_view unit, int64_t mib, std::string_view tail = "") {
    return Repeat(unit, (static_cast<size_t>(mib) << 20) / unit.size()) + std::string(tail);
}

void Run(benchmark::State& state, const std::string& text, const std::string& entry,
         bool expected) {
    for (auto _ : state) {
        const bool match = GlobMatch(text, entry);
        if (match != expected) state.SkipWithError("unexpected result");
        benchmark::DoNotOptimize(match);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

// The entry that held a send for seconds: a star, then a literal that matches
// all but its last character at every place of the text.
void BM_StarThenAlmostMatchingLiteral(benchmark::State& state) {
    const std::string text = Text("a", state.range(0));
    Run(state, text, "*" + std::string(998, 'a') + "b", false);
}
BENCHMARK(BM_StarThenAlmostMatchingLiteral)->Arg(1)->Arg(25)->Unit(benchmark::kMillisecond);

// The same literal in the middle, so it is searched for and never found.
void BM_AlmostMatchingMiddlePiece(benchmark::State& state) {
    const std::string text = Text("a", state.range(0));
    Run(state, text, "*" + std::string(997, 'a') + "b*", false);
}
BENCHMARK(BM_AlmostMatchingMiddlePiece)->Arg(1)->Arg(25)->Unit(benchmark::kMillisecond);

// Wildcards and letters in turn: every place of the text starts a partial match
// that runs almost the whole length of the piece.
void BM_AlternatingQuestionMarks(benchmark::State& state) {
    const std::string text = Text("a", state.range(0));
    Run(state, text, "*" + Repeat("a?", 498) + "b*", false);
}
BENCHMARK(BM_AlternatingQuestionMarks)->Arg(1)->Arg(25)->Unit(benchmark::kMillisecond);

// Wildcards and letters in turn, then a run of `?` that takes the piece past
// 1,000 characters.
void BM_AlternatingThenLongRun(benchmark::State& state) {
    const std::string text = Text("a", state.range(0));
    Run(state, text, "*" + Repeat("a?", 480) + std::string(70, '?') + "b*", false);
}
BENCHMARK(BM_AlternatingThenLongRun)->Arg(1)->Arg(25)->Unit(benchmark::kMillisecond);

// One long run of `?` between two letters.
void BM_LongQuestionMarkRun(benchmark::State& state) {
    const std::string text = Text("a", state.range(0));
    Run(state, text, "*a" + std::string(996, '?') + "b*", false);
}
BENCHMARK(BM_LongQuestionMarkRun)->Arg(1)->Arg(25)->Unit(benchmark::kMillisecond);

// `?` at the ends of pieces, matching only at the very end of the text.
void BM_QuestionMarksAtPieceEnds(benchmark::State& state) {
    const std::string text = Text("ab", state.range(0), "c");
    Run(state, text, "*" + std::string(300, '?') + Repeat("ab", 200) + std::string(96, '?') + "c",
        true);
}
BENCHMARK(BM_QuestionMarksAtPieceEnds)->Arg(1)->Arg(25)->Unit(benchmark::kMillisecond);

// Many stars: each piece found at once, then the last one never.
void BM_ManyStarsLastPieceMissing(benchmark::State& state) {
    const std::string text = Text("a", state.range(0));
    Run(state, text, Repeat("*a", 499) + "b", false);
}
BENCHMARK(BM_ManyStarsLastPieceMissing)->Arg(1)->Arg(25)->Unit(benchmark::kMillisecond);

// Many stars, each piece far from the one before, the last one at the end.
void BM_ManyStarsSparsePieces(benchmark::State& state) {
    const std::string text = Text(std::string(1000, 'x') + "ab", state.range(0));
    Run(state, text, Repeat("*ab", 333), true);
}
BENCHMARK(BM_ManyStarsSparsePieces)->Arg(1)->Arg(25)->Unit(benchmark::kMillisecond);

// Capitals of two-byte letters folded on the way: Greek text, Greek entry.
void BM_GreekFolding(benchmark::State& state) {
    const std::string text = Text("ΣΟΦΙΑ ", state.range(0));
    Run(state, text, "*" + Repeat("σοφια ", 165) + "?λ*", false);
}
BENCHMARK(BM_GreekFolding)->Arg(1)->Arg(25)->Unit(benchmark::kMillisecond);

// Capital sharp s (three bytes) folds to ß (two); the ligature ﬁ stays itself.
void BM_SharpSAndLigature(benchmark::State& state) {
    const std::string text = Text("ẞﬁ", state.range(0));
    Run(state, text, "*" + Repeat("ß?", 499) + "ss*", false);
}
BENCHMARK(BM_SharpSAndLigature)->Arg(1)->Arg(25)->Unit(benchmark::kMillisecond);

// An everyday keyword entry against an ordinary body.
void BM_EverydayKeyword(benchmark::State& state) {
    const std::string text = Text("The quarterly numbers are attached, see you Monday. ",
                                  state.range(0), "CONFIDENTIAL");
    Run(state, text, "*confidential*", true);
}
BENCHMARK(BM_EverydayKeyword)->Arg(1)->Arg(25)->Unit(benchmark::kMillisecond);

// What each rule does most: short values against short entries.
void BM_AddressAgainstDomainEntry(benchmark::State& state) {
    const std::string value = "jane.doe@mail.branch.corp.example";
    for (auto _ : state) {
        benchmark::DoNotOptimize(GlobMatch(value, "*@*.corp.example"));
        benchmark::DoNotOptimize(GlobMatch(value, "boss@corp.example"));
        benchmark::DoNotOptimize(GlobMatch(value, "jane.???@*"));
    }
    state.SetItemsProcessed(state.iterations() * 3);
}
BENCHMARK(BM_AddressAgainstDomainEntry);

}  // namespace

BENCHMARK_MAIN();
