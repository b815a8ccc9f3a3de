#pragma once
// MS-DOS time and date as stored in ZIP headers: two 16-bit words, 2-second steps,
// years 1980 to 2107.

#include <cstdint>
#include <ctime>

struct DosDateTime {
  std::uint16_t time;  // hour << 11 | minute << 5 | second / 2
  std::uint16_t date;  // (year - 1980) << 9 | month << 5 | day
};

// Converts a moment into DOS form, in UTC or in the local time zone (ZIP tools
// conventionally store local time). Moments outside 1980-2107 are clamped to the range.
DosDateTime dos_from_unix(std::time_t moment, bool utc);

// The moment a DOS time and date stand for in the local time zone; -1 when the fields
// are not a valid date.
std::time_t dos_to_unix_local(DosDateTime dos);
