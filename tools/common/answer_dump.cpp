#include "answer_dump.h"

#include "body_dump.h"
#include "decode_budget_option.h"
#include "value_syntax.h"

#include <drav/common/log_field.h>
#include <drav/common/exception.h>
#include <drav/serialization/argument_list.h>

#include <sstream>

namespace dravtools {

std::string describeStatus(const BridgeStatus& status) {
  std::ostringstream line;
  line << "status " << status.code << " \"" << DRAV::detail::escapeShownText(status.message) << "\" ("
       << DRAV::detail::escapeShownText(status.text1) << ", " << DRAV::detail::escapeShownText(status.text2) << ")";
  return line.str();
}

BridgeStatus dumpAnswer(const unsigned char* data, unsigned long length, bool streamed, std::ostream& out,
                        DRAVDecodeBudget& budget) {
  if (length == 0) throw DRAVException("empty answer");
  if (data[0] > 1) throw DRAVException("not an answer: the first byte must be a byte-order marker (00 or 01)");
  DRAVDataInputStream in(data, length);
  in.setBudget(&budget);
  if (streamed) {
    DRAVVar value;
    decodeUnder(budget, [&] { value.readObject(in); });
    if (value.getType() != DRAVVar::BinaryArray)
      throw DRAVException("not a streamed answer: its value is a " + kindName(value.getType()));
    out << "0 " << describeValue(value) << '\n';
  } else {
    DRAVArgs values;
    decodeUnder(budget, [&] { values.readObject(in); });
    for (unsigned long i = 0; i < values.size(); ++i) out << i << ' ' << describeValue(*values.getArgs()[i]) << '\n';
  }
  BridgeStatus status;
  decodeUnder(budget, [&] { status = DRAVTyped::readAnswerStatus(in); });
  if (in.remaining()) throw DRAVException(std::to_string(in.remaining()) + " bytes follow the status");
  out << describeStatus(status) << '\n';
  return status;
}

}  // namespace dravtools
