// Base classes of everything that can be put on the wire.
#pragma once

#include <drav/export.h>

class DRAVOutputStream;
class DRAVInputStream;
class DRAVDataTypedStream;

// Something that writes itself to a stream and reads itself back.
class DRAV_EXPORT DRAVSerializable {
public:
  DRAVSerializable() = default;
  DRAVSerializable(const DRAVSerializable&) = default;
  DRAVSerializable& operator=(const DRAVSerializable&) = default;

  // Appends the object's encoding. Default: nothing.
  virtual void writeObject(DRAVOutputStream& out) const;
  // Replaces the object's state by what the stream holds. Default: reads nothing.
  virtual void readObject(DRAVInputStream& in);
  // The number of bytes writeObject appends (no byte-order marker). Default: 0.
  virtual unsigned long objectSize(DRAVDataTypedStream* sizes) const;
  virtual ~DRAVSerializable() = default;
};

// A serializable object that also carries an application-chosen type
// identifier (32 bits on the wire); the library only writes it in front of
// the object's bytes.
class DRAV_EXPORT DRAVTypedSerializable : public DRAVSerializable {
public:
  virtual unsigned long typeId() const = 0;
};
