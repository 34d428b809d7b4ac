#include "platform/windows/TerminalLayout.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cctype>
#include <limits>

#include "platform/TerminalText.h"
#include "platform/windows/TerminalLines.h"
#include "platform/windows/TerminalWindowSystem.h"

namespace postwarden {

namespace {

constexpr int kMaxWidth = 80;
// Check box text may use this many lines where the terminal has room.
constexpr int kMaxLinesPerBox = 3;
constexpr int kMaxLabelLines = 10;

// One character as it takes room on the screen.
struct Glyph {
    std::string bytes;
    int width;
};

// The text as screen characters, escaped so that nothing in it can move the
// cursor, change the terminal or reorder what is shown; line feeds are kept as
// forced line breaks. The Unicode line and paragraph separators become spaces:
// terminals do not break lines at them.
std::vector<Glyph> Glyphs(std::string_view text) {
    std::vector<Glyph> glyphs;
    const std::string escaped = EscapeLinesForTerminal(text);
    const auto* bytes = reinterpret_cast<const uint8_t*>(escaped.data());
    const int32_t length = static_cast<int32_t>(escaped.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c == '\n') {
            glyphs.push_back({"\n", 0});
            continue;
        }
        if (c < 0) continue;  // escaping leaves none; a slip must not reach the terminal
        if (u_iscntrl(c)) {
            glyphs.push_back({" ", 1});
            continue;
        }
        if (c == 0x200B) continue;
        uint8_t encoded[U8_MAX_LENGTH];
        int32_t size = 0;
        U8_APPEND_UNSAFE(encoded, size, c);
        const auto eastAsian =
            static_cast<UEastAsianWidth>(u_getIntPropertyValue(c, UCHAR_EAST_ASIAN_WIDTH));
        const int8_t category = u_charType(c);
        int width = 1;
        if (category == U_NON_SPACING_MARK || category == U_ENCLOSING_MARK ||
            category == U_FORMAT_CHAR) {
            width = 0;
        } else if (eastAsian == U_EA_WIDE || eastAsian == U_EA_FULLWIDTH) {
            width = 2;
        }
        glyphs.push_back(
            {std::string(reinterpret_cast<const char*>(encoded), static_cast<size_t>(size)),
             width});
    }
    return glyphs;
}

int Width(const std::vector<Glyph>& glyphs) {
    int width = 0;
    for (const Glyph& glyph : glyphs) width += glyph.width;
    return width;
}

std::string Join(const std::vector<Glyph>& glyphs) {
    std::string text;
    for (const Glyph& glyph : glyphs) text += glyph.bytes;
    return text;
}

// Wraps at blanks within `width` columns, breaking words longer than a line.
// At most `maxLines` lines; when text is left over, the last line ends in "...".
std::vector<std::string> Wrap(std::string_view text, int width, int maxLines) {
    std::vector<std::vector<Glyph>> lines;
    std::vector<Glyph> line;
    std::vector<Glyph> word;
    int lineWidth = 0;
    const auto endLine = [&] {
        while (!line.empty() && line.back().bytes == " ") line.pop_back();
        lines.push_back(std::move(line));
        line.clear();
        lineWidth = 0;
    };
    const auto placeWord = [&] {
        const int wordWidth = Width(word);
        if (lineWidth > 0 && lineWidth + 1 + wordWidth > width) endLine();
        if (lineWidth > 0) {
            line.push_back({" ", 1});
            ++lineWidth;
        }
        for (Glyph& glyph : word) {
            if (lineWidth + glyph.width > width) endLine();
            lineWidth += glyph.width;
            line.push_back(std::move(glyph));
        }
        word.clear();
    };
    bool any = false;
    for (Glyph& glyph : Glyphs(text)) {
        any = true;
        if (glyph.bytes == "\n") {
            if (!word.empty()) placeWord();
            endLine();
        } else if (glyph.bytes == " ") {
            if (!word.empty()) placeWord();
        } else {
            word.push_back(std::move(glyph));
        }
    }
    if (!word.empty()) placeWord();
    if (!line.empty() || (any && lines.empty())) endLine();

    std::vector<std::string> out;
    for (size_t i = 0; i < lines.size() && static_cast<int>(i) < maxLines; ++i) {
        std::vector<Glyph>& shown = lines[i];
        if (static_cast<int>(i) == maxLines - 1 && lines.size() > i + 1) {
            while (!shown.empty() && Width(shown) + 3 > width) shown.pop_back();
            shown.push_back({"...", 3});
        }
        out.push_back(Join(shown));
    }
    return out;
}

int WidthOf(std::string_view text) {
    return Width(Glyphs(text));
}

std::string Spaces(int count) {
    return std::string(static_cast<size_t>(std::max(count, 0)), ' ');
}

// The rows of a window's details within `width` columns and at most `rows`
// rows, a blank row first. Each line is escaped and wrapped whole, its indent
// kept and its further rows indented two more. When they do not all fit, the
// rows from `scroll.top` (kept within bounds) are shown and the last row says
// where they stand and which keys scroll them.
std::vector<std::string> DetailRows(const std::vector<std::string>& lines, int width, int rows,
                                    TerminalWindowSystem::DetailScroll& scroll) {
    std::vector<std::string> all;
    for (const std::string& line : lines) {
        const size_t indent = std::min(line.find_first_not_of(' '), line.size());
        const std::string text = EscapeForTerminal(std::string_view(line).substr(indent));
        const int first = static_cast<int>(indent);
        // A line that fits is one row; a longer one wraps within the columns
        // its further rows, two further in, leave.
        std::vector<std::string> wrapped =
            WidthOf(text) <= width - first
                ? std::vector<std::string>{text}
                : Wrap(text, std::max(width - first - 2, 4), std::numeric_limits<int>::max());
        if (wrapped.empty()) wrapped.emplace_back();
        for (size_t i = 0; i < wrapped.size(); ++i) {
            all.push_back(Spaces(first + (i > 0 ? 2 : 0)) + wrapped[i]);
        }
    }
    std::vector<std::string> out;
    scroll.total = static_cast<int>(all.size());
    if (lines.empty() || rows < 2) {
        scroll.top = scroll.shown = 0;
        return out;
    }
    out.emplace_back();
    if (scroll.total <= rows - 1) {
        scroll.top = 0;
        scroll.shown = scroll.total;
        out.insert(out.end(), all.begin(), all.end());
        return out;
    }
    scroll.shown = std::max(rows - 2, 1);
    scroll.top = std::clamp(scroll.top, 0, scroll.total - scroll.shown);
    const int end = scroll.top + scroll.shown;
    out.insert(out.end(), all.begin() + scroll.top, all.begin() + end);
    std::string where;
    if (scroll.top == 0) {
        where = "... " + std::to_string(scroll.total - end) + " more lines (PgDn)";
    } else {
        where = "... lines " + std::to_string(scroll.top + 1) + "-" + std::to_string(end) + " of " +
                std::to_string(scroll.total) + (end < scroll.total ? " (PgUp, PgDn)" : " (PgUp)");
    }
    out.push_back(Wrap(where, width, 1)[0]);
    return out;
}

using Span = TerminalWindowSystem::Span;
using ScreenLine = TerminalWindowSystem::ScreenLine;

// "| " + content padded to `inner` + " |".
ScreenLine Boxed(std::vector<Span> content, int inner) {
    ScreenLine line{{"| ", Span::Style::kPlain}};
    int used = 0;
    for (Span& span : content) {
        used += WidthOf(span.text);
        line.push_back(std::move(span));
    }
    line.push_back({Spaces(inner - used) + " |", Span::Style::kPlain});
    return line;
}
}  // namespace

// The push buttons in the order they stand, left to right.
std::vector<const ShownControl*> Buttons(const ModelWindow& window) {
    std::vector<std::pair<int32_t, const ShownControl*>> buttons;
    for (size_t i = 0; i < window.controls().size(); ++i) {
        const ShownControl& control = window.controls()[i];
        if (control.kind == ControlKind::kPushButton) {
            buttons.emplace_back(window.design().controls[i].left, &control);
        }
    }
    std::stable_sort(buttons.begin(), buttons.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<const ShownControl*> out;
    for (const auto& button : buttons) out.push_back(button.second);
    return out;
}

std::vector<ScreenLine> TerminalWindowSystem::Draw(const ModelWindow& window,
                                                   std::string_view focused, std::string_view hint,
                                                   int columns, int rows, DetailScroll* scroll) {
    DetailScroll fromTop;
    DetailScroll& detailScroll = scroll ? *scroll : fromTop;
    const int width = std::clamp(columns, 20, kMaxWidth);
    const int inner = width - 4;
    const std::vector<std::string> hintLines = Wrap(hint, width, 3);

    int boxes = 0;
    int labels = 0;
    // The rows the questions take when shown whole, as far as they ever are.
    int questionRows = 0;
    int rowsPerBox = 0;
    for (const ShownControl& control : window.controls()) {
        if (control.kind == ControlKind::kCheckBox) {
            ++boxes;
            const auto lines = Wrap(control.caption, inner - 6, kMaxLinesPerBox).size();
            rowsPerBox = std::max(rowsPerBox, std::max(static_cast<int>(lines), 1));
        } else if (control.kind == ControlKind::kLabel) {
            ++labels;
            questionRows +=
                std::max(static_cast<int>(Wrap(control.caption, inner, kMaxLabelLines).size()), 1);
        }
    }
    questionRows += boxes * rowsPerBox;
    // Border, blank lines and the buttons take 6 rows; the rest is for text.
    int room = std::max(rows - 6 - static_cast<int>(hintLines.size()), boxes);
    // The details get the rows the questions leave, behind a blank row, and on
    // a screen too small for the questions whole a few rows all the same, so
    // that they are seen to be there; what does not fit is counted.
    constexpr int kFewDetailRows = 4;
    const int detailRows =
        std::max(room - questionRows, std::min(kFewDetailRows, room - boxes - labels));
    const std::vector<std::string> details =
        DetailRows(window.details(), inner, detailRows, detailScroll);
    room -= static_cast<int>(details.size());
    const int linesPerBox = boxes > 0 ? std::clamp(room / boxes, 1, kMaxLinesPerBox) : 0;
    const int labelLines = std::clamp(room - boxes * linesPerBox, 1, kMaxLabelLines);

    std::vector<ScreenLine> screen;
    std::vector<Glyph> title = Glyphs(window.caption());
    while (!title.empty() && Width(title) > width - 6) title.pop_back();
    const std::string titleText = Join(title);
    screen.push_back(
        {{"+- " + titleText + " " +
              std::string(static_cast<size_t>(std::max(width - 5 - Width(title), 0)), '-') + "+",
          Span::Style::kPlain}});
    screen.push_back(Boxed({}, inner));

    int number = 0;
    for (const ShownControl& control : window.controls()) {
        if (control.kind == ControlKind::kLabel) {
            for (const std::string& text : Wrap(control.caption, inner, labelLines)) {
                screen.push_back(Boxed({{text, Span::Style::kPlain}}, inner));
            }
        } else if (control.kind == ControlKind::kCheckBox) {
            ++number;
            const Span::Style style = control.enabled ? Span::Style::kPlain : Span::Style::kGreyed;
            const std::string tick = control.checkValue == kUnchecked ? "[ ] " : "[x] ";
            // One key a box, as the keyboard's row of digits has them: the
            // tenth is 0.
            const std::string key = control.enabled ? std::to_string(number % 10) + " " : "  ";
            std::vector<std::string> text = Wrap(control.caption, inner - 6, linesPerBox);
            if (text.empty()) text.emplace_back();
            for (size_t i = 0; i < text.size(); ++i) {
                const std::string prefix = i == 0 ? key + tick : Spaces(6);
                screen.push_back(Boxed({{prefix + text[i], style}}, inner));
            }
        }
    }
    for (const std::string& text : details)
        screen.push_back(Boxed({{text, Span::Style::kPlain}}, inner));
    screen.push_back(Boxed({}, inner));

    std::vector<Span> buttons;
    int buttonsWidth = 0;
    for (const ShownControl* button : Buttons(window)) {
        const std::string caption = WithoutAccessKeys(button->caption);
        const bool isFocused = button->name == focused;
        Span span{(isFocused ? "< " : "[ ") + caption + (isFocused ? " >" : " ]"),
                  !button->enabled ? Span::Style::kGreyed
                  : isFocused      ? Span::Style::kFocused
                                   : Span::Style::kPlain};
        if (!buttons.empty()) {
            buttons.push_back({"   ", Span::Style::kPlain});
            buttonsWidth += 3;
        }
        buttonsWidth += WidthOf(span.text);
        buttons.push_back(std::move(span));
    }
    if (!buttons.empty()) {
        buttons.insert(buttons.begin(), {Spaces((inner - buttonsWidth) / 2), Span::Style::kPlain});
        screen.push_back(Boxed(std::move(buttons), inner));
    }
    screen.push_back(
        {{"+" + std::string(static_cast<size_t>(width - 2), '-') + "+", Span::Style::kPlain}});
    for (const std::string& text : hintLines) screen.push_back({{text, Span::Style::kPlain}});
    return screen;
}

std::string TerminalWindowSystem::PlainText(const ScreenLine& line) {
    std::string text;
    for (const Span& span : line) text += span.text;
    return text;
}

}  // namespace postwarden
