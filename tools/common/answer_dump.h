// Reading and printing a bridge's answer: its results (a value list, or the
// one binary value of a streamed answer) and the invocation status the
// bridge writes behind them. Not a reader of call bodies (body_dump.h).
#pragma once

#include <drav/serialization/decode_budget.h>
#include <drav/serialization/input_stream.h>
#include <drav/typed/answer_reading.h>

#include <ostream>
#include <string>

namespace dravtools {

using BridgeStatus = DRAVTyped::AnswerStatus;

// "status 0 \"no error detected\" (sample, echo)".
std::string describeStatus(const BridgeStatus& status);

// Prints "INDEX KIND VALUE" for each result (the list form, or the one value
// of a streamed answer when `streamed`) and then the status line, and
// returns the status. Decoding is charged to `budget`: more than it grants
// throws OverBudget (decode_budget_option.h). Malformed data, and bytes
// after the status, throw DRAVException (or
// DRAVCompression::DRAVCompressionException).
BridgeStatus dumpAnswer(const unsigned char* data, unsigned long length, bool streamed, std::ostream& out,
                        DRAVDecodeBudget& budget);

}  // namespace dravtools
