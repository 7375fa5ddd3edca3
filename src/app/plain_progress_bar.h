// A progress bar that never shows the busy animation.
#pragma once

#include <QProgressBar>

namespace ql::app {

// An upgrade of an image with no blocks sets the range 0 to 0, which a plain
// QProgressBar shows as an endless busy animation. This bar shows that range
// as an empty bar, and paints as enabled while the window is disabled, so the
// progress of a procedure stays visible. Positions outside the range are
// clamped into it rather than ignored.
class PlainProgressBar : public QProgressBar {
 public:
  explicit PlainProgressBar(QWidget* parent);

  void SetPosition(int position);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace ql::app
