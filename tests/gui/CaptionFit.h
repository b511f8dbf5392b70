// The captions of a window that do not fit their controls at the font in
// use: a label whose text is wider than its contents (or, wrapped, taller),
// a radio button or check box narrower than its indicator and text, a push
// button narrower than its text.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QFont>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStringList>

namespace zentrova::test {

inline QStringList ClippedCaptions(const QWidget* root) {
  QStringList out;
  const auto note = [&out](const QWidget* w, const QString& text, int need, int have) {
    out << QString("%1 \"%2\": needs %3, has %4")
               .arg(w->metaObject()->className(), text)
               .arg(need)
               .arg(have);
  };
  for (const QLabel* l : root->findChildren<QLabel*>()) {
    if (l->text().isEmpty()) continue;  // a picture
    const QRect inside = l->contentsRect();
    if (l->wordWrap()) {
      const int need = l->heightForWidth(l->width());
      if (need > l->height()) note(l, l->text(), need, l->height());
    } else if (l->text().contains('\n')) {
      // Lines of their own: the widest and all of them down.
      const QSize need = l->fontMetrics().boundingRect(QRect(), 0, l->text()).size();
      if (need.width() > inside.width()) note(l, l->text(), need.width(), inside.width());
      if (need.height() > inside.height()) note(l, l->text(), need.height(), inside.height());
    } else {
      const int need = l->fontMetrics().horizontalAdvance(l->text());
      if (need > inside.width()) note(l, l->text(), need, inside.width());
    }
  }
  for (const QAbstractButton* b : root->findChildren<QAbstractButton*>()) {
    if (qobject_cast<const QPushButton*>(b) != nullptr) {
      const int need = b->fontMetrics().horizontalAdvance(b->text());
      if (need > b->contentsRect().width()) note(b, b->text(), need, b->contentsRect().width());
    } else if (qobject_cast<const QCheckBox*>(b) != nullptr ||
               qobject_cast<const QRadioButton*>(b) != nullptr) {
      // The indicator and its spacing come before the text.
      const int need = b->sizeHint().width();
      if (need > b->width()) note(b, b->text(), need, b->width());
    }
  }
  return out;
}

// The fonts the captions are checked at: the platform's own, and DejaVu Sans
// at 9 and 10 points at 96 dpi and at 10 points at 120 dpi (12.5 points at
// 96). A font the system lacks falls back to another, which is checked too.
inline QList<QFont> CaptionFonts() {
  QList<QFont> fonts = {QApplication::font()};
  for (const double points : {9.0, 10.0, 12.5}) {
    QFont font("DejaVu Sans");
    font.setPointSizeF(points);
    fonts << font;
  }
  return fonts;
}

// Sets the application's font for its lifetime, then puts back the old one.
class ApplicationFont {
 public:
  explicit ApplicationFont(const QFont& font) : m_old(QApplication::font()) {
    QApplication::setFont(font);
  }
  ~ApplicationFont() { QApplication::setFont(m_old); }

 private:
  QFont m_old;
};

}  // namespace zentrova::test
