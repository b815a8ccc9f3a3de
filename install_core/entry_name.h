#pragma once
// Whether an entry's stored name may be written below the destination folder.

// A name is safe when joining it to the destination can only name a place inside that
// folder: it is not empty, is well-formed UTF-8 (older Windows drop the bytes that are
// not, and the name that remains is not the one checked), does not start with a
// separator ("/" or "\", which would make it rooted or a network path), has no colon
// (drive letters and alternate data streams), no part that climbs ("..", also with the
// trailing dots and blanks that Windows drops from a path part), and is not a name for
// the destination folder itself ("." or "./"). Everything else is left to the file
// system, which refuses what it cannot create.
bool entry_name_is_safe(const char* name);
