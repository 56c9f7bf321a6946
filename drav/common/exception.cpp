#include <drav/common/exception.h>

// Out of line so each class has one home for its vtable.
DRAVException::~DRAVException() = default;
DRAVSmartProxyException::~DRAVSmartProxyException() = default;

std::ostream& operator<<(std::ostream& os, const DRAVException& e) { return os << e.what(); }
