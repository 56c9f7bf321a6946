// Arbitrary bytes as a received body: reading must refuse or succeed cleanly
// within its decode budget, and whatever was read must write back to bytes
// that read as the same values.
#include <drav/compression/compression.h>
#include <drav/common/exception.h>
#include <drav/serialization/argument_list.h>
#include <drav/serialization/decode_budget.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/output_stream.h>
#include <drav/serialization/size_calculator.h>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  DRAVArgs args;
  // Whatever the body announces, decoding asks for no more than its budget.
  DRAVDecodeBudget budget(64u << 20);
  try {
    DRAVDataInputStream in(data, static_cast<unsigned long>(size));
    in.setBudget(&budget);
    args.readObject(in);
  } catch (const DRAVException&) {
    if (budget.exceeded() && args.size() != 0) std::abort();  // a refused body adds nothing
    return 0;
  } catch (const DRAVCompression::DRAVCompressionException&) {
    return 0;
  }
  if (budget.used() > budget.limit() || budget.exceeded()) std::abort();
  DRAVDataOutputStream out;
  try {
    args.writeObject(out);
  } catch (const DRAVException&) {
    return 0;  // a value the wire cannot carry back (e.g. a decompressed value above 4 GiB)
  }
  DRAVDataTypedStream sizes;
  if (args.objectSize(&sizes) != out.size() - 1) std::abort();

  // Values read back from our own encoding encode to the same bytes.
  DRAVArgs again;
  DRAVDataInputStream in(out.getBuffer(0), out.size());
  try {
    again.readObject(in);
  } catch (const DRAVCompression::DRAVCompressionException&) {
    return 0;  // plain bytes that happen to look like a compression header
  }
  // Binary values may change on a second read (decompressed bytes that look
  // compressed again), but the count and every kind stay.
  if (again.size() != args.size()) std::abort();
  for (unsigned long i = 0; i < args.size(); ++i)
    if (args.getArgs()[i]->getType() != again.getArgs()[i]->getType()) std::abort();
  return 0;
}
