#include <drav/serialization/invocation_status.h>

#include <drav/common/exception.h>
#include <drav/common/wire_width.h>
#include <drav/hosting/bstr_text.h>
#include <drav/serialization/output_stream.h>
#include <drav/serialization/size_calculator.h>

#include <memory>
#include <new>
#include <utility>

namespace DRAVInvocation {
namespace Bridge {

namespace {

using DRAV::detail::ansiToBstr;
using DRAV::detail::bstrToAnsi;

void freeRecord(_DRAVInvocationStatus* record) {
  if (!record) return;
  SysFreeString(record->text1);
  SysFreeString(record->text2);
  SysFreeString(record->message);
  CoTaskMemFree(record);
}

using RecordPtr = std::unique_ptr<_DRAVInvocationStatus, void (*)(_DRAVInvocationStatus*)>;

RecordPtr emptyRecord(LONG code) {
  auto* record = static_cast<_DRAVInvocationStatus*>(CoTaskMemAlloc(sizeof(_DRAVInvocationStatus)));
  if (!record) throw std::bad_alloc();
  *record = {nullptr, nullptr, code, nullptr};
  return RecordPtr(record, freeRecord);
}

BSTR copyOf(BSTR text) {
  if (!text) return nullptr;
  BSTR copy = SysAllocStringLen(text, SysStringLen(text));
  if (!copy) throw std::bad_alloc();
  return copy;
}

// Texts given as null stay null BSTRs.
RecordPtr filledRecord(const std::string* text1, const std::string* text2, const std::string& message, long code) {
  RecordPtr record = emptyRecord(DRAV::detail::toWireLong(code, "status code"));
  if (text1) record->text1 = ansiToBstr(*text1);
  if (text2) record->text2 = ansiToBstr(*text2);
  record->message = ansiToBstr(message);
  return record;
}

}  // namespace

Status::Status() { adopt(filledRecord(nullptr, nullptr, "no error detected", 0).release()); }

Status::Status(const std::string& text1, const std::string& text2, const std::string& message, long code) {
  adopt(filledRecord(&text1, &text2, message, code).release());
}

Status::Status(const Status& other) : DRAVSerializable(other) {
  RecordPtr record = emptyRecord(other.status_->code);
  record->text1 = copyOf(other.status_->text1);
  record->text2 = copyOf(other.status_->text2);
  record->message = copyOf(other.status_->message);
  adopt(record.release());
}

Status& Status::operator=(const Status& other) {
  if (this != &other) {
    Status copy(other);
    swap(copy);
  }
  return *this;
}

Status::~Status() {
  VariantClear(variant_);  // a by-reference record owns nothing: this only empties it
  delete variant_;
  freeRecord(status_);
}

void Status::adopt(_DRAVInvocationStatus* record) {
  RecordPtr owned(record, freeRecord);
  variant_ = new VARIANT;
  VariantInit(variant_);
  variant_->vt = VT_BYREF | VT_RECORD;
  variant_->pvRecord = record;
  variant_->pRecInfo = nullptr;
  status_ = owned.release();
}

void Status::swap(Status& other) noexcept {
  std::swap(variant_, other.variant_);
  std::swap(status_, other.status_);
}

void writeStatusRecord(const _DRAVInvocationStatus& record, DRAVOutputStream& out) {
  out.writeString(bstrToAnsi(record.text1));
  out.writeString(bstrToAnsi(record.text2));
  out.writeString(bstrToAnsi(record.message));
  out.writeLong(record.code);
}

void Status::writeObject(DRAVOutputStream& out) const { writeStatusRecord(*status_, out); }

unsigned long Status::objectSize(DRAVDataTypedStream*) const {
  return DRAVDataTypedStream::sizeOfString(bstrToAnsi(status_->text1)) +
         DRAVDataTypedStream::sizeOfString(bstrToAnsi(status_->text2)) +
         DRAVDataTypedStream::sizeOfString(bstrToAnsi(status_->message)) + DRAVDataTypedStream::sizeOfLong();
}

_DRAVInvocationStatus& StatusWrapper::record() const {
  if (variant_->vt != (VT_BYREF | VT_RECORD) || !variant_->pvRecord)
    throw DRAVException("not an invocation status VARIANT");
  return *static_cast<_DRAVInvocationStatus*>(variant_->pvRecord);
}

void StatusWrapper::code(long value) { record().code = DRAV::detail::toWireLong(value, "status code"); }

void StatusWrapper::message(const std::string& text) {
  _DRAVInvocationStatus& target = record();
  BSTR fresh = ansiToBstr(text);
  SysFreeString(target.message);
  target.message = fresh;
}

}  // namespace Bridge
}  // namespace DRAVInvocation
