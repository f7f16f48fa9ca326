// Change-list dates: ISO 8601 and the short formats of the C locale. A date that is read must
// be one the calendar has, and survive a round trip through its fields.
#include "core/date_time.h"

#include <clocale>

#include "fuzz_support.h"

using namespace halyard;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool locale_set = std::setlocale(LC_ALL, "C") != nullptr;
  (void)locale_set;
  const auto date = ParseDateTime(fuzzing::Text(data, size));
  if (!date) return 0;
  const CalendarTime calendar = date->ToCalendar();
  FUZZ_CHECK(calendar.year >= 1 && calendar.year <= 9999);
  FUZZ_CHECK(DateTime::FromCalendar(calendar) == *date);
  (void)FormatShortDate(*date);
  return 0;
}
