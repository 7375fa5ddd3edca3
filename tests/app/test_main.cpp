// The window tests run inside the utility's own application object, offscreen.
#include <gtest/gtest.h>

#include "app/application.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // Also when CTest lists the cases, which it does without the test's
  // environment.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  ql::app::Application app(argc, argv);
  app.SetExceptionDisplay([](const QString& text) {
    ADD_FAILURE() << "unexpected exception display: " << text.toStdString();
  });
  return RUN_ALL_TESTS();
}
