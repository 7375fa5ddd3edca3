// The real note box and file dialog.
#include "app/dialogs.h"

#include <QFileDialog>
#include <QMessageBox>

namespace ql::app {

void SystemDialogs::ShowNote(QWidget* parent, const QString& caption, const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, parent);
  box.setObjectName(QStringLiteral("noteBox"));
  box.exec();
}

std::optional<QString> SystemDialogs::ChooseFirmwareFile(QWidget* parent) {
  // No title, start folder or default extension: the dialog's own choices.
  const QString path = QFileDialog::getOpenFileName(parent, QString(), QString(),
                                                    QString::fromLatin1(kFirmwareFilter));
  if (path.isEmpty()) {
    return std::nullopt;
  }
  return path;
}

}  // namespace ql::app
