// A method table served by the bridge host: TypedBridge is a BridgeHandler
// and a DRAVMethodTable, so a plugin is a table and one macro:
//
//   class Greeter : public DRAVHost::TypedBridge {
//   public:
//     Greeter() : TypedBridge("greeter") {
//       method("greet", [](const std::string& name) { return "Hello, " + name + "!"; }, {"name"});
//     }
//   };
//   DRAV_BRIDGE_PLUGIN(Greeter)
//
// It hands the table the call's headers and decode budget, turns a body the
// table cannot read into the HTTP error it names, and reports the status
// code it answered for the access log. Not the table itself
// (<drav/typed/method_table.h>).
#pragma once

#include <drav/host/bridge_handler.h>
#include <drav/typed/method_table.h>

#include <string>

namespace DRAVHost {

// A DRAVMethodTable that the host serves as a bridge.
class TypedBridge : public BridgeHandler, public DRAVMethodTable {
public:
  explicit TypedBridge(std::string bridgeName, DRAVMethodTableLimits limits = DRAVMethodTableLimits())
      : DRAVMethodTable(std::move(bridgeName), limits) {}

  void serve(const BridgeCall& call, IDispatch* request, IDispatch* response) override {
    DRAVTableCall headers;
    headers.methodName = call.methodName;
    headers.argsSize = call.argsSize;
    headers.extraBlobSize = call.extraBlobSize;
    headers.streamsOut = call.streamsOut();
    headers.needSsoToken = call.needSsoToken;
    headers.user = call.user;
    headers.describe = call.describe;
    headers.decodeBudget = call.decodeBudget;
    headers.argumentsCharged = call.argumentsCharged;
    long code;
    try {
      code = DRAVMethodTable::serve(headers, request, response);
    } catch (const DRAVBodyException& e) {
      throw HttpError(e.httpStatus(), e.what());
    }
    if (call.report) call.report->invocationStatus = code;
  }
};

}  // namespace DRAVHost
