#include <drav/hosting/response_wrapper.h>

#include <drav/common/exception.h>
#include <drav/common/wire_width.h>
#include <drav/hosting/hresult_text.h>
#include <drav/platform/annal.h>
#include <drav/serialization/output_stream.h>
#include <drav/serialization/size_calculator.h>

namespace DRAVHelpers {
namespace IIS {

namespace {

const Annal::AnnalInitExit annalInitExit;

constexpr short kBinaryArrayTag = 3;

}  // namespace

ResponseWrapper::ResponseWrapper(IDispatch* response) {
  // A host may answer S_OK and still hand out no pointer.
  if (!response || FAILED(response->QueryInterface(IID_IResponse, reinterpret_cast<void**>(&response_))) ||
      !response_) {
    response_ = nullptr;
    Annal::Logger(Annal::Error) << "ResponseWrapper: the response object offers no IResponse; nothing will be written";
    return;
  }
  response_->put_Buffer(VARIANT_FALSE);  // every write goes out at once; a host that refuses still works
}

ResponseWrapper::~ResponseWrapper() {
  if (response_) response_->Release();
}

bool ResponseWrapper::WriteBufferChunk(unsigned char* data, unsigned long size) {
  const ULONG length = DRAV::detail::toWireULong(size, "response chunk size");
  if (!response_) return false;
  if (!data && length) {
    Annal::Logger(Annal::Error) << "ResponseWrapper: no data for a chunk of " << size << " bytes";
    return false;
  }
  // The callee only reads an [in] array during the call: a descriptor on the
  // stack over the caller's bytes (FADF_AUTO: nobody frees it) spares an
  // allocation and a copy per chunk.
  static unsigned char noBytes;
  SAFEARRAY array = {};
  array.cDims = 1;
  array.fFeatures = FADF_AUTO | FADF_FIXEDSIZE;
  array.cbElements = 1;
  array.pvData = data ? data : &noBytes;
  array.rgsabound[0].cElements = length;
  VARIANT chunk;
  VariantInit(&chunk);
  chunk.vt = VT_ARRAY | VT_UI1;
  chunk.parray = &array;
  const HRESULT hr = response_->BinaryWrite(chunk);
  if (FAILED(hr)) Annal::Logger(Annal::Error) << "ResponseWrapper: BinaryWrite failed (" << DRAV::detail::hresultText(hr) << ")";
  return SUCCEEDED(hr);
}

bool ResponseWrapper::WriteBufferSize(unsigned long size) {
  DRAVDataOutputStream out(0);
  out.reserve(1 + DRAVDataTypedStream::sizeOfShort() + DRAVDataTypedStream::sizeOfULong());
  out.writeShort(kBinaryArrayTag);
  out.writeULong(size);
  return WriteBufferChunk(out.getBuffer(0), out.size());
}

bool ResponseWrapper::WriteStatus(const DRAVInvocation::Bridge::StatusWrapper& status) {
  const _DRAVInvocationStatus* record = nullptr;
  try {
    record = &status.getStatus();
  } catch (const DRAVException& e) {
    Annal::Logger(Annal::Error) << "ResponseWrapper: no status written: " << e.what();
    return false;
  }
  DRAVDataOutputStream out(0);
  DRAVInvocation::Bridge::writeStatusRecord(*record, out);
  // Skip the marker: the status continues the body the results began.
  return WriteBufferChunk(out.getBuffer(1), out.size() - 1);
}

}  // namespace IIS
}  // namespace DRAVHelpers
