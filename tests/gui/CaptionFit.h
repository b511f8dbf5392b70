// The captions of a window that do not fit their controls at the font in
// use: a label whose text is wider than its contents (or, wrapped, taller),
// a radio button or check box narrower than its indicator and text, a push
// button narrower than its text.
#pragma once

#include <QAbstractButton>
#include <QCheckBox>
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

}  // namespace zentrova::test
