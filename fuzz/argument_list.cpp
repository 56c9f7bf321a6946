// Arbitrary bytes as a received body: reading must refuse or succeed cleanly,
// and whatever was read must write back to bytes that read as the same values.
#include <drav/compression/compression.h>
#include <drav/common/exception.h>
#include <drav/serialization/argument_list.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/output_stream.h>
#include <drav/serialization/size_calculator.h>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  DRAVArgs args;
  try {
    DRAVDataInputStream in(data, static_cast<unsigned long>(size));
    args.readObject(in);
  } catch (const DRAVException&) {
    return 0;
  } catch (const DRAVCompression::DRAVCompressionException&) {
    return 0;
  }
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
