// Day-count arithmetic and the text conversions of the shared date-time type.
#include "core/date_time.h"

#include <langinfo.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <string_view>

namespace halyard {
namespace {

constexpr long kSecondsPerDay = 86400;

// Days between the civil date and 1970-01-01 (proleptic Gregorian calendar).
long long DaysFromCivil(int year, int month, int day) {
  using namespace std::chrono;
  return sys_days{std::chrono::year{year} / std::chrono::month{static_cast<unsigned>(month)} /
                  std::chrono::day{static_cast<unsigned>(day)}}
      .time_since_epoch()
      .count();
}

// 1899-12-30 is 25569 days before 1970-01-01.
constexpr long long kEpochOffsetDays = 25569;

std::optional<DateTime> ParseWithFormat(const std::string& text, const char* format) {
  std::tm parts{};
  const char* end = strptime(text.c_str(), format, &parts);
  if (end == nullptr) return std::nullopt;
  while (*end == ' ') ++end;
  if (*end != '\0') return std::nullopt;
  const CalendarTime calendar{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                              parts.tm_hour,        parts.tm_min,     parts.tm_sec};
  // strptime takes any day up to 31 in any month; a day the month does not have would roll
  // into the next month. Converting back shows whether every field survived.
  if (calendar.year < 1 || calendar.year > 9999) return std::nullopt;
  const DateTime date = DateTime::FromCalendar(calendar);
  if (date.ToCalendar() != calendar) return std::nullopt;
  return date;
}

/// The format with every two-digit year ("%y", or inside "%D") made a four-digit one, as people
/// write the year in full even where the locale abbreviates it.
std::string WithFourDigitYear(const std::string& format) {
  std::string out;
  for (std::size_t i = 0; i < format.size(); ++i) {
    out += format[i];
    if (format[i] != '%' || i + 1 == format.size()) continue;
    const char directive = format[++i];
    if (directive == 'y') {
      out += 'Y';
    } else if (directive == 'D') {
      out += "m/%d/%Y";
    } else {
      out += directive;
    }
  }
  return out;
}

// The digits of text from position at, or -1 when one of them is not a digit.
int Digits(std::string_view text, std::size_t at, std::size_t count) {
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

std::optional<DateTime> ParseCanonical(std::string_view text) {
  constexpr std::string_view kShape = "0000-00-00 00:00:00";
  if (text.size() != kShape.size()) return std::nullopt;
  for (const std::size_t at : {4u, 7u, 10u, 13u, 16u}) {
    if (text[at] != kShape[at]) return std::nullopt;
  }
  const CalendarTime calendar{Digits(text, 0, 4),  Digits(text, 5, 2),  Digits(text, 8, 2),
                              Digits(text, 11, 2), Digits(text, 14, 2), Digits(text, 17, 2)};
  // Anything unusual (a stray character, year 0, an hour the clock has not) is left to the
  // general reading, so that both readings always agree.
  if (calendar.year < 1 || calendar.month < 1 || calendar.month > 12 || calendar.day < 1 ||
      calendar.day > 31 || calendar.hour < 0 || calendar.hour > 23 || calendar.minute < 0 ||
      calendar.minute > 59 || calendar.second < 0 || calendar.second > 59) {
    return std::nullopt;
  }
  const DateTime date = DateTime::FromCalendar(calendar);
  if (date.ToCalendar() != calendar) return std::nullopt;
  return date;
}

}  // namespace

DateTime DateTime::FromCalendar(const CalendarTime& calendar) {
  const long long days =
      DaysFromCivil(calendar.year, calendar.month, calendar.day) + kEpochOffsetDays;
  const long long seconds =
      static_cast<long long>(calendar.hour) * 3600 + calendar.minute * 60 + calendar.second;
  return DateTime(static_cast<double>(days) + static_cast<double>(seconds) / kSecondsPerDay);
}

DateTime DateTime::FromUnixTime(std::time_t instant, long nanoseconds) {
  std::tm local{};
  localtime_r(&instant, &local);
  (void)nanoseconds;  // the day count keeps whole seconds, as file dates are compared
  return FromCalendar({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                       local.tm_min, local.tm_sec});
}

DateTime DateTime::Now() {
  return FromUnixTime(std::time(nullptr));
}

DateTime DateTime::Today() {
  return DateTime(std::floor(Now().Days()));
}

CalendarTime DateTime::ToCalendar() const {
  const long long total_seconds = std::llround(days_ * kSecondsPerDay);
  long long days = total_seconds / kSecondsPerDay;
  long long seconds = total_seconds % kSecondsPerDay;
  if (seconds < 0) {
    seconds += kSecondsPerDay;
    --days;
  }
  using namespace std::chrono;
  const year_month_day date{sys_days{std::chrono::days{days - kEpochOffsetDays}}};
  return {static_cast<int>(date.year()),
          static_cast<int>(static_cast<unsigned>(date.month())),
          static_cast<int>(static_cast<unsigned>(date.day())),
          static_cast<int>(seconds / 3600),
          static_cast<int>(seconds / 60 % 60),
          static_cast<int>(seconds % 60)};
}

namespace {

// ISO 8601, then the locale's formats, each through strptime.
std::optional<DateTime> ParseAnyFormat(const std::string& text) {
  for (const char* format :
       {"%Y-%m-%d %H:%M:%S", "%Y-%m-%dT%H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%dT%H:%M", "%Y-%m-%d"}) {
    if (auto parsed = ParseWithFormat(text, format)) return parsed;
  }
  const std::string date_format = nl_langinfo(D_FMT);
  const std::string time_format = nl_langinfo(T_FMT);
  const std::string am_pm_format = nl_langinfo(T_FMT_AMPM);
  for (const std::string& format :
       {date_format + " " + time_format, date_format + " " + am_pm_format, date_format + " %H:%M",
        date_format}) {
    if (auto parsed = ParseWithFormat(text, format.c_str())) return parsed;
    const std::string full_year = WithFourDigitYear(format);
    if (full_year == format) continue;
    if (auto parsed = ParseWithFormat(text, full_year.c_str())) return parsed;
  }
  return std::nullopt;
}

}  // namespace

std::optional<DateTime> ParseDateTime(std::string_view text) {
  // Change lists give nearly every date as "YYYY-MM-DD HH:MM:SS": read without a copy or
  // strptime, as a list of tens of thousands of lines reads as many dates.
  if (auto date = ParseCanonical(text)) return date;
  const std::string owned(text);
  return ParseAnyFormat(owned);
}

std::string FormatShortDate(DateTime date) {
  const CalendarTime calendar = date.ToCalendar();
  std::tm parts{};
  parts.tm_year = calendar.year - 1900;
  parts.tm_mon = calendar.month - 1;
  parts.tm_mday = calendar.day;
  char buffer[64];
  const std::size_t length = std::strftime(buffer, sizeof buffer, nl_langinfo(D_FMT), &parts);
  return std::string(buffer, length);
}

}  // namespace halyard
