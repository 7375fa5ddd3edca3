// Painting of the panels and the indicator.
#include "app/panel.h"

#include <QPainter>
#include <QPalette>

namespace ql::app {

Panel::Panel(QWidget* parent) : QLabel(parent) {
  setTextFormat(Qt::PlainText);
  setAlignment(Qt::AlignCenter);
  setFocusPolicy(Qt::NoFocus);
}

void Panel::SetSingleBorder(bool on) {
  singleBorder_ = on;
  update();
}

void Panel::SetInnerBevel(Bevel bevel) {
  innerBevel_ = bevel;
  update();
}

void Panel::SetElideMode(Qt::TextElideMode mode) {
  elideMode_ = mode;
  update();
}

void Panel::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  const QPalette& pal = palette();
  QRect face = rect();
  painter.fillRect(face, pal.color(QPalette::Active, backgroundRole()));

  if (singleBorder_) {
    painter.setPen(QColor(Qt::black));
    painter.drawRect(face.adjusted(0, 0, -1, -1));
    face.adjust(1, 1, -1, -1);
  }
  if (innerBevel_ == Bevel::Lowered) {
    // One pixel of face between the border and the bevel, then the bevel:
    // shadow above and to the left, light below and to the right.
    const QRect bevel = face.adjusted(1, 1, -1, -1);
    painter.setPen(pal.color(QPalette::Active, QPalette::Dark));
    painter.drawLine(bevel.topLeft(), bevel.topRight());
    painter.drawLine(bevel.topLeft(), bevel.bottomLeft());
    painter.setPen(pal.color(QPalette::Active, QPalette::Light));
    painter.drawLine(bevel.bottomLeft(), bevel.bottomRight());
    painter.drawLine(bevel.topRight(), bevel.bottomRight());
    face = bevel.adjusted(1, 1, -1, -1);
  }

  const QRect textRect = face.adjusted(2, 0, -2, 0);
  const QString shown = elideMode_ == Qt::ElideNone
                            ? text()
                            : fontMetrics().elidedText(text(), elideMode_, textRect.width());
  painter.setClipRect(face);
  painter.setPen(pal.color(QPalette::Active, foregroundRole()));
  painter.setFont(font());
  painter.drawText(textRect, static_cast<int>(Qt::AlignCenter | Qt::TextSingleLine), shown);
}

CommShape::CommShape(QWidget* parent) : QWidget(parent), brush_(kIndicatorRed) {
  setAccessibleName(QStringLiteral("Communication indicator"));
  setAccessibleDescription(QStringLiteral("red"));
}

void CommShape::SetBrushColor(const QColor& colour) {
  if (colour == brush_) {
    return;
  }
  brush_ = colour;
  setAccessibleDescription(colour == kIndicatorYellow ? QStringLiteral("yellow")
                           : colour == kIndicatorRed  ? QStringLiteral("red")
                                                      : colour.name());
  update();
}

void CommShape::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const int diameter = std::min(width(), height()) - 1;
  const QRectF circle((width() - 1 - diameter) / 2.0, (height() - 1 - diameter) / 2.0, diameter,
                      diameter);
  painter.setPen(QPen(Qt::black, 1));
  painter.setBrush(brush_);
  painter.drawEllipse(circle.translated(0.5, 0.5));
}

}  // namespace ql::app
