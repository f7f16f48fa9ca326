// Halyard: the updater's entry point. Its arguments are the command that restarts the
// application when the updater ends; they are kept as they are and never parsed.
#include <wx/app.h>

#include "core/program_folder.h"
#include "startup/settings.h"
#include "ui/main_window.h"

namespace {

class HalyardApp : public wxApp {
 public:
  // wxApp::OnInit would parse the command line, which is the restart command, not ours.
  bool OnInit() override {
    SetAppDisplayName("Tollgate");
    new halyard::frmMain(halyard::GlobalSettings());
    return true;
  }
};

}  // namespace

wxIMPLEMENT_APP_NO_MAIN(HalyardApp);

int main(int argc, char** argv) {
  halyard::Settings& settings = halyard::GlobalSettings();
  settings.CommandLine = halyard::CommandLineFromArguments(argc, argv);
  settings.ProgramFolder = halyard::ExecutableFolder();
  halyard::LoadSettings(settings);
  // The toolkit would take options such as --display from the arguments; it sees the
  // program's name alone.
  int toolkit_argc = 1;
  char* toolkit_argv[] = {argv[0], nullptr};
  return wxEntry(toolkit_argc, toolkit_argv);
}
