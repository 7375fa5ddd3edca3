// Entry point of ql480tx-upgrade: the application object, then the window,
// then the event loop until the window is closed. Takes no arguments and
// returns 0, also when an exception ended the run after being shown.
#include <exception>

#include "app/application.h"
#include "app/frm_module.h"

int main(int argc, char* argv[]) {
  ql::app::Application app(argc, argv);
  try {
    ql::app::TfrmModule frmModule(ql::app::SystemServices());
    frmModule.ShowCentred();
    ql::app::Application::exec();
  } catch (const std::exception& error) {
    app.ShowException(error);
  }
  return 0;
}
