#include <drav/hosting/request_wrapper.h>

#include <drav/common/wire_width.h>
#include <drav/hosting/hresult_text.h>
#include <drav/hosting/safe_array.h>
#include <drav/platform/annal.h>

#include <algorithm>
#include <cstring>

namespace DRAVHelpers {
namespace IIS {

namespace {

const Annal::AnnalInitExit annalInitExit;

// Clears the result of BinaryRead on every way out.
struct ClearedVariant {
  VARIANT value;
  ClearedVariant() { VariantInit(&value); }
  ~ClearedVariant() { VariantClear(&value); }
  ClearedVariant(const ClearedVariant&) = delete;
  ClearedVariant& operator=(const ClearedVariant&) = delete;
};

// The byte count of a delivered one-dimensional byte array, or false.
bool deliveredBytes(const VARIANT& result, std::uint32_t& count) {
  if (result.vt != (VT_ARRAY | VT_UI1) || !result.parray || !ComHelpers::detail::isByteBlock(*result.parray))
    return false;
  count = result.parray->rgsabound[0].cElements;
  return true;
}

}  // namespace

RequestReader::~RequestReader() = default;

RequestWrapper::RequestWrapper(IDispatch* request, unsigned long extraBlobSize, HTTPBufferAllocator* allocator)
    : allocator_(allocator), extraBlobSize_(DRAV::detail::toWireULong(extraBlobSize, "extra blob size")) {
  // A host may answer S_OK and still hand out no pointer.
  if (!request || FAILED(request->QueryInterface(IID_IRequest, reinterpret_cast<void**>(&request_))) || !request_) {
    request_ = nullptr;
    Annal::Logger(Annal::Error) << "RequestWrapper: the request object offers no IRequest; nothing will be read";
    return;
  }
  LONG total = 0;
  const HRESULT hr = request_->get_TotalBytes(&total);
  if (FAILED(hr) || total < 0) {
    Annal::Logger(Annal::Error) << "RequestWrapper: the body length cannot be read (" << DRAV::detail::hresultText(hr)
                                << "); nothing will be read";
    return;
  }
  totalSize_ = static_cast<std::uint32_t>(total);
}

RequestWrapper::~RequestWrapper() {
  if (request_) request_->Release();
}

bool RequestWrapper::ReadBufferChunk(unsigned char*& buffer, unsigned long maxSize, unsigned long& readSize) {
  readSize = 0;
  if (!request_ || !allocator_) return false;

  const std::uint32_t remaining = totalSize_ > bytesRead_ ? totalSize_ - bytesRead_ : 0;
  VARIANT count;
  VariantInit(&count);
  count.vt = VT_UI4;
  count.ulVal = static_cast<ULONG>(std::min<unsigned long long>(maxSize, remaining));
  ClearedVariant result;
  const HRESULT hr = request_->BinaryRead(&count, &result.value);
  std::uint32_t delivered = 0;
  if (FAILED(hr) || !deliveredBytes(result.value, delivered)) {
    Annal::Logger(Annal::Error) << "RequestWrapper: BinaryRead delivered no byte array (" << DRAV::detail::hresultText(hr)
                                << ")";
    return false;
  }

  // A host that delivers more than asked still only moves the count up to its limit.
  bytesRead_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t(bytesRead_) + delivered, 0xFFFFFFFFu));
  unsigned char* chunk = allocator_->allocate(delivered);
  if (!chunk && delivered) {
    Annal::Logger(Annal::Error) << "RequestWrapper: the allocator gave no buffer for " << delivered
                                << " bytes; they are lost";
    return false;
  }
  if (delivered) std::memcpy(chunk, result.value.parray->pvData, delivered);
  buffer = chunk;
  readSize = delivered;
  return true;
}

}  // namespace IIS
}  // namespace DRAVHelpers
