// Twips and window geometry on the window's display.
#include "ui/window_geometry.h"

#include <wx/display.h>

#include <cmath>

#include "startup/settings.h"
#include "ui/login_protocol.h"

namespace halyard {
namespace {

constexpr double kTwipsPerInch = 1440.0;
constexpr double kStandardPixelsPerInch = 96.0;

}  // namespace

double ScreenPixelsPerInch(const wxWindow* window) {
  const int display = window != nullptr ? wxDisplay::GetFromWindow(window) : wxNOT_FOUND;
  const wxSize ppi =
      wxDisplay(display == wxNOT_FOUND ? 0u : static_cast<unsigned>(display)).GetPPI();
  if (ppi.y <= 0) return kStandardPixelsPerInch;
  // Window coordinates are logical pixels: on a display scaled by 2, one of them is two dots.
  const double scale = window != nullptr ? window->GetContentScaleFactor() : 1.0;
  return ppi.y / (scale > 0 ? scale : 1.0);
}

int Twips(const wxWindow* window, int twips) {
  return TwipsToPixels(twips, ScreenPixelsPerInch(window));
}

wxSize Twips(const wxWindow* window, int width_twips, int height_twips) {
  return {Twips(window, width_twips), Twips(window, height_twips)};
}

int WindowGeometry::WindowState() const {
  if (window_.IsIconized()) return 1;
  if (window_.IsMaximized()) return 2;
  return 0;
}

void WindowGeometry::SetWindowState(int state) {
  if (state == 1) {
    window_.Iconize(true);
  } else {
    window_.Maximize(state == 2);
  }
}

double WindowGeometry::Left() const {
  return ToTwips(window_.GetPosition().x - Screen().x);
}
double WindowGeometry::Top() const {
  return ToTwips(window_.GetPosition().y - Screen().y);
}
double WindowGeometry::Width() const {
  return ToTwips(window_.GetSize().x);
}
double WindowGeometry::Height() const {
  return ToTwips(window_.GetSize().y);
}

void WindowGeometry::Move(double left, double top, double width, double height) {
  const wxRect screen = Screen();
  window_.SetSize(screen.x + ToPixels(left), screen.y + ToPixels(top), ToPixels(width),
                  ToPixels(height));
}

double WindowGeometry::ScreenWidth() const {
  return ToTwips(Screen().width);
}
double WindowGeometry::ScreenHeight() const {
  return ToTwips(Screen().height);
}
double WindowGeometry::TwipsPerPixelX() const {
  return kTwipsPerInch / ScreenPixelsPerInch(&window_);
}
double WindowGeometry::TwipsPerPixelY() const {
  return TwipsPerPixelX();
}

wxRect WindowGeometry::Screen() const {
  // The work area of the window's display, so a centred window is not under a panel.
  const int display = wxDisplay::GetFromWindow(&window_);
  return wxDisplay(display == wxNOT_FOUND ? 0u : static_cast<unsigned>(display)).GetClientArea();
}

int WindowGeometry::ToPixels(double twips) const {
  return static_cast<int>(std::lround(twips / TwipsPerPixelX()));
}

void CenterWindow(wxTopLevelWindow& window) {
  WindowGeometry geometry(window);
  CenterForm(geometry);
}

}  // namespace halyard
