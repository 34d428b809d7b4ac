#include "platform/windows/QtWrapping.h"

#include <QFontMetricsF>
#include <QStyleOptionButton>
#include <QStyleOptionFocusRect>
#include <QStylePainter>
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
    QTextLayout layout(text, font);
    QTextOption option(Qt::AlignLeft);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    // Room for one character at least, so that every line takes some text.
    const qreal rest = std::max<qreal>(width - QFontMetricsF(font).horizontalAdvance(indent), 1);
    QStringList lines;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(lines.isEmpty() ? std::max(width, 1) : rest);
        QString part = text.mid(line.textStart(), line.textLength());
        // The blank a line breaks at stays behind it, unseen.
        while (part.endsWith(QLatin1Char(' '))) part.chop(1);
        lines << (lines.isEmpty() ? part : indent + part);
    }
    layout.endLayout();
    if (lines.isEmpty()) lines << QString();
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
