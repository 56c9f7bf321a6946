#include <drav/serialization/serializable.h>

void DRAVSerializable::writeObject(DRAVOutputStream&) const {}
void DRAVSerializable::readObject(DRAVInputStream&) {}
unsigned long DRAVSerializable::objectSize(DRAVDataTypedStream*) const { return 0; }
