// DRAVMethodTable: a bridge written as C++ functions bound to method names,
// one line a method:
//
//   DRAVMethodTable greeter("greeter");
//   greeter.method("greet", [](const std::string& name) { return "Hello, " + name + "!"; }, {"name"});
//
// serve() answers one call as a bridge page does, through the request and
// response wrappers over the page's objects: it reads the arguments in
// chunks, checks them against the method's parameters (method_binding.h),
// runs the function and writes its results and then the invocation status
// (text1 the bridge's name, text2 the method's). So a table serves wherever
// those wrappers do: under dravbridge (drav/host/typed_bridge.h) or a web
// server's page. Not a host and not a transport.
//
// Status codes it answers with: 0 success, 1 an unknown method (the message
// lists the first methods offered, unless the call may not be told:
// DRAVTableCall::describe), 2 values that do not fit the parameters ("greet
// takes (String name), got (Int, Int)", then the first value that does not
// fit; also an object that does not read back, and a method that answers
// with a list called streaming out: neither runs; and a method that streams
// its answer called without streaming out, once it begins the value) or a
// result its kind cannot carry ("add: result 0 cannot be sent: long value
// does not fit in 32 bits: 5000000000"; the method ran), 4 a function that
// threw something other than DRAVBridgeError
// (whose own code and message are answered). A call that streams out always
// gets the streamed form (an empty value and a non-zero code when the method
// streamed nothing). What a method's values copy and its typed results hold
// count against the call's budget.
//
// Threads: methods are added before the table serves; serve() may then run
// on many threads at once, and the functions must allow that.
#pragma once

#include <drav/common/log_field.h>
#include <drav/hosting/http_buffer_allocator.h>
#include <drav/hosting/request_wrapper.h>
#include <drav/hosting/response_wrapper.h>
#include <drav/platform/annal.h>
#include <drav/serialization/argument_list.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/invocation_status.h>
#include <drav/serialization/list_receiver.h>
#include <drav/serialization/output_stream.h>
#include <drav/typed/bridge_call_parts.h>
#include <drav/typed/method_binding.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// What one call to a table may hold, and the size of its reads and writes.
struct DRAVMethodTableLimits {
  // Argument bytes a call may bring (413 beyond): a value of up to 128 MiB,
  // less its few bytes of framing. What decoding them holds is bounded by
  // the call's budget where the host gives one.
  std::uint32_t maxArgsSize = 128 * 1024 * 1024;
  std::uint32_t chunkSize = 256 * 1024;          // each read and write of a body piece
};

class DRAVMethodTable {
public:
  enum StatusCode : long { Ok = 0, UnknownMethod = 1, BadArguments = 2, MethodFailed = 4 };
  // The method every table answers with its description (one String).
  static constexpr const char* kDescribeMethod = "dravDescribe";
  // How many methods an unknown method's answer names at most.
  static constexpr std::size_t kMaxOfferedMethods = 16;

  explicit DRAVMethodTable(std::string bridgeName, DRAVMethodTableLimits limits = DRAVMethodTableLimits())
      : name_(std::move(bridgeName)), limits_(limits) {
    if (limits_.chunkSize == 0) limits_.chunkSize = 1;
  }

  // Binds `function` (lambda, function, or `std::bind`/`std::mem_fn` of a member)
  // to `name`; `parameterNames` name its value parameters in order. A name
  // bound already, or the reserved kDescribeMethod, is a std::logic_error.
  template <typename F>
  DRAVMethodTable& method(const std::string& name, F function, std::vector<std::string> parameterNames = {}) {
    if (name == kDescribeMethod || methods_.count(name))
      throw std::logic_error("the method name '" + name + "' is taken");
    methods_.emplace(name, DRAVTyped::bindMethod(std::move(function), std::move(parameterNames)));
    order_.push_back(name);
    return *this;
  }
  // A member function of `object` (of its class or a base, const or not),
  // which must outlive the table.
  template <typename O, typename C, typename M>
  DRAVMethodTable& method(const std::string& name, O* object, M C::*member,
                          std::vector<std::string> parameterNames = {}) {
    static_assert(std::is_function<M>::value, "method(name, object, &Class::member) binds a member function");
    static_assert(std::is_base_of<C, std::remove_const_t<O>>::value, "the member function is not one of the object's");
    return method(name, bindMember(object, member), std::move(parameterNames));
  }

  const std::string& name() const { return name_; }
  const DRAVMethodTableLimits& limits() const { return limits_; }
  // The method names in the order they were bound.
  const std::vector<std::string>& methodNames() const { return order_; }
  // Null for a name not bound.
  const DRAVTyped::MethodShape* shape(const std::string& method) const {
    auto found = methods_.find(method);
    return found == methods_.end() ? nullptr : &found->second.shape;
  }

  // One line a method: "greet(String name) -> (String)", then what it
  // reads and writes besides values ("; reads the extra blob", "; streams").
  std::string describe() const {
    std::string text;
    for (const std::string& method : order_) {
      const DRAVTyped::MethodShape& s = methods_.at(method).shape;
      text += method + s.parameterList() + " -> " + s.resultList() + (s.readsBlob ? "; reads the extra blob" : "") +
              (s.streams ? "; streams" : "") + "\n";
    }
    return text;
  }

  // Answers one call through the page's request and response objects and
  // returns the status code it wrote. Throws DRAVBodyException, before
  // anything is written, for a body it cannot read; any other exception
  // means the answer could not be written or was cut (the server should
  // drop the connection).
  long serve(const DRAVTableCall& call, IDispatch* request, IDispatch* response) const {
    auto* allocator = new DRAVHelpers::IIS::DefaultHTTPBufferAllocator;
    DRAVHelpers::IIS::RequestWrapper in(request, call.extraBlobSize, allocator);  // owns the allocator
    DRAVHelpers::IIS::ResponseWrapper out(response);
    DRAVArgs values = readArguments(call, in, *allocator);
    DRAVBlobReader blob(in, *allocator, call.extraBlobSize, limits_.chunkSize, &call);
    DRAVStreamWriter writer(out, call.streamsOut);
    DRAVTyped::MethodInput input{values, blob, writer, call};
    Outcome outcome = run(call.methodName, input);
    if (writer.begun()) {
      if (!writer.complete()) throw std::runtime_error(call.methodName + " streamed fewer bytes than it announced");
    } else if (call.streamsOut) {
      check(out.WriteBufferSize(0));
      if (outcome.code == Ok)
        outcome = Outcome{{}, BadArguments, call.methodName + " answers with a list; call it without streaming out"};
    } else {
      writeList(out, outcome.results, call);
    }
    DRAVInvocation::Bridge::Status status(name_, call.methodName, outcome.message, outcome.code);
    check(out.WriteStatus(DRAVInvocation::Bridge::StatusWrapper(status.getVariant())));
    return outcome.code;
  }

private:
  struct Outcome {
    DRAVArgs results;
    long code = Ok;
    std::string message = "no error detected";
  };

  template <typename O, typename C, typename M>
  static auto bindMember(O* object, M C::*member) {
    using Sig = DRAVTyped::detail::Signature<M C::*>;
    return bindMemberWith(object, member, DRAVTyped::detail::TypeList<typename Sig::Parameters>());
  }
  // The parameters come as a tag: a std::tuple of references has no value to pass.
  template <typename O, typename C, typename M, typename... P>
  static auto bindMemberWith(O* object, M C::*member, DRAVTyped::detail::TypeList<std::tuple<P...>>) {
    return [object, member](P... p) { return (object->*member)(std::forward<P>(p)...); };
  }

  Outcome run(const std::string& method, DRAVTyped::MethodInput& input) const {
    Outcome outcome;
    const bool describes = input.call.describe;
    if (method == kDescribeMethod && describes) {
      outcome.results.addArg(describe());
      return outcome;
    }
    auto found = methods_.find(method);
    if (found == methods_.end())
      return Outcome{{}, UnknownMethod,
                     "unknown method '" + DRAV::detail::escapeShownText(method, kMaxShownName) + "'" +
                         (describes ? "; " + offered() : std::string())};
    const DRAVTyped::BoundMethod& bound = found->second;
    if (input.call.streamsOut && !bound.shape.streams)
      return Outcome{{}, BadArguments, method + " answers with a list; call it without streaming out"};
    const auto refusal = [&] {
      return method + " takes " + bound.shape.parameterList() + ", got " + DRAVTyped::kindList(input.values.getArgs());
    };
    try {
      const DRAVTyped::detail::Fit fit = bound.run(input, outcome.results);
      if (fit.verdict == DRAVTyped::detail::Fit::WrongCount) return Outcome{{}, BadArguments, refusal()};
      if (fit.verdict == DRAVTyped::detail::Fit::WrongValue)
        return Outcome{{}, BadArguments, refusal() + ": " + misfit(bound.shape, input.values, fit.position)};
    } catch (const DRAVTyped::UnreadableValue& e) {
      return Outcome{{}, BadArguments, refusal() + ": " + e.what()};
    } catch (const DRAVTyped::UnfitResult& e) {
      return Outcome{{}, BadArguments,
                     method + ": result " + std::to_string(e.position()) + " cannot be sent: " + e.what()};
    } catch (const DRAVBridgeError& e) {
      return Outcome{{}, e.code() == Ok ? MethodFailed : e.code(), e.what()};
    } catch (const DRAVBodyException&) {
      throw;
    } catch (const DRAVTyped::CallDoesNotStreamOut&) {
      return Outcome{{}, BadArguments, method + " streams its answer; call it streaming out"};
    } catch (const std::exception& e) {
      if (input.writer.begun()) throw;  // the answer is cut: the connection must end
      Annal::Logger(Annal::Error) << name_ << "." << method << " failed: " << e.what();
      return Outcome{{}, MethodFailed, method + " failed"};
    } catch (...) {
      if (input.writer.begun()) throw;
      Annal::Logger(Annal::Error) << name_ << "." << method << " failed with an exception of no known type";
      return Outcome{{}, MethodFailed, method + " failed"};
    }
    return outcome;
  }

  // "value 0 (Int 70000) does not fit parameter 0 (Short)".
  static std::string misfit(const DRAVTyped::MethodShape& shape, const DRAVArgs& values, std::size_t position) {
    const std::string at = std::to_string(position);
    return "value " + at + " (" + DRAVTyped::valueText(*values.getArgs()[position]) + ") does not fit parameter " +
           (shape.takesList ? "0" : at) + " (" + shape.parameterText(position) + ")";
  }

  // The most of a method name a message shows: the caller chose it.
  static constexpr std::size_t kMaxShownName = 128;

  std::string offered() const {
    std::string list;
    for (std::size_t i = 0; i < order_.size() && i < kMaxOfferedMethods; ++i) list += (i ? ", " : "") + order_[i];
    if (order_.size() > kMaxOfferedMethods)
      list += ", and " + std::to_string(order_.size() - kMaxOfferedMethods) + " more";
    return name_ + " offers " + (list.empty() ? std::string("no method") : list);
  }

  // The first argsSize bytes of the body, decoded under the call's budget.
  // Arguments that come in one chunk (the usual small call) are decoded
  // where the reader put them; longer ones go through a DRAVListReceiver,
  // which puts a large binary value straight into the buffer its parameter
  // takes over. What the host counted of the argument bytes as held
  // (DRAVTableCall::argumentsCharged) goes back once they are freed, or
  // passes to the receiver, which keeps the count of what it keeps.
  DRAVArgs readArguments(const DRAVTableCall& call, DRAVHelpers::IIS::RequestReader& in,
                         DRAVHelpers::IIS::HTTPBufferAllocator& allocator) const {
    const std::uint32_t size = call.argsSize;
    if (size > limits_.maxArgsSize)
      throw DRAVBodyException(413, "the arguments take " + std::to_string(size) + " bytes; this bridge reads at most " +
                                       std::to_string(limits_.maxArgsSize));
    if (size == 0) return DRAVArgs();  // no body at all: no arguments
    Piece piece(allocator);
    readPiece(in, piece, size, 0);
    if (piece.size >= size) {
      DRAVArgs args = decode(piece.data, piece.size, call.decodeBudget);
      call.refund(std::min<std::uint64_t>(piece.size, call.argumentsCharged));
      return args;
    }
    DRAVListReceiver receiver(call.decodeBudget, true, size, call.argumentsCharged);
    for (std::uint32_t read = 0;;) {
      receive(receiver, piece);
      read += static_cast<std::uint32_t>(piece.size);
      allocator.free(piece.data, piece.size);
      if (read >= size) break;
      readPiece(in, piece, size, read);
    }
    return decode(receiver, call.decodeBudget);
  }

  // A piece handed out by the request reader, given back to its allocator on every way out.
  struct Piece {
    explicit Piece(DRAVHelpers::IIS::HTTPBufferAllocator& allocator) : allocator(allocator) {}
    ~Piece() { allocator.free(data, size); }
    Piece(const Piece&) = delete;
    Piece& operator=(const Piece&) = delete;
    DRAVHelpers::IIS::HTTPBufferAllocator& allocator;
    unsigned char* data = nullptr;
    unsigned long size = 0;
  };

  void readPiece(DRAVHelpers::IIS::RequestReader& in, Piece& piece, std::uint32_t size, std::size_t read) const {
    const unsigned long wanted = std::min<unsigned long>(limits_.chunkSize, size - read);
    if (!in.ReadBufferChunk(piece.data, wanted, piece.size) || piece.size == 0 || piece.size > wanted)
      throw DRAVBodyException(400, "the body ended after " + std::to_string(read) + " of " + std::to_string(size) +
                                       " argument bytes");
  }

  static DRAVArgs decode(const unsigned char* bytes, unsigned long length, DRAVDecodeBudget* budget) {
    DRAVArgs args;
    DRAVDataInputStream in(bytes, length);
    in.setBudget(budget);
    try {
      args.readObject(in);
    } catch (const std::exception& e) {
      throw DRAVBodyException(400, std::string("malformed arguments: ") + e.what());
    }
    refuseTrailingBytes(in);
    return args;
  }
  static DRAVArgs decode(DRAVListReceiver& receiver, DRAVDecodeBudget* budget) {
    DRAVArgs args;
    const std::vector<unsigned char>& kept = receiver.kept();
    DRAVDataInputStream in(kept.data(), static_cast<unsigned long>(kept.size()));
    in.setBudget(budget);
    try {
      receiver.readList(in, args);
    } catch (const std::exception& e) {
      throw DRAVBodyException(400, std::string("malformed arguments: ") + e.what());
    }
    refuseTrailingBytes(in);
    return args;
  }
  static void receive(DRAVListReceiver& receiver, const Piece& piece) {
    try {
      receiver.receive(piece.data, piece.size);
    } catch (const std::exception& e) {
      throw DRAVBodyException(400, std::string("malformed arguments: ") + e.what());
    }
  }
  static void refuseTrailingBytes(const DRAVInputStream& in) {
    if (in.remaining())
      throw DRAVBodyException(400, "malformed arguments: " + std::to_string(in.remaining()) + " bytes follow the list");
  }

  // The list a value at a time: a large binary value written in pieces
  // from its own bytes, others serialized, each serialized copy charged to
  // the call while it lives: an answer never holds its values twice over.
  // Whether the largest copy fits is known before the list's head goes out,
  // so that an answer that does not fit is refused whole, never cut.
  void writeList(DRAVHelpers::IIS::ResponseWrapper& out, const DRAVArgs& results, const DRAVTableCall& call) const {
    unsigned long largest = 0;
    for (const DRAVVar* value : results.getArgs())
      if (!writtenInPieces(*value)) largest = std::max(largest, value->objectSize(nullptr));
    call.charge(largest);
    call.refund(largest);
    DRAVDataOutputStream head;
    head.writeULong(results.size());
    check(out.WriteBufferChunk(head.getBuffer(0), head.size()));
    for (const DRAVVar* value : results.getArgs()) {
      if (writtenInPieces(*value)) {
        writeBinary(out, DRAVTyped::detail::binaryOf(*value));
        continue;
      }
      const unsigned long size = value->objectSize(nullptr);
      call.charge(size);
      {
        DRAVDataOutputStream bytes(size);
        value->writeObject(bytes);
        for (unsigned long offset = 1; offset < bytes.size();) {  // past the byte-order marker
          const unsigned long piece = std::min<unsigned long>(limits_.chunkSize, bytes.size() - offset);
          check(out.WriteBufferChunk(bytes.getBuffer(offset), piece));
          offset += piece;
        }
      }
      call.refund(size);
    }
  }

  // A binary value of a chunk or more goes out from its own bytes, copying nothing.
  bool writtenInPieces(const DRAVVar& value) const {
    return value.getType() == DRAVVar::BinaryArray &&
           DRAVTyped::detail::binaryOf(value).getLength() >= limits_.chunkSize;
  }

  // Its tag and length, then its bytes as they lie, in chunks.
  void writeBinary(DRAVHelpers::IIS::ResponseWrapper& out, const DRAVTypes::DRAVArray<unsigned char>& bytes) const {
    DRAVDataOutputStream head;
    head.writeShort(DRAVVar::BinaryArray);
    head.writeULong(bytes.getLength());
    check(out.WriteBufferChunk(head.getBuffer(1), head.size() - 1));  // past the byte-order marker
    unsigned char* data = const_cast<unsigned char*>(bytes.getData());  // only read
    for (unsigned long offset = 0; offset < bytes.getLength();) {
      const unsigned long piece = std::min<unsigned long>(limits_.chunkSize, bytes.getLength() - offset);
      check(out.WriteBufferChunk(data + offset, piece));
      offset += piece;
    }
  }

  static void check(bool written) {
    if (!written) throw std::runtime_error("the answer could not be written");
  }

  std::string name_;
  DRAVMethodTableLimits limits_;
  std::map<std::string, DRAVTyped::BoundMethod> methods_;
  std::vector<std::string> order_;
};
