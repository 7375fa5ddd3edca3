// The application object.
#include "app/application.h"

#include <QIcon>
#include <QMessageBox>

namespace ql::app {
namespace {

constexpr int kIconSizes[] = {16, 24, 32, 48, 64, 96, 128};

QIcon ApplicationIcon() {
  QIcon icon;
  for (const int size : kIconSizes) {
    icon.addFile(QStringLiteral(":/icons/ql480tx-upgrade-%1.png").arg(size), QSize(size, size));
  }
  return icon;
}

}  // namespace

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {
  // The title goes in as the application name, not the display name: the
  // window system would append a display name to every window caption, and
  // the caption already begins with the title. applicationDisplayName()
  // falls back to this name, so message boxes without a caption still show
  // the title.
  setApplicationName(QString::fromLatin1(kApplicationTitle));
  setDesktopFileName(QStringLiteral("ql480tx-upgrade"));
  setWindowIcon(ApplicationIcon());
  display_ = [](const QString& text) {
    QMessageBox::critical(nullptr, QString::fromLatin1(kApplicationTitle), text);
  };
}

bool Application::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& error) {
    ShowException(error);
    return false;
  }
}

void Application::ShowException(const std::exception& error) {
  if (display_) {
    display_(QString::fromLocal8Bit(error.what()));
  }
}

Application* CurrentApplication() {
  return dynamic_cast<Application*>(QCoreApplication::instance());
}

}  // namespace ql::app
