#include <drav/config/service_descriptor.h>

std::string DRAVServiceDescriptor::getWsdl() const { return std::string(); }
std::string DRAVServiceDescriptor::getWsml() const { return std::string(); }
DRAVServiceDescriptor::~DRAVServiceDescriptor() = default;
