// The application object: its title, its icon, and the standard display of
// an exception that escapes an event handler.
#pragma once

#include <QApplication>
#include <QString>
#include <exception>
#include <functional>

namespace ql::app {

// The application title, without the version the window caption carries.
inline constexpr const char* kApplicationTitle = "QL480TX-V5 upgrade firmware utility";

class Application : public QApplication {
 public:
  // How an escaped exception is shown; the default is a critical message box.
  using ExceptionDisplay = std::function<void(const QString& text)>;

  Application(int& argc, char** argv);

  // An exception that escapes the handling of an event is shown, and the
  // event loop runs on.
  bool notify(QObject* receiver, QEvent* event) override;

  void ShowException(const std::exception& error);
  void SetExceptionDisplay(ExceptionDisplay display) { display_ = std::move(display); }

 private:
  ExceptionDisplay display_;
};

// The current Application; nullptr when the running application is another
// QApplication.
Application* CurrentApplication();

}  // namespace ql::app
