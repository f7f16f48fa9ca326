// Text helpers shared by the modules.
#include "core/text.h"

#include <algorithm>
#include <cstring>

namespace halyard {
namespace {

char UpperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

std::string UpperCase(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(), UpperAscii);
  return result;
}

bool EqualsNoCase(std::string_view left, std::string_view right) {
  return left.size() == right.size() &&
         std::equal(left.begin(), left.end(), right.begin(),
                    [](char a, char b) { return UpperAscii(a) == UpperAscii(b); });
}

std::size_t FindNoCase(std::string_view text, std::string_view needle) {
  const auto found = std::search(text.begin(), text.end(), needle.begin(), needle.end(),
                                 [](char a, char b) { return UpperAscii(a) == UpperAscii(b); });
  return found == text.end() && !needle.empty() ? std::string::npos
                                                : static_cast<std::size_t>(found - text.begin());
}

std::vector<std::string> Split(std::string_view text, std::string_view separator) {
  std::vector<std::string> pieces;
  if (separator.empty()) return {std::string(text)};
  std::size_t start = 0;
  for (std::size_t found = text.find(separator); found != std::string_view::npos;
       found = text.find(separator, start)) {
    pieces.emplace_back(text.substr(start, found - start));
    start = found + separator.size();
  }
  pieces.emplace_back(text.substr(start));
  return pieces;
}

std::string Trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(' ');
  return std::string(text.substr(first, last - first + 1));
}

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(text);
  std::string result;
  std::size_t start = 0;
  for (std::size_t found = text.find(from); found != std::string_view::npos;
       found = text.find(from, start)) {
    result.append(text.substr(start, found - start)).append(to);
    start = found + from.size();
  }
  result.append(text.substr(start));
  return result;
}

std::string EscapeControlCharacters(std::string_view text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string result;
  result.reserve(text.size());
  const auto escape = [&](unsigned char byte) {
    result += "\\x";
    result += kDigits[byte >> 4];
    result += kDigits[byte & 0xf];
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    // U+0080..U+009F: some terminals act on them as on ESC sequences.
    const bool c1 = byte == 0xc2 && i + 1 < text.size() &&
                    static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9f;
    if (c1) {
      escape(byte);
      escape(static_cast<unsigned char>(text[++i]));
    } else if (byte < 0x20 || byte == 0x7f) {
      escape(byte);
    } else {
      result += static_cast<char>(byte);
    }
  }
  return result;
}

std::string EscapeHtml(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&#39;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::string NormalizeUrl(const std::string& url) {
  const auto scheme_end = url.find("://");
  const auto path_start =
      scheme_end == std::string::npos ? 0 : url.find_first_of("/\\?#", scheme_end + 3);
  if (path_start == std::string::npos) return url;
  std::string result = url.substr(0, path_start);
  bool in_path = true;
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (std::size_t i = path_start; i < url.size(); ++i) {
    const auto byte = static_cast<unsigned char>(url[i]);
    if (byte == '?' || byte == '#') in_path = false;
    if (byte == '\\' && in_path) {
      result += '/';
    } else if (byte <= 0x20 || byte >= 0x7F || std::strchr("\"<>\\^`{|}", byte) != nullptr) {
      result += '%';
      result += kHex[byte >> 4];
      result += kHex[byte & 0x0F];
    } else {
      result += static_cast<char>(byte);
    }
  }
  return result;
}

}  // namespace halyard
