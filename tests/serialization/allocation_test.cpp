// What reading allocates: nothing for a value whose kind fits in the value
// itself (short text included), one buffer for longer text or bytes, and one
// block for a whole list whatever its length. Counted, not timed.
#include <drav/serialization/argument_list.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/typed_value.h>

#include <gtest/gtest.h>

#include <string>

#include "../compression/allocation_probe.h"
#include "support/bytes.h"

using dravtest::Bytes;
using dravtest::hex;
using dravtest::withMarker;

namespace {

template <typename Target>
std::size_t allocationsToRead(const Bytes& values) {
  Bytes data = withMarker(values);
  DRAVDataInputStream in(data.data(), data.size());
  Target target;
  dravtest::resetAllocationCount();
  target.readObject(in);
  const std::size_t count = dravtest::allocationCount();
  EXPECT_EQ(in.remaining(), 0u) << "the whole input is read";
  return count;
}

// A text block: its length (the text and a 0x00), then both.
Bytes textValue(std::size_t size) {
  Bytes value = hex("00 02 00 00 00 00");
  value[5] = static_cast<unsigned char>(size + 1);
  value.insert(value.end(), size, 't');
  value.push_back(0);
  return value;
}

// Text up to the size of a string object is kept inside the value.
const std::size_t kShortText = sizeof(std::string);

TEST(ReadingAllocations, OnlyContentThatDoesNotFitTheValueIsAllocated) {
  Bytes bytes40 = hex("00 03 00 00 00 28");
  bytes40.resize(bytes40.size() + 40, 0xAB);

  const std::pair<Bytes, std::size_t> cases[] = {
      {hex("00 00"), 0},
      {hex("00 01 00 00 00 05"), 0},
      {hex("00 05 01"), 0},
      {hex("00 06 FF FE"), 0},
      {hex("00 07 FF FF FF FD"), 0},
      {hex("00 08 3F F0 00 00 00 00 00 00"), 0},
      {hex("00 09 3F C0 00 00"), 0},
      {hex("00 0A C8"), 0},
      {hex("00 0B 7A"), 0},
      {hex("00 0C 9C 40"), 0},
      {hex("00 0D EE 6B 28 00"), 0},
      {hex("00 0E 00 00 00 07"), 0},
      {hex("00 63"), 0},  // a tag this side does not know
      {hex("00 02 00 00 00 01 00"), 0},  // empty text
      {textValue(16), 0},
      {textValue(kShortText), 0},
      {textValue(kShortText + 1), 1},
      {bytes40, 1},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(allocationsToRead<DRAVVar>(cases[i].first), cases[i].second) << "case " << i;
}

TEST(ReadingAllocations, ShortTextBecomesAStringObjectWhenAskedForAndStaysOne) {
  for (unsigned char kind : {0x02, 0x04}) {
    Bytes data = textValue(kShortText);
    data[1] = kind;
    data = withMarker(data);
    DRAVDataInputStream in(data.data(), data.size());
    DRAVVar value;
    value.readObject(in);
    auto text = [&]() -> const std::string& { return kind == 0x02 ? value.getString() : value.getUTF8String().str(); };
    dravtest::resetAllocationCount();
    const std::string& first = text();
    const std::size_t building = dravtest::allocationCount();
    const std::string& again = text();
    const std::size_t rereading = dravtest::allocationCount() - building;
    EXPECT_EQ(building, 1u) << "the string object's buffer";
    EXPECT_EQ(rereading, 0u);
    EXPECT_EQ(&first, &again);
    EXPECT_EQ(first, std::string(kShortText, 't'));
  }
}

// The values share one block: one allocation for a
// list of any length, not one per value, short text included.
TEST(ReadingAllocations, AListOfNumbersAndShortTextsTakesOneAllocationAtAnyLength) {
  const Bytes kinds[] = {hex("00 01 00 00 00 05"), hex("00 08 3F F0 00 00 00 00 00 00"), textValue(16),
                         textValue(kShortText)};
  for (unsigned count : {1u, 8u, 200u}) {
    Bytes values = hex("00 00 00 00");
    values[2] = static_cast<unsigned char>(count >> 8);
    values[3] = static_cast<unsigned char>(count);
    for (unsigned i = 0; i < count; ++i) values.insert(values.end(), kinds[i % 4].begin(), kinds[i % 4].end());
    EXPECT_EQ(allocationsToRead<DRAVArgs>(values), 1u) << count << " values";
  }
}

}  // namespace
