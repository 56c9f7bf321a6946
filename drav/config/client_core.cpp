#include <drav/config/client_core.h>

#include <drav/common/wire_width.h>
#include <drav/config/option_parser.h>

#include <mutex>

namespace DRAV_DRAVHttp {

ClientCore::~ClientCore() = default;
bool ClientCore::coreInit(int, char**) { return true; }
bool ClientCore::coreDestroy() { return true; }

}  // namespace DRAV_DRAVHttp

DRAVClientCore& DRAVClientCore::instance() {
  // The language makes the first initialisation of a local static exclusive
  // (concurrent callers wait for it) and later calls cost one acquire load;
  // the core itself is deliberately never deleted.
  static DRAVClientCore* const core = new DRAVClientCore;
  return *core;
}

void DRAVClientCore::init(int argc, char** argv) {
  std::lock_guard<RecursiveMutex> guard(lock_);
  if (initialised_) return;
  DRAVOptionParser::parse(argc, argv);
  if (coreInit(argc, argv)) initialised_ = true;
}

bool DRAVClientCore::isInitialised() const {
  std::lock_guard<RecursiveMutex> guard(lock_);
  return initialised_;
}

void DRAVClientCore::destroy() {
  std::lock_guard<RecursiveMutex> guard(lock_);
  if (coreDestroy()) initialised_ = false;
}

void DRAVClientCore::setRequestTimeout(unsigned long ms) {
  const std::uint32_t value = DRAV::detail::toWireULong(ms, "request timeout");
  requestTimeout_ = value == 0 ? kDefaultRequestTimeout : value;
}

void DRAVClientCore::setConnectionTimeout(unsigned long ms) {
  const std::uint32_t value = DRAV::detail::toWireULong(ms, "connection timeout");
  connectionTimeout_ = value == 0 ? kDefaultConnectionTimeout : value;
}
