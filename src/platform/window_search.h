// Finding another program's top-level window by its title and bringing it to the front, so
// the updater can tell whether the application it updates is still running.
#pragma once

#include <cstdint>
#include <string>

namespace halyard {

/// A window of the windowing system; 0 stands for none.
using WindowHandle = std::uint64_t;

/// The first top-level window whose title contains title, compared case-blind (Unicode case
/// folding). Client windows under a window manager's frames take part, visible or hidden;
/// windows without a title are skipped. Windows of this process never match, and an empty
/// title means "no check": 0. Without a display (or when it cannot be opened): 0.
WindowHandle FindApplicationWindow(const std::string& title);

/// Finds the window as FindApplicationWindow does, keeps it as the last found window, and
/// shows, raises and activates it. True when a window was found.
bool ActivateApplication(const std::string& title);

/// The window that the last ActivateApplication found, 0 when it found none.
WindowHandle LastFoundWindow();

}  // namespace halyard
