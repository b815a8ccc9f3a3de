#pragma once
// Results of the decoder's state handlers, one per state of the block state machine.

// Input ran out (the handler kept its progress or rolled back to its element's start),
// the element is done, or an error, which inflater_feed latches. The failures of a table
// build keep the builder's numbers (huffman_handler_failure in decode/huffman.h).
enum HandlerResult : int {
  HANDLER_NEED_INPUT = -1,
  HANDLER_DONE = 0,
  HANDLER_FAILED = 1,
  HANDLER_OVERSUBSCRIBED = 2,
  HANDLER_OUT_OF_MEMORY = 3,
};
