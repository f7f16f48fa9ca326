// The shared date-time type: days since 1899-12-30 00:00 local time, the fraction being the
// time of day. Zero stands for "no date" (for example a missing local file).
#pragma once

#include <compare>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace halyard {

struct CalendarTime {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;

  bool operator==(const CalendarTime&) const = default;
};

class DateTime {
 public:
  constexpr DateTime() = default;
  constexpr explicit DateTime(double days) : days_(days) {}

  constexpr double Days() const { return days_; }
  constexpr bool IsZero() const { return days_ == 0.0; }
  auto operator<=>(const DateTime&) const = default;

  /// A local calendar date and time; out-of-range hours, minutes or seconds roll over.
  static DateTime FromCalendar(const CalendarTime& calendar);
  /// The local wall-clock time of a UTC instant, with the zone rules that held at that instant.
  static DateTime FromUnixTime(std::time_t instant, long nanoseconds = 0);
  static DateTime Now();
  static DateTime Today();

  /// Rounded to the nearest second.
  CalendarTime ToCalendar() const;

 private:
  double days_ = 0.0;
};

/// Reads a date or date and time: ISO 8601 ("2026-03-05 14:30:00", "2026-03-05T14:30",
/// "2026-03-05") always, then the current locale's short date and time formats, where a
/// four-digit year may stand for a two-digit one. A day or time the calendar does not have
/// ("2030-02-31", "24:00:00") is no date.
std::optional<DateTime> ParseDateTime(std::string_view text);

/// The date in the current locale's short date format (no time of day).
std::string FormatShortDate(DateTime date);

}  // namespace halyard
