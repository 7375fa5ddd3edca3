// Painting of the progress bars.
#include "app/plain_progress_bar.h"

#include <QStyleOptionProgressBar>
#include <QStylePainter>
#include <algorithm>

namespace ql::app {

PlainProgressBar::PlainProgressBar(QWidget* parent) : QProgressBar(parent) {
  setTextVisible(false);
  setFocusPolicy(Qt::NoFocus);
}

void PlainProgressBar::SetPosition(int position) {
  setValue(std::clamp(position, minimum(), maximum()));
}

void PlainProgressBar::paintEvent(QPaintEvent* /*event*/) {
  QStylePainter painter(this);
  QStyleOptionProgressBar option;
  initStyleOption(&option);
  if (option.minimum == option.maximum) {
    option.maximum = option.minimum + 1;
    option.progress = option.minimum;
  }
  option.state |= QStyle::State_Enabled;
  option.palette.setCurrentColorGroup(QPalette::Active);
  painter.drawControl(QStyle::CE_ProgressBar, option);
}

}  // namespace ql::app
