// Window sizes and places in twips, the unit the window layouts are written in, converted with
// the screen's real pixels per inch.
#pragma once

#include <wx/gdicmn.h>
#include <wx/toplevel.h>

#include "startup/ini_file.h"

namespace halyard {

/// Pixels per inch of the screen, in the units window sizes are given in (so a display scaled
/// to 200% still gives 96 for an ordinary screen).
double ScreenPixelsPerInch(const wxWindow* window);

/// Twips to window pixels on the window's screen.
int Twips(const wxWindow* window, int twips);
wxSize Twips(const wxWindow* window, int width_twips, int height_twips);

/// A top-level window as CenterForm and the INI file's form positions see it.
class WindowGeometry : public FormGeometry {
 public:
  explicit WindowGeometry(wxTopLevelWindow& window) : window_(window) {}

  int WindowState() const override;
  void SetWindowState(int state) override;
  double Left() const override;
  double Top() const override;
  double Width() const override;
  double Height() const override;
  void Move(double left, double top, double width, double height) override;
  double ScreenWidth() const override;
  double ScreenHeight() const override;
  double TwipsPerPixelX() const override;
  double TwipsPerPixelY() const override;

 private:
  wxRect Screen() const;
  double ToTwips(int pixels) const { return pixels * TwipsPerPixelX(); }
  int ToPixels(double twips) const;

  wxTopLevelWindow& window_;
};

/// CenterForm on a window.
void CenterWindow(wxTopLevelWindow& window);

}  // namespace halyard
