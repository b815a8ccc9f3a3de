#pragma once
// Where the installation goes: the folder "\Orvinta" under Program Files, in the two
// forms the installation needs, both made from one query of the folder so that they
// always name the same place.

#include <cstddef>

#include "common/bounded_string.h"
#include "install_core/install_paths.h"

// The shell's delete takes a list of paths ended by two zero units. Program Files has at
// most MAX_PATH - 1 units, so with the suffix the text stays far below this capacity and
// the zeros behind it always include the second terminator.
constexpr std::size_t WIDE_DESTINATION_CAPACITY = 512;
using WideDestination = PathW<WIDE_DESTINATION_CAPACITY>;

struct InstallTarget {
  WideDestination wide;      // UTF-16, all zeros behind the text: emptying the folder
  InstallPath destination;   // UTF-8: creating the folder, base of every entry's path
  // DESTINATION_OK: both forms are usable. DESTINATION_UNKNOWN: Program Files could not
  // be determined, or its UTF-8 form does not fit; destination holds the bare suffix, for
  // the message, and wide is empty. DESTINATION_TOO_LONG: the UTF-8 destination does not
  // fit its buffer; it holds the part that fits, for the message, while wide is complete.
  DestinationStatus status;
};

// Queries Program Files once and fills every field of target from that one answer.
void install_query_target(InstallTarget& target);
