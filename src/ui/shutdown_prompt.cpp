// frmShutDown: polls every 500 ms for the application's window, bringing it to the front
// while it is there.
#include "ui/shutdown_prompt.h"

#include <wx/artprov.h>
#include <wx/button.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>

#include "platform/window_search.h"
#include "ui/login_protocol.h"
#include "ui/window_geometry.h"

namespace halyard {
namespace {

constexpr int kPollMilliseconds = 500;
constexpr int kMessageWidth = 380;

}  // namespace

frmShutDown::frmShutDown(wxWindow* parent, const Settings& settings,
                         const std::string& main_caption)
    : wxDialog(parent, wxID_ANY, wxString::FromUTF8(ShutDownCaption(settings))),
      settings_(settings) {
  wxString message = wxString::FromUTF8(ShutDownMessage(main_caption, settings));
  message.Replace("\r\n", "\n");
  auto* lblShutDown = new wxStaticText(this, wxID_ANY, message);
  lblShutDown->Wrap(FromDIP(kMessageWidth));
  auto* icon = new wxStaticBitmap(this, wxID_ANY,
                                  wxArtProvider::GetBitmapBundle(wxART_WARNING, wxART_MESSAGE_BOX));
  cmdCancel = new wxButton(this, wxID_ANY, "Cancel Update");
  cmdContinue = new wxButton(this, wxID_ANY, "Continue >>");
  cmdContinue->Disable();
  cmdCancel->SetFocus();
  // Both choices carry the same weight: one width for both buttons.
  wxSize button_size = cmdCancel->GetBestSize();
  button_size.IncTo(cmdContinue->GetBestSize());
  cmdCancel->SetMinSize(button_size);
  cmdContinue->SetMinSize(button_size);
  cmdContinue->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { EndModal(wxID_OK); });
  cmdCancel->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { EndModal(kCancelUpdate); });
  // Closing the prompt in any other way is Continue.
  Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent& event) {
    if (IsModal()) {
      EndModal(wxID_OK);
    } else {
      event.Skip();
    }
  });
  SetEscapeId(wxID_NONE);

  const int margin = FromDIP(14);
  auto* message_row = new wxBoxSizer(wxHORIZONTAL);
  message_row->Add(icon, 0, wxALIGN_TOP | wxRIGHT, margin);
  message_row->Add(lblShutDown, 1, wxALIGN_CENTER_VERTICAL);
  auto* buttons = new wxBoxSizer(wxHORIZONTAL);
  buttons->AddStretchSpacer();
  buttons->Add(cmdCancel, 0, wxRIGHT, FromDIP(8));
  buttons->Add(cmdContinue);
  auto* column = new wxBoxSizer(wxVERTICAL);
  column->Add(message_row, 0, wxEXPAND | wxALL, margin);
  column->Add(buttons, 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, margin);
  SetSizerAndFit(column);
  CenterWindow(*this);

  RunningTimer.SetTimerHandler([this] { OnRunningTimer(); });
  RunningTimer.SetInterval(kPollMilliseconds);
  RunningTimer.SetEnabled(true);
}

void frmShutDown::EndModal(int return_code) {
  RunningTimer.SetEnabled(false);
  wxDialog::EndModal(return_code);
}

void frmShutDown::OnRunningTimer() {
  // While the application is there it is brought to the front at every tick.
  if (ActivateApplication(settings_.ApplicationSearchTitle)) return;
  RunningTimer.SetEnabled(false);
  cmdContinue->Enable();
  cmdContinue->SetDefault();
  cmdContinue->SetFocus();
}

}  // namespace halyard
