// The invocation status a bridge reports after the results of a call: a
// code, a message and two free texts, kept in a COM record that code holding
// only a VARIANT can change in place, and written behind the results.
//
// Status owns the record and the by-reference record VARIANT that points at
// it; StatusWrapper changes a record through such a VARIANT and owns nothing.
// Only the writing side is here: reading a status back belongs to whoever
// receives the response. Not thread-safe: one thread at a time.
#pragma once

#include <drav/export.h>
#include <drav/platform/win32.h>
#include <drav/serialization/serializable.h>

#include <string>

// The record the status VARIANT designates, in COM task memory. Its layout
// is fixed: code holding the VARIANT reads and writes the fields in place.
struct _DRAVInvocationStatus {
  BSTR text1;    // first free text; null when not given
  BSTR text2;    // second free text; null when not given
  LONG code;     // 0: no error
  BSTR message;  // the status message
};

namespace DRAVInvocation {
namespace Bridge {

// The encoding of a status record: text1, text2 and message as strings (a
// null text as an empty one), then code as a 32-bit integer.
DRAV_EXPORT void writeStatusRecord(const _DRAVInvocationStatus& record, DRAVOutputStream& out);

// The invocation status as a value: code, message and the two free texts.
class DRAV_EXPORT Status : public DRAVSerializable {
public:
  // code 0, message "no error detected", no free texts.
  Status();
  // A code that does not fit 32 bits is refused with DRAVException.
  Status(const std::string& text1, const std::string& text2, const std::string& message, long code);
  // Copies are deep: each status owns its own record and VARIANT.
  Status(const Status& other);
  Status& operator=(const Status& other);
  ~Status() override;

  // The record; valid while the status lives.
  const _DRAVInvocationStatus& getStatus() const { return *status_; }
  // VT_BYREF | VT_RECORD, pointing at the record, without record information.
  // Owned by the status; valid while the status lives.
  VARIANT& getVariant() { return *variant_; }
  const VARIANT& getVariant() const { return *variant_; }

  // writeStatusRecord of the record.
  void writeObject(DRAVOutputStream& out) const override;
  unsigned long objectSize(DRAVDataTypedStream* sizes) const override;

private:
  // Takes `record` over (freeing it if this throws) and points a new VARIANT at it.
  void adopt(_DRAVInvocationStatus* record);
  void swap(Status& other) noexcept;

  VARIANT* variant_ = nullptr;
  _DRAVInvocationStatus* status_ = nullptr;
};

// A view of a status VARIANT held elsewhere; the VARIANT must outlive the
// wrapper. Every member throws DRAVException when the VARIANT is not a
// by-reference record with a record behind it.
class DRAV_EXPORT StatusWrapper {
public:
  StatusWrapper(VARIANT& status) : variant_(&status) {}

  // A code that does not fit 32 bits is refused with DRAVException.
  void code(long value);
  // Replaces the message; the previous one is freed.
  void message(const std::string& text);
  // The record the VARIANT designates; valid while that record lives.
  const _DRAVInvocationStatus& getStatus() const { return record(); }

private:
  _DRAVInvocationStatus& record() const;

  VARIANT* variant_;
};

}  // namespace Bridge
}  // namespace DRAVInvocation
