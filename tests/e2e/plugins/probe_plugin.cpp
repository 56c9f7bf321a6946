// Bridge plugins for dravbridge's plugin tests, one source built several ways:
// the probe bridge, which answers with the path it was called at and whether
// the library it calls traces progress lines (or never, to the method
// "hang"), and entry points that fail in
// each way the host must report (PROBE_MAKES_NOTHING, PROBE_THROWS,
// PROBE_UNDEFINED, PROBE_UNDEFINED_DOUBLING, PROBE_OTHER_ABI).
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
#elif defined(PROBE_UNDEFINED_DOUBLING)
// Defined nowhere, under a name of 454 bytes whose spelled-out form doubles
// with each of its 40 nested function types (each names the one before twice).
void doublingName() __asm__(
    "_Z1fPFviiEPFvS0_S0_EPFvS2_S2_EPFvS4_S4_EPFvS6_S6_EPFvS8_S8_EPFvSA_SA_EPFvSC_SC_EPFvSE_SE_EPFvSG_SG_E"
    "PFvSI_SI_EPFvSK_SK_EPFvSM_SM_EPFvSO_SO_EPFvSQ_SQ_EPFvSS_SS_EPFvSU_SU_EPFvSW_SW_EPFvSY_SY_EPFvS10_S10"
    "_EPFvS12_S12_EPFvS14_S14_EPFvS16_S16_EPFvS18_S18_EPFvS1A_S1A_EPFvS1C_S1C_EPFvS1E_S1E_EPFvS1G_S1G_EPF"
    "vS1I_S1I_EPFvS1K_S1K_EPFvS1M_S1M_EPFvS1O_S1O_EPFvS1Q_S1Q_EPFvS1S_S1S_EPFvS1U_S1U_EPFvS1W_S1W_EPFvS1Y"
    "_S1Y_EPFvS20_S20_EPFvS22_S22_EPFvS24_S24_EPFvS26_S26_E");
extern "C" DRAVHost::BridgeHandler* dravBridgePlugin(unsigned, unsigned*) {
  doublingName();
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
