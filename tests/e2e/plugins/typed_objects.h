// Application objects that the typed test bridge and its client both know.
#pragma once

#include <drav/serialization/input_stream.h>
#include <drav/serialization/output_stream.h>
#include <drav/serialization/serializable.h>

#include <string>

namespace typedtest {

// A typed object: travels as TypedObject with its identifier 77.
struct Point : DRAVTypedSerializable {
  long x = 0;
  long y = 0;
  void writeObject(DRAVOutputStream& out) const override {
    out.writeLong(x);
    out.writeLong(y);
  }
  void readObject(DRAVInputStream& in) override {
    in.readLong(x);
    in.readLong(y);
  }
  unsigned long objectSize(DRAVDataTypedStream*) const override { return 8; }
  unsigned long typeId() const override { return 77; }
};

// A plain object: travels as Object.
struct Label : DRAVSerializable {
  std::string text;
  void writeObject(DRAVOutputStream& out) const override { out.writeString(text); }
  void readObject(DRAVInputStream& in) override { in.readString(text); }
  unsigned long objectSize(DRAVDataTypedStream*) const override {
    return static_cast<unsigned long>(4 + text.size() + 1);
  }
};

}  // namespace typedtest
