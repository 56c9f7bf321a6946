#include "bridge_plugins.h"

#include <drav/host/bridge_plugin_loader.h>
#include <drav/typed/method_table.h>

#include <unistd.h>

#include <algorithm>
#include <climits>

namespace dravbridge {

BridgeEntry bridgeOption(const std::string& value) {
  const std::size_t equals = value.rfind('=');
  if (equals != std::string::npos && value.compare(equals + 1, 1, "/") == 0)
    return {value.substr(equals + 1), value.substr(0, equals)};
  return {defaultBridgePath(value), value};
}

std::string defaultBridgePath(const std::string& file) {
  std::string name = file.substr(file.rfind('/') + 1);
  name.resize(std::min(name.size(), name.rfind(".so")));
  if (name.size() > 3 && name.compare(0, 3, "lib") == 0) name.erase(0, 3);
  return "/bridges/" + name;
}

std::string samplePluginFile() {
  char program[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
  const std::string path = length > 0 ? std::string(program, static_cast<std::size_t>(length)) : std::string();
  return path.substr(0, path.rfind('/') + 1) + DRAV_SAMPLE_PLUGIN;
}

std::shared_ptr<DRAVHost::BridgeHandler> loadBridge(const BridgeEntry& entry) {
  return DRAVHost::loadBridgePlugin(entry.plugin == kSamplePlugin ? samplePluginFile() : entry.plugin);
}

namespace {

class UndescribedBridge : public DRAVHost::BridgeHandler {
public:
  explicit UndescribedBridge(std::shared_ptr<DRAVHost::BridgeHandler> bridge) : bridge_(std::move(bridge)) {}
  void serve(const DRAVHost::BridgeCall& call, IDispatch* request, IDispatch* response) override {
    if (call.methodName == DRAVMethodTable::kDescribeMethod)
      throw DRAVHost::HttpError(404, "this host does not describe its bridges");
    bridge_->serve(call, request, response);
  }

private:
  std::shared_ptr<DRAVHost::BridgeHandler> bridge_;
};

}  // namespace

std::shared_ptr<DRAVHost::BridgeHandler> withoutDescription(std::shared_ptr<DRAVHost::BridgeHandler> bridge) {
  return std::make_shared<UndescribedBridge>(std::move(bridge));
}

std::string describeBridge(const BridgeEntry& entry) {
  return entry.plugin == kSamplePlugin ? "sample bridge" : "bridge " + entry.plugin;
}

}  // namespace dravbridge
