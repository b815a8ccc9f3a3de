#pragma once
// Handlers of the stored-block states: -1 = the input ran out, 0 = done, positive = error.

#include "decode/handler_result.h"

struct Inflater;

HandlerResult read_stored_header(Inflater* inflater);
HandlerResult copy_stored_bytes(Inflater* inflater);
