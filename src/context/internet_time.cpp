#include "context/internet_time.h"

#include <charconv>
#include <ctime>
#include <string>

namespace talvane {

namespace {

bool digitsAt(std::string_view s, std::size_t at, std::size_t n, int& value) {
  if (at + n > s.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    value = value * 10 + (s[i] - '0');
  }
  return true;
}

bool isLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysIn(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeap(year) ? 29 : kDays[month - 1];
}

}  // namespace

std::optional<Date> parseInternetTime(std::string_view s) {
  int year, month, day, hour, minute, second;
  if (!digitsAt(s, 0, 4, year) || s.size() < 19 || s[4] != '-' || !digitsAt(s, 5, 2, month) ||
      s[7] != '-' || !digitsAt(s, 8, 2, day) || (s[10] != 'T' && s[10] != 't') ||
      !digitsAt(s, 11, 2, hour) || s[13] != ':' || !digitsAt(s, 14, 2, minute) || s[16] != ':' ||
      !digitsAt(s, 17, 2, second))
    return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || day > daysIn(year, month) || hour > 23 || minute > 59 ||
      second > 60)
    return std::nullopt;
  std::size_t at = 19;
  double fraction = 0;
  if (at < s.size() && s[at] == '.') {
    const std::size_t dot = at++;
    while (at < s.size() && s[at] >= '0' && s[at] <= '9') ++at;
    if (at == dot + 1) return std::nullopt;
    // Not strtod: the desktop's locale may spell the decimal point otherwise.
    const std::string decimal = "0" + std::string(s.substr(dot, at - dot));
    std::from_chars(decimal.data(), decimal.data() + decimal.size(), fraction);
  }
  if (at >= s.size()) return std::nullopt;
  int offset = 0;
  if (s[at] == 'Z' || s[at] == 'z') {
    ++at;
  } else if (s[at] == '+' || s[at] == '-') {
    int oh, om;
    if (!digitsAt(s, at + 1, 2, oh) || at + 3 >= s.size() || s[at + 3] != ':' ||
        !digitsAt(s, at + 4, 2, om) || oh > 23 || om > 59)
      return std::nullopt;
    offset = (s[at] == '-' ? -1 : 1) * (oh * 3600 + om * 60);
    at += 6;
  } else {
    return std::nullopt;
  }
  if (at != s.size()) return std::nullopt;
  std::tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  return static_cast<Date>(::timegm(&fields) - offset) + fraction;
}

}  // namespace talvane
