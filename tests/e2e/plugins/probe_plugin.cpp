// Bridge plugins for dravbridge's plugin tests, one source built four ways:
// the probe bridge, which answers with the path it was called at and whether
// the library it calls traces progress lines (or never, to the method
// "hang"), and entry points that fail in
// each way the host must report (PROBE_MAKES_NOTHING, PROBE_THROWS,
// PROBE_UNDEFINED, PROBE_OTHER_ABI).
#include <drav/dravCommon.h>
#include <drav/host/bridge_plugin.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#if defined(PROBE_MAKES_NOTHING)
extern "C" DRAVHost::BridgeHandler* dravBridgePlugin(unsigned, unsigned* pluginAbi) {
  *pluginAbi = DRAVHost::kBridgePluginAbi;
  return nullptr;
}
#elif defined(PROBE_THROWS)
extern "C" DRAVHost::BridgeHandler* dravBridgePlugin(unsigned, unsigned*) {
  throw std::runtime_error("the probe has no settings");
}
#elif defined(PROBE_UNDEFINED)
// Declared by a header of another version, defined nowhere: linking a
// plugin leaves it to the loader.
void notDefinedAnywhere();
extern "C" DRAVHost::BridgeHandler* dravBridgePlugin(unsigned, unsigned*) {
  notDefinedAnywhere();
  return nullptr;
}
#elif defined(PROBE_OTHER_ABI)
extern "C" DRAVHost::BridgeHandler* dravBridgePlugin(unsigned, unsigned* pluginAbi) {
  *pluginAbi = DRAVHost::kBridgePluginAbi + 1;
  return nullptr;
}
#else
namespace {

class ProbeBridge : public DRAVHost::BridgeHandler {
public:
  void serve(const DRAVHost::BridgeCall& call, IDispatch*, IDispatch* response) override {
    if (call.methodName == "refuse") throw DRAVHost::HttpError(403, "the probe refuses");
    // A bridge that never returns, as a stop must survive one.
    while (call.methodName == "hang") std::this_thread::sleep_for(std::chrono::hours(1));
    DRAVArgs results;
    results.addArg(std::string("probed at ") + call.path);
    // dravbridge --trace turns progress lines on in the library it runs
    // with: true here only when this plugin calls that same copy.
    results.addArg(Annal::isEnabled(Annal::M));
    DRAVDataOutputStream out;
    results.writeObject(out);
    DRAVHelpers::IIS::ResponseWrapper writer(response);
    DRAVInvocation::Bridge::Status status("probe", call.methodName, "no error detected", 0);
    if (!writer.WriteBufferChunk(out.getBuffer(0), out.size()) ||
        !writer.WriteStatus(DRAVInvocation::Bridge::StatusWrapper(status.getVariant())))
      throw std::runtime_error("the answer could not be written");
  }
};

}  // namespace

DRAV_BRIDGE_PLUGIN(ProbeBridge)
#endif
