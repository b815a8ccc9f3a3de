// Conversion between Unix time and the DOS time/date words of ZIP headers.

#include "tools/dos_time.h"

namespace {

constexpr int DOS_FIRST_YEAR = 1980;
constexpr int DOS_LAST_YEAR = DOS_FIRST_YEAR + 127;
constexpr DosDateTime DOS_EARLIEST = {0, (1 << 5) | 1};  // 1980-01-01 00:00:00
constexpr DosDateTime DOS_LATEST = {(23 << 11) | (59 << 5) | 29, (127 << 9) | (12 << 5) | 31};

}  // namespace

DosDateTime dos_from_unix(std::time_t moment, bool utc) {
  std::tm parts{};
#ifdef _WIN32
  const bool ok = (utc ? gmtime_s(&parts, &moment) : localtime_s(&parts, &moment)) == 0;
#else
  const bool ok = (utc ? gmtime_r(&moment, &parts) : localtime_r(&moment, &parts)) != nullptr;
#endif
  if (!ok) return moment < 0 ? DOS_EARLIEST : DOS_LATEST;
  const int year = parts.tm_year + 1900;
  if (year < DOS_FIRST_YEAR) return DOS_EARLIEST;
  if (year > DOS_LAST_YEAR) return DOS_LATEST;
  // tm_sec can be 60 on a leap second; 59 keeps the field within its five bits.
  const int second = parts.tm_sec > 59 ? 59 : parts.tm_sec;
  DosDateTime dos{};
  dos.time = static_cast<std::uint16_t>((parts.tm_hour << 11) | (parts.tm_min << 5) | (second / 2));
  dos.date = static_cast<std::uint16_t>(((year - DOS_FIRST_YEAR) << 9) | ((parts.tm_mon + 1) << 5) |
                                        parts.tm_mday);
  return dos;
}

std::time_t dos_to_unix_local(DosDateTime dos) {
  std::tm parts{};
  parts.tm_year = (dos.date >> 9) + DOS_FIRST_YEAR - 1900;
  parts.tm_mon = ((dos.date >> 5) & 0x0F) - 1;
  parts.tm_mday = dos.date & 0x1F;
  parts.tm_hour = dos.time >> 11;
  parts.tm_min = (dos.time >> 5) & 0x3F;
  parts.tm_sec = (dos.time & 0x1F) * 2;
  parts.tm_isdst = -1;
  if (parts.tm_mon < 0 || parts.tm_mon > 11 || parts.tm_mday < 1 || parts.tm_hour > 23 ||
      parts.tm_min > 59 || parts.tm_sec > 59) {
    return -1;
  }
  return std::mktime(&parts);
}
