// frmServer: the dialog's twips layout, scaled up as a whole where the theme's controls need
// more room than the layout gives them.
#include "ui/server_dialog.h"

#include <wx/button.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <algorithm>
#include <cmath>

#include "ui/window_geometry.h"

namespace halyard {
namespace {

struct TwipsRect {
  int left, top, width, height;
};

constexpr TwipsRect kClient{0, 0, 3990, 1635};
constexpr TwipsRect kNameLabel{225, 255, 1065, 255};
constexpr TwipsRect kName{1455, 195, 2415, 315};
constexpr TwipsRect kPathLabel{210, 750, 1065, 255};
constexpr TwipsRect kPath{1440, 690, 2415, 315};
constexpr TwipsRect kCancel{1710, 1155, 1125, 375};
constexpr TwipsRect kOK{2925, 1155, 945, 375};

}  // namespace

frmServer::frmServer(wxWindow* parent, Settings& settings)
    : wxDialog(parent, wxID_ANY, "Server Details", wxDefaultPosition, wxDefaultSize,
               wxCAPTION | wxCLOSE_BOX | wxSYSTEM_MENU),
      settings_(settings) {
  // Created in the tab order: name, path, OK, Cancel.
  lblServerName_ = new wxStaticText(this, wxID_ANY, "Server Name");
  txtServerName = new wxTextCtrl(this, wxID_ANY, wxString::FromUTF8(settings.ServerName));
  lblServerPath_ = new wxStaticText(this, wxID_ANY, "Server Path");
  txtServerPath = new wxTextCtrl(this, wxID_ANY, wxString::FromUTF8(settings.ServerPath));
  cmdOK = new wxButton(this, wxID_OK, "OK");
  cmdCancel = new wxButton(this, wxID_CANCEL, "Cancel");
  cmdOK->SetDefault();
  cmdOK->Bind(wxEVT_BUTTON, &frmServer::OnOK, this);
  LayOut();
  CenterWindow(*this);
  txtServerName->SetFocus();
}

void frmServer::OnOK(wxCommandEvent&) {
  settings_.ServerName = std::string(txtServerName->GetValue().utf8_str());
  settings_.ServerPath = std::string(txtServerPath->GetValue().utf8_str());
  RebuildServerRoot(settings_);
  EndModal(wxID_OK);
}

void frmServer::LayOut() {
  const std::pair<wxWindow*, TwipsRect> items[] = {
      {lblServerName_, kNameLabel}, {txtServerName, kName}, {lblServerPath_, kPathLabel},
      {txtServerPath, kPath},       {cmdOK, kOK},           {cmdCancel, kCancel},
  };
  // One factor for the whole layout keeps its proportions: the smallest that gives every
  // control its natural height, and labels and buttons their natural width.
  double factor = 1.0;
  for (const auto& [control, rect] : items) {
    const wxSize best = control->GetBestSize();
    factor = std::max(factor, static_cast<double>(best.y) / Twips(this, rect.height));
    if (control != txtServerName && control != txtServerPath) {
      factor = std::max(factor, static_cast<double>(best.x) / Twips(this, rect.width));
    }
  }
  auto scaled = [this, factor](int twips) {
    return static_cast<int>(std::lround(Twips(this, twips) * factor));
  };
  for (const auto& [control, rect] : items) {
    control->SetSize(scaled(rect.left), scaled(rect.top), scaled(rect.width), scaled(rect.height));
  }
  SetClientSize(scaled(kClient.width), scaled(kClient.height));
}

}  // namespace halyard
