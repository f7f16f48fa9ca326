// Text helpers shared by the modules: letter case, splitting, searching and trimming.
// Letter case follows the ASCII letters only; other bytes compare as they are.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace halyard {

std::string UpperCase(std::string_view text);
bool EqualsNoCase(std::string_view left, std::string_view right);

/// Position of needle in text ignoring letter case, or std::string::npos.
std::size_t FindNoCase(std::string_view text, std::string_view needle);

/// Splits at every occurrence of separator. Always gives at least one piece: "" gives {""},
/// "a,b," gives {"a", "b", ""}.
std::vector<std::string> Split(std::string_view text, std::string_view separator);

/// Removes blanks (spaces only, not tabs or line ends) from both ends.
std::string Trim(std::string_view text);

/// Replaces every occurrence of from by to.
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to);

/// Text from elsewhere (a server's file names) made safe to show on a terminal or in a window:
/// control characters (C0, DEL and the UTF-8 encoded C1 range) become "\xHH", byte by byte.
/// Everything else, backslashes included, stays, so escaping twice changes nothing more.
std::string EscapeControlCharacters(std::string_view text);

/// Text made safe to stand in HTML text and in quoted attribute values.
std::string EscapeHtml(std::string_view text);

/// A URL as a browser would send it: "\" in the path becomes "/", and blanks, control bytes,
/// bytes beyond ASCII and characters unsafe in a URL are percent-encoded. Local paths of the
/// change list reach us as they were written, with "\" separators and blanks.
std::string NormalizeUrl(const std::string& url);

}  // namespace halyard
