#pragma once
// Handlers of the stored-block states: -1 = the input ran out, 0 = done, positive = error.

struct Inflater;

int read_stored_header(Inflater* inflater);
int copy_stored_bytes(Inflater* inflater);
