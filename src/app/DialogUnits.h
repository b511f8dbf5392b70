// Controls are placed in dialog units scaled by the font: x in quarters of
// the average width of the 52 Latin letters (the usual base unit, a little
// wider than the font's own average), y in eighths of the character height.
#pragma once

#include <QFontMetrics>
#include <QWidget>

namespace zentrova {

class DialogUnits {
 public:
  explicit DialogUnits(const QWidget* widget) {
    const QFontMetrics m(widget->font());
    const int letters = m.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    m_cx = (letters + 26) / 52;
    m_cy = m.height();
  }
  int X(int units) const { return (units * m_cx + 2) / 4; }
  int Y(int units) const { return (units * m_cy + 4) / 8; }
  // Places w at x,y with size cx×cy, all in dialog units.
  void Place(QWidget* w, int x, int y, int cx, int cy) const {
    w->setGeometry(X(x), Y(y), X(cx), Y(cy));
  }

 private:
  int m_cx;
  int m_cy;
};

}  // namespace zentrova
