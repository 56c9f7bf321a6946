#include <drav/config/initialization.h>

#include <drav/config/client_core.h>
#include <drav/config/option_parser.h>

#include <mutex>
#include <utility>

namespace {

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += (text.empty() ? "" : "; ") + line;
  return text;
}

}  // namespace

DRAVOptionException::DRAVOptionException(std::vector<std::string> refusals)
    : DRAVException(joined(refusals)), refusals_(std::move(refusals)) {}

std::uint32_t DRAVInitialize::_initCount = 0;

DRAVInitialize::DRAVInitialize(int argc, char** argv) {
  // The test and the change are one step, so threads that initialise or
  // tear down at the same moment cannot count twice or wrap the count.
  std::lock_guard<RecursiveMutex> guard(innerMutex());
  if (isInitialized()) return;
  std::vector<std::string> refused = DRAVOptionParser::refusals(argc, argv);
  if (!refused.empty()) throw DRAVOptionException(std::move(refused));
  DRAVClientCore::instance().init(argc, argv);
  innerCountIncr(1);
}

DRAVInitialize::~DRAVInitialize() {
  std::lock_guard<RecursiveMutex> guard(innerMutex());
  if (!isInitialized()) return;
  DRAVClientCore::instance().destroy();
  innerCountDecr(1);
}

bool DRAVInitialize::isInitialized() {
  std::lock_guard<RecursiveMutex> guard(innerMutex());
  return _initCount > 0;
}

void DRAVInitialize::innerCountIncr(unsigned long n) {
  std::lock_guard<RecursiveMutex> guard(innerMutex());
  _initCount += static_cast<std::uint32_t>(n);
}

void DRAVInitialize::innerCountDecr(unsigned long n) {
  std::lock_guard<RecursiveMutex> guard(innerMutex());
  _initCount = n >= _initCount ? 0 : _initCount - static_cast<std::uint32_t>(n);
}

RecursiveMutex& DRAVInitialize::innerMutex() {
  // Never destroyed: a static DRAVInitialize may still be torn down after
  // this translation unit's statics are gone.
  static RecursiveMutex* const mutex = new RecursiveMutex;
  return *mutex;
}
