// frmServer: shows and changes, for this run only, the server the updater talks to.
#pragma once

#include <wx/dialog.h>

#include "startup/settings.h"

class wxButton;
class wxStaticText;
class wxTextCtrl;

namespace halyard {

class frmServer : public wxDialog {
 public:
  frmServer(wxWindow* parent, Settings& settings);

  wxTextCtrl* txtServerName = nullptr;
  wxTextCtrl* txtServerPath = nullptr;
  wxButton* cmdOK = nullptr;
  wxButton* cmdCancel = nullptr;

 private:
  void OnOK(wxCommandEvent& event);
  void LayOut();

  Settings& settings_;
  wxStaticText* lblServerName_ = nullptr;
  wxStaticText* lblServerPath_ = nullptr;
};

}  // namespace halyard
