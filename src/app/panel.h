// The window's panels: captions on a coloured, bordered face, and the round
// communication indicator that sits on the status panel.
#pragma once

#include <QColor>
#include <QLabel>
#include <QWidget>

namespace ql::app {

// A caption centred on a filled face with an optional single border and an
// optional lowered bevel inside it. The caption is plain text (a file path is
// never taken for markup) and is painted in the panel's own colours even
// while the window is disabled, so the status stays readable during a
// procedure. A QLabel underneath, so assistive technologies read the caption.
class Panel : public QLabel {
 public:
  enum class Bevel { None, Lowered };

  explicit Panel(QWidget* parent);

  void SetSingleBorder(bool on);
  void SetInnerBevel(Bevel bevel);
  // How a caption too long for the panel is cut: ElideNone clips it.
  void SetElideMode(Qt::TextElideMode mode);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  bool singleBorder_ = false;
  Bevel innerBevel_ = Bevel::None;
  Qt::TextElideMode elideMode_ = Qt::ElideNone;
};

// A filled circle with a thin outline, as large as fits and centred.
class CommShape : public QWidget {
 public:
  explicit CommShape(QWidget* parent);

  void SetBrushColor(const QColor& colour);
  QColor BrushColor() const { return brush_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor brush_;
};

inline const QColor kIndicatorRed{255, 0, 0};
inline const QColor kIndicatorYellow{255, 255, 0};

}  // namespace ql::app
