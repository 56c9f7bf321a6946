// DRAVVar to and from VARIANT, and the argument array of an IDispatch call.
#include <drav/common/exception.h>
#include <drav/serialization/argument_list.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/output_stream.h>
#include <drav/serialization/typed_value.h>

#include <gtest/gtest.h>

#include <functional>
#include <new>

#include "../compression/allocation_probe.h"
#include "support/bytes.h"
#include "support/fake_asp.h"

using dravtest::Bytes;
using dravtest::hex;

namespace {

// Clears the VARIANT it holds on the way out.
struct Variant {
  VARIANT v;
  Variant() { VariantInit(&v); }
  ~Variant() { VariantClear(&v); }
};

Bytes arrayBytes(const SAFEARRAY* array) {
  const auto* data = static_cast<const unsigned char*>(array->pvData);
  return Bytes(data, data + array->rgsabound[0].cElements);
}

std::basic_string<OLECHAR> unitsOf(BSTR text) { return std::basic_string<OLECHAR>(text, SysStringLen(text)); }

SAFEARRAY* byteArray(const Bytes& bytes) {
  SAFEARRAYBOUND bound = {static_cast<ULONG>(bytes.size()), 0};
  SAFEARRAY* array = SafeArrayCreate(VT_UI1, 1, &bound);
  for (std::size_t i = 0; i < bytes.size(); ++i) static_cast<unsigned char*>(array->pvData)[i] = bytes[i];
  return array;
}

struct TwoBytes : DRAVSerializable {
  void writeObject(DRAVOutputStream& out) const override { out.writeShort(0x0102); }
  unsigned long objectSize(DRAVDataTypedStream*) const override { return 2; }
};

TEST(VariantMapping, EveryScalarKindBecomesItsVariantType) {
  const struct {
    DRAVVar value;
    VARTYPE vt;
    std::function<bool(const VARIANT&)> holds;
  } table[] = {
      {DRAVVar(), VT_EMPTY, [](const VARIANT&) { return true; }},
      {DRAVVar(7), VT_I4, [](const VARIANT& v) { return v.lVal == 7; }},
      {DRAVVar(-5L), VT_I4, [](const VARIANT& v) { return v.lVal == -5; }},
      {DRAVVar(true), VT_BOOL, [](const VARIANT& v) { return v.boolVal == VARIANT_TRUE; }},
      {DRAVVar(false), VT_BOOL, [](const VARIANT& v) { return v.boolVal == VARIANT_FALSE; }},
      {DRAVVar(static_cast<short>(-300)), VT_I2, [](const VARIANT& v) { return v.iVal == -300; }},
      {DRAVVar(2.25), VT_R8, [](const VARIANT& v) { return v.dblVal == 2.25; }},
      {DRAVVar(1.5f), VT_R4, [](const VARIANT& v) { return v.fltVal == 1.5f; }},
      {DRAVVar(static_cast<unsigned char>(200)), VT_UI1, [](const VARIANT& v) { return v.bVal == 200; }},
      {DRAVVar('x'), VT_I1, [](const VARIANT& v) { return v.cVal == 'x'; }},
      {DRAVVar(static_cast<unsigned short>(65000)), VT_UI2, [](const VARIANT& v) { return v.uiVal == 65000; }},
      {DRAVVar(4000000000ul), VT_UI4, [](const VARIANT& v) { return v.ulVal == 4000000000u; }},
      {DRAVVar(3u), VT_UINT, [](const VARIANT& v) { return v.uintVal == 3u; }},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.value.getType());
    Variant out;
    out.v.vt = VT_I4;  // whatever it held is simply overwritten
    row.value.toVariant(out.v);
    EXPECT_EQ(out.v.vt, row.vt);
    EXPECT_TRUE(row.holds(out.v));
  }
}

TEST(VariantMapping, TextsBecomeBstrs) {
  Variant narrow, wide;
  DRAVVar(std::string("abc")).toVariant(narrow.v);
  ASSERT_EQ(narrow.v.vt, VT_BSTR);
  EXPECT_EQ(unitsOf(narrow.v.bstrVal), (std::basic_string<OLECHAR>{'a', 'b', 'c'}));

  DRAVVar(zu_utf8string("\xC3\xA9\xF0\x9F\x98\x80")).toVariant(wide.v);
  ASSERT_EQ(wide.v.vt, VT_BSTR);
  EXPECT_EQ(unitsOf(wide.v.bstrVal), (std::basic_string<OLECHAR>{0xE9, 0xD83D, 0xDE00}));
}

TEST(VariantMapping, TextsCrossTheUtf16BoundaryExactly) {
  using Units = std::basic_string<OLECHAR>;
  const struct {
    std::string utf8;
    Units utf16;
  } both[] = {
      {"\xED\x9F\xBF", {0xD7FF}},                      // just below the surrogates
      {"\xEE\x80\x80", {0xE000}},                      // just above them
      {"\xEF\xBF\xBF", {0xFFFF}},                      // the last single unit
      {"\xF0\x90\x80\x80", {0xD800, 0xDC00}},          // the first pair
      {"\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}},          // the last code point
      {std::string("a\0b", 3), {'a', 0, 'b'}},         // a NUL inside is kept both ways
  };
  for (const auto& row : both) {
    SCOPED_TRACE(dravtest::toHex(reinterpret_cast<const unsigned char*>(row.utf8.data()), row.utf8.size()));
    Variant wide;
    DRAVVar(zu_utf8string(row.utf8.data(), row.utf8.size())).toVariant(wide.v);
    ASSERT_EQ(wide.v.vt, VT_BSTR);
    EXPECT_EQ(unitsOf(wide.v.bstrVal), row.utf16);
    DRAVVar back;
    back.fromVariant(wide.v);
    EXPECT_EQ(back.getUTF8String().str(), row.utf8);
  }

  // What is not well-formed becomes U+FFFD, one per byte or unit that cannot be read.
  const struct {
    std::string utf8;
    Units utf16;
  } toWide[] = {
      {"a\xE2\x82", {'a', 0xFFFD, 0xFFFD}},                // a sequence cut short at the end
      {"\xED\xA0\x80", {0xFFFD, 0xFFFD, 0xFFFD}},         // a surrogate encoded in UTF-8
      {"\xF4\x90\x80\x80", {0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}},  // beyond U+10FFFF
  };
  for (const auto& row : toWide) {
    Variant wide;
    DRAVVar(zu_utf8string(row.utf8.data(), row.utf8.size())).toVariant(wide.v);
    EXPECT_EQ(unitsOf(wide.v.bstrVal), row.utf16) << dravtest::toHex(reinterpret_cast<const unsigned char*>(row.utf8.data()), row.utf8.size());
  }
  const struct {
    Units utf16;
    const char* utf8;
  } toNarrow[] = {
      {{0xD800}, "\xEF\xBF\xBD"},             // a high surrogate at the end
      {{0xD800, 'a'}, "\xEF\xBF\xBD" "a"},    // followed by no low one
      {{0xDC00, 0xD800}, "\xEF\xBF\xBD\xEF\xBF\xBD"},  // a pair in the wrong order
  };
  for (const auto& row : toNarrow) {
    Variant in;
    in.v.vt = VT_BSTR;
    in.v.bstrVal = SysAllocStringLen(row.utf16.data(), static_cast<UINT>(row.utf16.size()));
    DRAVVar value;
    value.fromVariant(in.v);
    EXPECT_EQ(value.getUTF8String().str(), row.utf8);
  }
}

TEST(VariantMapping, BinaryValuesAndObjectsBecomeByteArrays) {
  unsigned char bytes[] = {1, 2, 3};
  Variant binary, object, absent;
  DRAVVar(new DRAVTypes::DRAVArray<unsigned char>(bytes, 3, true)).toVariant(binary.v);
  ASSERT_EQ(binary.v.vt, VT_ARRAY | VT_UI1);
  EXPECT_EQ(arrayBytes(binary.v.parray), Bytes({1, 2, 3}));
  EXPECT_EQ(binary.v.parray->rgsabound[0].lLbound, 0);
  EXPECT_EQ(binary.v.parray->cLocks, 0u);

  TwoBytes serializable;
  DRAVVar(&serializable, false).toVariant(object.v);
  ASSERT_EQ(object.v.vt, VT_ARRAY | VT_UI1);
  EXPECT_EQ(arrayBytes(object.v.parray), dravtest::withMarker(hex("01 02")));

  DRAVVar(static_cast<DRAVTypes::DRAVArray<unsigned char>*>(nullptr)).toVariant(absent.v);
  ASSERT_EQ(absent.v.vt, VT_ARRAY | VT_UI1);
  EXPECT_EQ(absent.v.parray->rgsabound[0].cElements, 0u);
}

TEST(VariantMapping, VariantTypesBecomeTheirKinds) {
  Variant in;
  DRAVVar value;
  auto from = [&](VARTYPE vt, const std::function<void(VARIANT&)>& fill) {
    VariantClear(&in.v);
    in.v.vt = vt;
    fill(in.v);
    value.fromVariant(in.v);
  };
  from(VT_I2, [](VARIANT& v) { v.iVal = -3; });
  EXPECT_EQ(value.getType(), DRAVVar::Short);
  EXPECT_EQ(value.getShort(), -3);
  from(VT_I4, [](VARIANT& v) { v.lVal = 7; });
  EXPECT_EQ(value.getType(), DRAVVar::Long);
  EXPECT_EQ(value.getLong(), 7);
  from(VT_R4, [](VARIANT& v) { v.fltVal = 0.5f; });
  EXPECT_EQ(value.getType(), DRAVVar::Float);
  from(VT_R8, [](VARIANT& v) { v.dblVal = -0.25; });
  EXPECT_EQ(value.getDouble(), -0.25);
  from(VT_BOOL, [](VARIANT& v) { v.boolVal = VARIANT_TRUE; });
  EXPECT_EQ(value.getType(), DRAVVar::Short);
  EXPECT_EQ(value.getShort(), -1);
  EXPECT_TRUE(value.getBool());
  from(VT_I1, [](VARIANT& v) { v.cVal = 'q'; });
  EXPECT_EQ(value.getType(), DRAVVar::Char);
  from(VT_UI1, [](VARIANT& v) { v.bVal = 0xFE; });
  EXPECT_EQ(value.getUChar(), 0xFE);
  from(VT_UI2, [](VARIANT& v) { v.uiVal = 0xFFFE; });
  EXPECT_EQ(value.getType(), DRAVVar::UShort);
  from(VT_UI4, [](VARIANT& v) { v.ulVal = 0xFFFFFFFEu; });
  EXPECT_EQ(value.getType(), DRAVVar::ULong);
  EXPECT_EQ(value.getULong(), 0xFFFFFFFEul);
  from(VT_INT, [](VARIANT& v) { v.intVal = -9; });
  EXPECT_EQ(value.getType(), DRAVVar::Int);
  from(VT_UINT, [](VARIANT& v) { v.uintVal = 9; });
  EXPECT_EQ(value.getType(), DRAVVar::UInt);
  from(VT_BSTR, [](VARIANT& v) { v.bstrVal = SysAllocString(DRAV_W("ab\u00e9")); });
  EXPECT_EQ(value.getType(), DRAVVar::UTF8String);
  EXPECT_EQ(value.getUTF8String().str(), "ab\xC3\xA9");
  from(VT_BSTR, [](VARIANT& v) { v.bstrVal = nullptr; });
  EXPECT_EQ(value.getUTF8String().str(), "");
}

TEST(VariantMapping, ByteArraysAreCopiedOut) {
  Variant in;
  in.v.vt = VT_ARRAY | VT_UI1;
  in.v.parray = byteArray({4, 5, 6});
  DRAVVar value;
  value.fromVariant(in.v);
  static_cast<unsigned char*>(in.v.parray->pvData)[0] = 0;  // the value keeps its own copy
  ASSERT_EQ(value.getType(), DRAVVar::BinaryArray);
  const auto* array = value.getBinaryArray(false);
  EXPECT_EQ(Bytes(array->getData(), array->getData() + array->getLength()), Bytes({4, 5, 6}));

  VARIANT nullArray;
  VariantInit(&nullArray);
  nullArray.vt = VT_ARRAY | VT_UI1;
  nullArray.parray = nullptr;
  value.fromVariant(nullArray);
  EXPECT_EQ(value.getBinaryArray(false)->getLength(), 0u);

  VARIANT outer;
  VariantInit(&outer);
  outer.vt = VT_VARIANT;
  outer.pvarVal = &in.v;
  value.fromVariant(outer);
  EXPECT_EQ(value.getBinaryArray(false)->getLength(), 3u);
}

TEST(VariantMapping, OtherVariantTypesAreRefusedAndTheValueIsKept) {
  Variant number;
  number.v.vt = VT_I4;
  SAFEARRAYBOUND bound = {2, 0};
  Variant wideElements;  // claims bytes but holds 4-byte elements
  wideElements.v.vt = VT_ARRAY | VT_UI1;
  wideElements.v.parray = SafeArrayCreate(VT_I4, 1, &bound);

  VARIANT cases[14];
  for (auto& c : cases) VariantInit(&c);
  const VARTYPE refused[] = {VT_EMPTY, VT_NULL, VT_CY, VT_DATE, VT_DISPATCH, VT_ERROR, VT_UNKNOWN,
                             VT_DECIMAL, VT_I8, VT_UI8, VT_ARRAY | VT_I4, VT_BYREF | VT_I4};
  for (std::size_t i = 0; i < 12; ++i) cases[i].vt = refused[i];
  cases[12].vt = VT_VARIANT;
  cases[12].pvarVal = &number.v;  // not a byte array inside
  cases[13].vt = VT_VARIANT;
  cases[13].pvarVal = nullptr;

  DRAVVar value(std::string("kept"));
  for (const VARIANT& c : cases) {
    SCOPED_TRACE(c.vt);
    try {
      value.fromVariant(c);
      ADD_FAILURE() << "accepted";
    } catch (const DRAVException& e) {
      EXPECT_STREQ(e.what(), "unsupported VARIANT type");
    }
    EXPECT_EQ(value.getString(), "kept");
  }
  EXPECT_THROW(value.fromVariant(wideElements.v), DRAVException);
  EXPECT_EQ(value.getString(), "kept");
}

TEST(VariantMapping, ByteArraysOfMoreThanOneDimensionAreRefused) {
  // The first bound entry alone does not describe the data block of these:
  // 2 x 3 cells, and 0 x 5 cells (no data at all behind a count of 5).
  const SAFEARRAYBOUND shapes[][2] = {{{2, 0}, {3, 0}}, {{0, 0}, {5, 0}}, {{5, 0}, {0, 0}}};
  for (const auto& shape : shapes) {
    SCOPED_TRACE(testing::Message() << shape[0].cElements << " x " << shape[1].cElements);
    Variant in;
    in.v.vt = VT_ARRAY | VT_UI1;
    in.v.parray = SafeArrayCreate(VT_UI1, 2, const_cast<SAFEARRAYBOUND*>(shape));
    ASSERT_NE(in.v.parray, nullptr);
    VARIANT outer;
    VariantInit(&outer);
    outer.vt = VT_VARIANT;
    outer.pvarVal = &in.v;
    for (const VARIANT* given : {static_cast<const VARIANT*>(&in.v), static_cast<const VARIANT*>(&outer)}) {
      DRAVVar value(std::string("kept"));
      try {
        value.fromVariant(*given);
        ADD_FAILURE() << "accepted";
      } catch (const DRAVException& e) {
        EXPECT_STREQ(e.what(), "unsupported VARIANT type");
      }
      EXPECT_EQ(value.getString(), "kept");
    }
  }
}

TEST(VariantMapping, RoundTripsChangeOnlyTheDocumentedKinds) {
  TwoBytes serializable;
  const struct {
    DRAVVar value;
    DRAVVar::VarType back;
  } table[] = {
      {DRAVVar(5), DRAVVar::Long},
      {DRAVVar(std::string("s")), DRAVVar::UTF8String},
      {DRAVVar(true), DRAVVar::Short},
      {DRAVVar(&serializable, false), DRAVVar::BinaryArray},
      {DRAVVar(2.5), DRAVVar::Double},
      {DRAVVar(zu_utf8string("u")), DRAVVar::UTF8String},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.value.getType());
    Variant middle;
    row.value.toVariant(middle.v);
    DRAVVar back;
    back.fromVariant(middle.v);
    EXPECT_EQ(back.getType(), row.back);
  }
}

TEST(VariantMapping, ArgumentArraysFollowTheInvocationLayouts) {
  DRAVArgs args;
  args.addArg(std::string("a"));
  args.addArg(std::string("b"));
  dravtest::CountedDispatch dispatch;
  VARIANT result;
  VariantInit(&result);
  auto textAt = [](const VARIANT& v) { return v.vt == VT_BSTR ? static_cast<char>(v.bstrVal[0]) : '?'; };
  auto release = [](VARIANT* array, std::initializer_list<int> values) {
    for (int i : values) VariantClear(&array[i]);
    delete[] array;
  };

  VARIANT* reversed = args.getVarArgs(false, &result, &dispatch);
  EXPECT_EQ(reversed[0].vt, VT_BYREF | VT_VARIANT);
  EXPECT_EQ(reversed[0].pvarVal, &result);
  EXPECT_EQ(reversed[1].vt, VT_DISPATCH);
  EXPECT_EQ(reversed[1].pdispVal, &dispatch);
  EXPECT_EQ(textAt(reversed[2]), 'b');
  EXPECT_EQ(textAt(reversed[3]), 'a');
  release(reversed, {2, 3});

  VARIANT* ordered = args.getVarArgs(true, &result, &dispatch);
  EXPECT_EQ(textAt(ordered[0]), 'a');
  EXPECT_EQ(textAt(ordered[1]), 'b');
  EXPECT_EQ(ordered[2].vt, VT_DISPATCH);
  EXPECT_EQ(ordered[3].pvarVal, &result);
  release(ordered, {0, 1});

  VARIANT* noDispatch = args.getVarArgs(false, &result, nullptr);
  EXPECT_EQ(noDispatch[0].vt, VT_BYREF | VT_VARIANT);
  EXPECT_EQ(textAt(noDispatch[1]), 'b');
  EXPECT_EQ(textAt(noDispatch[2]), 'a');
  release(noDispatch, {1, 2});
  EXPECT_EQ(dispatch.refCount(), 1);  // never counted
}

TEST(VariantMapping, AValueThatCannotBeConvertedFailsTheWholeArrayAndLeavesNothing) {
  DRAVArgs args;
  args.addArg(std::string("a"));
  args.addArg(zu_utf8string("a text longer than any short-string buffer"));
  VARIANT result;
  VariantInit(&result);
  const long before = dravtest::liveArrayAllocations();
  dravtest::failObjectAllocationAfter(0);  // converting the long text needs memory
  EXPECT_THROW(args.getVarArgs(true, &result, nullptr), std::bad_alloc);
  dravtest::failObjectAllocationAfter(-1);
  EXPECT_EQ(dravtest::liveArrayAllocations(), before) << "the slots are freed";
  EXPECT_EQ(result.vt, VT_EMPTY);
}

TEST(VariantMapping, AnEmptyListGivesTheResultAndTheDispatchInTheSameOrderAsAFullOne) {
  DRAVArgs empty;
  dravtest::CountedDispatch dispatch;
  VARIANT result;
  VariantInit(&result);

  VARIANT* alone = empty.getVarArgs(true, &result, nullptr);
  EXPECT_EQ(alone[0].vt, VT_BYREF | VT_VARIANT);
  delete[] alone;

  VARIANT* ordered = empty.getVarArgs(true, &result, &dispatch);
  EXPECT_EQ(ordered[0].vt, VT_DISPATCH);
  EXPECT_EQ(ordered[1].vt, VT_BYREF | VT_VARIANT);
  delete[] ordered;

  VARIANT* reversed = empty.getVarArgs(false, &result, &dispatch);
  EXPECT_EQ(reversed[0].vt, VT_BYREF | VT_VARIANT);
  EXPECT_EQ(reversed[1].vt, VT_DISPATCH);
  delete[] reversed;
}

}  // namespace
