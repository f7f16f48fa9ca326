// frmStatus on a modeless wxDialog.
#include "ui/status_window.h"

#include <wx/button.h>
#include <wx/dcclient.h>
#include <wx/dialog.h>
#include <wx/gauge.h>
#include <wx/panel.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <cstdio>

#include "ui/window_geometry.h"

namespace halyard {
namespace {

constexpr int kGaugeRange = 1000;
constexpr double kTitlePointSize = 9.75;

std::string Amount(long long bytes) {
  char text[32];
  if (bytes < 1024 * 1024) {
    std::snprintf(text, sizeof text, "%lld KB", (bytes + 1023) / 1024);
  } else {
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  }
  return text;
}

// The data picture: an 18 x 16 arrow into a tray, drawn here so that it scales with the screen.
// "Hidden" leaves its place empty so that the blinking does not move anything.
class DataPicture : public wxWindow {
 public:
  explicit DataPicture(wxWindow* parent)
      : wxWindow(parent, wxID_ANY, wxDefaultPosition, parent->FromDIP(wxSize(18, 16))) {
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    Bind(wxEVT_PAINT, &DataPicture::OnPaint, this);
  }

  bool PictureVisible() const { return visible_; }
  void SetPictureVisible(bool visible) {
    visible_ = visible;
    Refresh(false);
  }

 private:
  void OnPaint(wxPaintEvent&) {
    wxPaintDC dc(this);
    dc.SetBackground(wxBrush(GetParent()->GetBackgroundColour()));
    dc.Clear();
    if (!visible_) return;
    const double x = GetClientSize().x / 18.0;
    const double y = GetClientSize().y / 16.0;
    auto at = [x, y](double px, double py) {
      return wxPoint(static_cast<int>(px * x + 0.5), static_cast<int>(py * y + 0.5));
    };
    const wxColour arrow(31, 111, 235);
    dc.SetPen(wxPen(arrow.ChangeLightness(70)));
    dc.SetBrush(wxBrush(arrow));
    const wxPoint shape[] = {at(7, 0),  at(11, 0), at(11, 6), at(14, 6),
                             at(9, 11), at(4, 6),  at(7, 6)};
    dc.DrawPolygon(WXSIZEOF(shape), shape);
    dc.SetPen(wxPen(wxColour(90, 98, 110), std::max(1, static_cast<int>(y + 0.5))));
    dc.DrawLine(at(1, 10), at(1, 15));
    dc.DrawLine(at(1, 15), at(17, 15));
    dc.DrawLine(at(17, 15), at(17, 10));
  }

  bool visible_ = true;
};

}  // namespace

class StatusDialog : public wxDialog {
 public:
  StatusDialog(wxWindow* parent, frmStatus& owner)
      : wxDialog(parent, wxID_ANY, "Update Status", wxDefaultPosition, wxDefaultSize,
                 wxCAPTION | wxCLOSE_BOX | wxSYSTEM_MENU | wxRESIZE_BORDER),
        owner_(owner) {
    auto* lblTitle = new wxStaticText(this, wxID_ANY, "Update Status");
    wxFont title_font = lblTitle->GetFont();
    title_font.MakeBold();
    title_font.SetFractionalPointSize(
        std::max(title_font.GetFractionalPointSize(), kTitlePointSize));
    lblTitle->SetFont(title_font);

    txtStatus =
        new wxTextCtrl(this, wxID_ANY, wxString(), wxDefaultPosition, FromDIP(wxSize(460, 200)),
                       wxTE_MULTILINE | wxTE_READONLY | wxTE_DONTWRAP);

    pctData = new wxPanel(this);
    Data = new DataPicture(pctData);
    auto* lbldata = new wxStaticText(pctData, wxID_ANY, "Receiving Data");
    gauge_ = new wxGauge(pctData, wxID_ANY, kGaugeRange, wxDefaultPosition,
                         FromDIP(wxSize(140, -1)), wxGA_HORIZONTAL | wxGA_SMOOTH);
    amount_ = new wxStaticText(pctData, wxID_ANY, wxString(), wxDefaultPosition, wxDefaultSize,
                               wxST_NO_AUTORESIZE);
    amount_->SetMinSize(wxSize(GetTextExtent("999.9 MB of 999.9 MB").x, -1));
    auto* data_row = new wxBoxSizer(wxHORIZONTAL);
    data_row->Add(Data, 0, wxALIGN_CENTER_VERTICAL);
    data_row->Add(lbldata, 0, wxALIGN_CENTER_VERTICAL | wxLEFT, FromDIP(6));
    data_row->Add(gauge_, 0, wxALIGN_CENTER_VERTICAL | wxLEFT, FromDIP(12));
    data_row->Add(amount_, 0, wxALIGN_CENTER_VERTICAL | wxLEFT, FromDIP(8));
    pctData->SetSizer(data_row);
    pctData->Hide();

    cmdCancel = new wxButton(this, wxID_ANY, "Cancel");
    cmdCancel->Disable();
    cmdCancel->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { owner_.Cancel(); });

    auto* bottom = new wxBoxSizer(wxHORIZONTAL);
    bottom->Add(pctData, 1, wxALIGN_CENTER_VERTICAL | wxRESERVE_SPACE_EVEN_IF_HIDDEN);
    bottom->Add(cmdCancel, 0, wxALIGN_CENTER_VERTICAL | wxLEFT, FromDIP(12));

    const int margin = FromDIP(12);
    auto* column = new wxBoxSizer(wxVERTICAL);
    column->Add(lblTitle, 0, wxLEFT | wxRIGHT | wxTOP, margin);
    column->Add(txtStatus, 1, wxEXPAND | wxALL, margin);
    column->Add(bottom, 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, margin);
    SetSizerAndFit(column);
    SetMinSize(GetSize());

    // The close box asks for what Cancel does, and only while Cancel can be pressed.
    Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent& event) {
      if (cmdCancel->IsEnabled()) owner_.Cancel();
      if (event.CanVeto()) event.Veto();
    });
  }

  void ShowProgress(long long received, long long total) {
    if (total > 0) {
      gauge_->SetValue(static_cast<int>(std::min(received, total) * kGaugeRange / total));
      amount_->SetLabel(Amount(received) + " of " + Amount(total));
    } else {
      gauge_->Pulse();
      amount_->SetLabel(Amount(received));
    }
  }

  void ResetProgress() {
    gauge_->SetValue(0);
    amount_->SetLabel(wxString());
  }

  wxTextCtrl* txtStatus = nullptr;
  wxPanel* pctData = nullptr;
  DataPicture* Data = nullptr;
  wxButton* cmdCancel = nullptr;

 private:
  frmStatus& owner_;
  wxGauge* gauge_ = nullptr;
  wxStaticText* amount_ = nullptr;
};

frmStatus::frmStatus(Settings& settings, wxWindow* parent) : settings_(settings), parent_(parent) {}

frmStatus::~frmStatus() {
  Unload();
}

void frmStatus::Show() {
  if (!dialog_) {
    dialog_ = new StatusDialog(parent_, *this);
    dialog_->Refresh();
    CenterWindow(*dialog_);
  }
  dialog_->Show();
}

void frmStatus::Unload() {
  if (!dialog_) return;
  dialog_->Hide();
  dialog_->Destroy();
  dialog_ = nullptr;
}

void frmStatus::WriteLine(const std::string& line) {
  if (!dialog_) return;
  wxTextCtrl& text = *dialog_->txtStatus;
  text.AppendText(wxString::FromUTF8(line) + "\n");
  // The last line stays in view, as a log that follows the run should.
  text.SetInsertionPointEnd();
  text.ShowPosition(text.GetLastPosition());
}

std::string frmStatus::GetLog() const {
  if (!dialog_) return {};
  wxString text = dialog_->txtStatus->GetValue();
  text.Replace("\n", "\r\n");
  return std::string(text.utf8_str());
}

void frmStatus::TurnOnData() {
  if (!dialog_ || dialog_->pctData->IsShown()) return;
  dialog_->ResetProgress();
  dialog_->pctData->Show();
}

void frmStatus::TurnOffData() {
  if (!dialog_ || !dialog_->pctData->IsShown()) return;
  dialog_->pctData->Hide();
}

void frmStatus::FlashData() {
  if (!dialog_) return;
  dialog_->Data->SetPictureVisible(!dialog_->Data->PictureVisible());
}

void frmStatus::SetCancelEnabled(bool enabled) {
  if (!dialog_) return;
  // Once pressed, Cancel stays disabled: the request can be made only once.
  dialog_->cmdCancel->Enable(enabled && !settings_.UpdateCancelled);
}

void frmStatus::ReportTransfer(long long received, long long total) {
  if (!dialog_) return;
  dialog_->ShowProgress(received, total);
}

bool frmStatus::IsLoaded() const {
  return static_cast<bool>(dialog_);
}

void frmStatus::Cancel() {
  settings_.UpdateCancelled = true;
  if (dialog_) dialog_->cmdCancel->Disable();
}

wxWindow* frmStatus::Window() const {
  return dialog_.get();
}

}  // namespace halyard
