#include "platform/windows/QtWrapping.h"

#include <QFontMetricsF>
#include <QStyleOptionButton>
#include <QStyleOptionFocusRect>
#include <QStylePainter>
#include <QTextBoundaryFinder>
#include <QTextLayout>
#include <algorithm>

namespace postwarden {

QRect DrawWrappedText(QPainter& painter, const QRect& box, const QString& text, bool centred) {
    QTextLayout layout(text, painter.font());
    QTextOption option(Qt::AlignLeft);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    qreal height = 0;
    int whole = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(box.width());
        line.setPosition(QPointF(0, height));
        height += line.height();
        if (height <= box.height()) whole = line.lineNumber() + 1;
    }
    layout.endLayout();
    if (whole == 0) return {};
    const QTextLine last = layout.lineAt(whole - 1);
    const qreal used = last.y() + last.height();
    const QPointF origin(box.left(), box.top() + (centred ? (box.height() - used) / 2 : 0));
    qreal right = 0;
    for (int i = 0; i < whole; ++i) {
        layout.lineAt(i).draw(&painter, origin);
        right = std::max(right, layout.lineAt(i).naturalTextWidth());
    }
    return QRectF(origin, QSizeF(right, used)).toAlignedRect();
}

QStringList WrapToWidth(const QString& text, const QFont& font, int width, const QString& indent) {
    const QFontMetricsF metrics(font);
    const auto fits = [&](const QString& line) { return metrics.horizontalAdvance(line) <= width; };
    QStringList lines;
    // Breaks only at blanks: a break at a hyphen would show "q3-" and
    // "confidential.xlsx" as if they were two names.
    qsizetype blanks = 0;
    while (blanks < text.size() && text[blanks] == QLatin1Char(' ')) ++blanks;
    QString line = text.left(blanks);
    bool empty = true;  // nothing but the line's indent in `line` yet
    for (QString word : text.mid(blanks).split(QLatin1Char(' '))) {
        if (const QString longer = empty ? line + word : line + QLatin1Char(' ') + word;
            fits(longer)) {
            line = longer;
            empty = false;
            continue;
        }
        if (!empty) {
            lines << line;
            line = indent;
        }
        // A word wider than a whole line is cut between its characters, as
        // many as fit on each line (one at least).
        QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, word);
        while (!fits(line + word)) {
            qsizetype cut = 0;
            for (qsizetype next = graphemes.toNextBoundary();
                 next > 0 && next < word.size() && (cut == 0 || fits(line + word.left(next)));
                 next = graphemes.toNextBoundary()) {
                cut = next;
            }
            if (cut == 0) break;  // one character, wider than the line: it stands alone
            lines << line + word.left(cut);
            line = indent;
            word = word.mid(cut);
            graphemes = QTextBoundaryFinder(QTextBoundaryFinder::Grapheme, word);
        }
        line += word;
        empty = false;
    }
    lines << line;
    return lines;
}

QColor TextColour(const QWidget& widget) {
    return widget.palette().color(widget.isEnabled() ? QPalette::Active : QPalette::Disabled,
                                  QPalette::WindowText);
}

void WrappingLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(TextColour(*this));
    DrawWrappedText(painter, contentsRect(), text(), false);
}

void WrappingCheckBox::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    option.text.clear();
    QStyleOptionButton indicator = option;
    indicator.rect = style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, this);
    indicator.rect.moveTop((height() - indicator.rect.height()) / 2);
    painter.drawPrimitive(QStyle::PE_IndicatorCheckBox, indicator);

    const int spacing = style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, &option, this);
    const QRect text(indicator.rect.right() + 1 + spacing, 0,
                     width() - indicator.rect.right() - 1 - spacing, height());
    painter.setPen(TextColour(*this));
    const QRect drawn = DrawWrappedText(painter, text, caption_, true);
    if (hasFocus() && !drawn.isEmpty()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = drawn.adjusted(-1, 0, 1, 0) & rect();
        painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
    }
}

}  // namespace postwarden
