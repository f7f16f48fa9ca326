// Tests of the day-count date type and its text conversions.
#include "core/date_time.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>

namespace halyard {
namespace {

TEST(date_time, origin_is_zero_and_known_days_match_the_day_count) {
  EXPECT_EQ(DateTime::FromCalendar({1899, 12, 30, 0, 0, 0}).Days(), 0.0);
  EXPECT_EQ(DateTime::FromCalendar({1900, 1, 1, 0, 0, 0}).Days(), 2.0);
  EXPECT_EQ(DateTime::FromCalendar({2000, 1, 1, 0, 0, 0}).Days(), 36526.0);
  EXPECT_DOUBLE_EQ(DateTime::FromCalendar({2000, 1, 1, 18, 0, 0}).Days(), 36526.75);
}

TEST(date_time, calendar_round_trip_keeps_every_field) {
  const CalendarTime calendar{2026, 3, 5, 14, 30, 59};
  const CalendarTime back = DateTime::FromCalendar(calendar).ToCalendar();
  EXPECT_EQ(back.year, 2026);
  EXPECT_EQ(back.month, 3);
  EXPECT_EQ(back.day, 5);
  EXPECT_EQ(back.hour, 14);
  EXPECT_EQ(back.minute, 30);
  EXPECT_EQ(back.second, 59);
}

TEST(date_time, hours_past_midnight_roll_into_the_next_day) {
  EXPECT_EQ(DateTime::FromCalendar({2026, 12, 31, 25, 30, 0}),
            DateTime::FromCalendar({2027, 1, 1, 1, 30, 0}));
}

TEST(date_time, iso_text_parses_with_and_without_time) {
  EXPECT_EQ(ParseDateTime("2026-03-05 14:30:00"), DateTime::FromCalendar({2026, 3, 5, 14, 30, 0}));
  EXPECT_EQ(ParseDateTime("2026-03-05T14:30"), DateTime::FromCalendar({2026, 3, 5, 14, 30, 0}));
  EXPECT_EQ(ParseDateTime("2026-03-05"), DateTime::FromCalendar({2026, 3, 5, 0, 0, 0}));
}

TEST(date_time, text_that_is_no_date_does_not_parse) {
  EXPECT_FALSE(ParseDateTime("yesterday"));
  EXPECT_FALSE(ParseDateTime(""));
  EXPECT_FALSE(ParseDateTime("2026-13-05"));
  EXPECT_FALSE(ParseDateTime("2026-03-05 14:30:00 trailing"));
}

TEST(date_time, days_and_times_the_calendar_does_not_have_are_no_dates) {
  std::setlocale(LC_ALL, "C");
  for (const char* text : {"2030-02-31", "2029-02-29", "2030-04-31 10:00:00", "2030-01-01 23:59:60",
                           "02/31/30", "02/30/2030 10:00:00"}) {
    EXPECT_FALSE(ParseDateTime(text)) << text;
  }
  EXPECT_EQ(ParseDateTime("2028-02-29"), DateTime::FromCalendar({2028, 2, 29, 0, 0, 0}));
}

TEST(date_time, c_locale_short_date_parses_and_formats_with_either_year_length) {
  std::setlocale(LC_ALL, "C");
  const DateTime expected = DateTime::FromCalendar({2026, 3, 5, 14, 30, 0});
  EXPECT_EQ(ParseDateTime("03/05/26 14:30:00"), expected);
  EXPECT_EQ(ParseDateTime("03/05/2026 14:30:00"), expected);
  EXPECT_EQ(ParseDateTime("03/05/2026 14:30"), expected);
  EXPECT_EQ(ParseDateTime("03/05/2026"), DateTime::FromCalendar({2026, 3, 5, 0, 0, 0}));
  EXPECT_EQ(FormatShortDate(expected), "03/05/26");
}

TEST(date_time, unix_time_uses_the_zone_rules_of_that_instant) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  // 2026-01-15 12:00 UTC is winter time (+1), 2026-07-15 12:00 UTC summer time (+2).
  EXPECT_EQ(DateTime::FromUnixTime(1768478400), DateTime::FromCalendar({2026, 1, 15, 13, 0, 0}));
  EXPECT_EQ(DateTime::FromUnixTime(1784116800), DateTime::FromCalendar({2026, 7, 15, 14, 0, 0}));
  unsetenv("TZ");
  tzset();
}

}  // namespace
}  // namespace halyard
