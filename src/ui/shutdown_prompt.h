// frmShutDown: holds the user while the application to be updated is running, and lets them
// continue once it has been closed, or abandon the update.
#pragma once

#include <wx/dialog.h>

#include <string>

#include "startup/settings.h"
#include "support/lite_timer.h"

class wxButton;

namespace halyard {

class frmShutDown : public wxDialog {
 public:
  /// ShowModal's answer when the user chose "Cancel Update"; Continue and closing give wxID_OK.
  static constexpr int kCancelUpdate = wxID_HIGHEST + 1;

  frmShutDown(wxWindow* parent, const Settings& settings, const std::string& main_caption);

  void EndModal(int return_code) override;

  wxButton* cmdContinue = nullptr;
  wxButton* cmdCancel = nullptr;

 private:
  void OnRunningTimer();

  const Settings& settings_;
  CLiteTimer RunningTimer;
};

}  // namespace halyard
