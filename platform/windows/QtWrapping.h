#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QPainter>
#include <QString>
#include <QStringList>
#include <string_view>

namespace postwarden {

// Texts of the designs and the module, which are UTF-8, as Qt's.
inline QString ToQt(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Draws `text` wrapped at word boundaries within `box`, only as many lines as
// fit whole (a half-cut line reads as a fault), either from the top or centred
// vertically. Returns the rectangle the drawn lines cover.
QRect DrawWrappedText(QPainter& painter, const QRect& box, const QString& text, bool centred);

// `text` broken into lines no wider than `width` pixels in `font`: at blanks,
// and within a word only where the word is wider than a line. Each line after
// the first starts with `indent`; nothing but the blanks at the breaks is left
// out.
QStringList WrapToWidth(const QString& text, const QFont& font, int width, const QString& indent);

// Greyed while the widget is disabled.
QColor TextColour(const QWidget& widget);

// A label whose text wraps within its box and loses the lines that do not fit.
class WrappingLabel final : public QLabel {
  public:
    explicit WrappingLabel(QWidget* parent) : QLabel(parent) {
        setTextFormat(Qt::PlainText);
        setWordWrap(true);
        setAlignment(Qt::AlignLeft | Qt::AlignTop);
    }

  protected:
    void paintEvent(QPaintEvent*) override;
};

// A check box whose caption wraps within the box, as the forms' questions need;
// a plain QCheckBox keeps its text on one line. The caption is drawn as written:
// an "&" in a question is shown, not taken as an access key.
class WrappingCheckBox final : public QCheckBox {
  public:
    explicit WrappingCheckBox(QWidget* parent) : QCheckBox(parent) {}

    void SetCaption(const QString& caption) {
        caption_ = caption;
        setAccessibleName(caption);
        update();
    }
    const QString& Caption() const { return caption_; }

  protected:
    // The whole box, caption included, toggles it.
    bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }

    void paintEvent(QPaintEvent*) override;

  private:
    QString caption_;
};

}  // namespace postwarden
