// DRAVVar to and from VARIANT, and the IDispatch argument array of a DRAVArgs.
#include <drav/common/exception.h>
#include <drav/hosting/bstr_text.h>
#include <drav/hosting/safe_array.h>
#include <drav/serialization/argument_list.h>
#include <drav/serialization/typed_value.h>

#include <memory>
#include <new>

namespace {

[[noreturn]] void unsupported() { throw DRAVException("unsupported VARIANT type"); }

BSTR utf16Bstr(const zu_utf8string& text) {
  const ucs2string units(text);
  BSTR out = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(units.c_str()), static_cast<UINT>(units.size()));
  if (!out) throw std::bad_alloc();
  return out;
}

zu_utf8string utf8Of(BSTR text) {
  return zu_utf8string(Glossa::utf16ToUtf8(reinterpret_cast<const unsigned short*>(text), SysStringLen(text)));
}

// A copy of the bytes of a one-dimensional byte array; null gives none.
DRAVTypes::DRAVArray<unsigned char>* bytesOf(const SAFEARRAY* array) {
  if (!array) return new DRAVTypes::DRAVArray<unsigned char>(nullptr, 0, true);
  if (!ComHelpers::detail::isByteBlock(*array)) unsupported();
  return new DRAVTypes::DRAVArray<unsigned char>(static_cast<unsigned char*>(array->pvData),
                                                 array->rgsabound[0].cElements, true);
}

// A new byte array holding a copy of `bytes` (an empty one when absent).
SAFEARRAY* byteArrayOf(const DRAVTypes::DRAVArray<unsigned char>* bytes) {
  // The helper only reads the bytes it is given.
  unsigned char* data = bytes ? const_cast<unsigned char*>(bytes->getData()) : nullptr;
  return ComHelpers::SafeArrayHelpers::createBinarySafeArray(data, bytes ? bytes->getLength() : 0, true);
}

}  // namespace

void DRAVVar::toVariant(VARIANT& out) const {
  VariantInit(&out);
  switch (getType()) {
    case Int:
    case Long: out.lVal = static_cast<LONG>(getLong()); out.vt = VT_I4; break;
    case String: out.bstrVal = DRAV::detail::ansiToBstr(getString()); out.vt = VT_BSTR; break;
    case UTF8String: out.bstrVal = utf16Bstr(getUTF8String()); out.vt = VT_BSTR; break;
    case BinaryArray:
      // Not detached, so the value stays as it is.
      out.parray = byteArrayOf(const_cast<DRAVVar*>(this)->getBinaryArray(false));
      out.vt = VT_ARRAY | VT_UI1;
      break;
    case Object:
    case TypedObject: out.parray = byteArrayOf(&getObjectBytes()); out.vt = VT_ARRAY | VT_UI1; break;
    case Bool: out.boolVal = getBool() ? VARIANT_TRUE : VARIANT_FALSE; out.vt = VT_BOOL; break;
    case Short: out.iVal = getShort(); out.vt = VT_I2; break;
    case Double: out.dblVal = getDouble(); out.vt = VT_R8; break;
    case Float: out.fltVal = getFloat(); out.vt = VT_R4; break;
    case UChar: out.bVal = getUChar(); out.vt = VT_UI1; break;
    case Char: out.cVal = getChar(); out.vt = VT_I1; break;
    case UShort: out.uiVal = getUShort(); out.vt = VT_UI2; break;
    case ULong: out.ulVal = static_cast<ULONG>(getULong()); out.vt = VT_UI4; break;
    case UInt: out.uintVal = getUInt(); out.vt = VT_UINT; break;
    default: break;  // empty, and tags no kind has: VT_EMPTY
  }
}

void DRAVVar::fromVariant(const VARIANT& in) {
  DRAVVar converted;
  switch (in.vt) {
    case VT_I2: converted = static_cast<short>(in.iVal); break;
    case VT_I4: converted = static_cast<long>(in.lVal); break;
    case VT_R4: converted = static_cast<float>(in.fltVal); break;
    case VT_R8: converted = static_cast<double>(in.dblVal); break;
    case VT_BSTR: converted = utf8Of(in.bstrVal); break;
    case VT_BOOL: converted = static_cast<short>(in.boolVal); break;  // 0 or -1, kept as it is
    case VT_VARIANT:
      if (!in.pvarVal || in.pvarVal->vt != (VT_ARRAY | VT_UI1)) unsupported();
      converted = bytesOf(in.pvarVal->parray);
      break;
    case VT_I1: converted = static_cast<char>(in.cVal); break;
    case VT_UI1: converted = static_cast<unsigned char>(in.bVal); break;
    case VT_UI2: converted = static_cast<unsigned short>(in.uiVal); break;
    case VT_UI4: converted = static_cast<unsigned long>(in.ulVal); break;
    case VT_INT: converted = static_cast<int>(in.intVal); break;
    case VT_UINT: converted = static_cast<unsigned int>(in.uintVal); break;
    case VT_ARRAY | VT_UI1: converted = bytesOf(in.parray); break;
    default: unsupported();
  }
  *this = std::move(converted);
}

VARIANT* DRAVArgs::getVarArgs(bool inOrder, VARIANT* result, IDispatch* dispatch) const {
  const std::size_t n = count_;
  const std::size_t d = dispatch ? 1 : 0;
  std::unique_ptr<VARIANT[]> out(new VARIANT[n + 1 + d]);
  for (std::size_t i = 0; i < n + 1 + d; ++i) VariantInit(&out[i]);

  // Slots: values first and result last in order; result first and values reversed otherwise.
  const std::size_t resultSlot = inOrder ? n + d : 0;
  const std::size_t dispatchSlot = inOrder ? n : 1;
  auto valueSlot = [&](std::size_t i) { return inOrder ? i : n - 1 - i + 1 + d; };

  for (std::size_t i = 0; i < n; ++i) {
    try {
      values_[i].toVariant(out[valueSlot(i)]);
    } catch (...) {
      for (std::size_t j = 0; j < i; ++j) VariantClear(&out[valueSlot(j)]);
      throw;
    }
  }
  if (d) {
    out[dispatchSlot].vt = VT_DISPATCH;
    out[dispatchSlot].pdispVal = dispatch;  // no reference added: the caller's stays the only one
  }
  out[resultSlot].vt = VT_BYREF | VT_VARIANT;
  out[resultSlot].pvarVal = result;
  return out.release();
}
