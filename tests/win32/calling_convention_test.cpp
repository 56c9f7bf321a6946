// On 32-bit x86 Windows the WinINet and OLE Automation functions are
// __stdcall: the function pops its own arguments. Called through a
// declaration of another convention, each call would leave the stack
// pointer moved by the size of the arguments, and the caller's frame
// corrupted. Elsewhere there is one convention and this file is empty.
#if defined(_WIN32) && defined(__i386__)
// Stack adjustments after a call may not be deferred to a later one: the
// stack pointer is compared right behind each call.
#pragma GCC optimize("no-defer-pop")

#include <drav/platform/win32.h>

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// How far the stack pointer moved across `call`, measured in one frame.
#define STACK_MOVED_BY(call)                                      \
  [&]() -> std::intptr_t {                                       \
    std::intptr_t before;                                        \
    std::intptr_t after;                                         \
    asm volatile("movl %%esp, %0" : "=r"(before)::"memory");     \
    (void)(call);                                                \
    asm volatile("movl %%esp, %0" : "=r"(after)::"memory");      \
    return after - before;                                       \
  }()

TEST(CallingConvention, WininetCallsLeaveTheStackWhereItWas) {
  HINTERNET session = nullptr;
  EXPECT_EQ(STACK_MOVED_BY(session = InternetOpenW(L"cc", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0)), 0);
  ASSERT_NE(session, nullptr);
  DWORD timeout = 1000;
  EXPECT_EQ(STACK_MOVED_BY(InternetSetOptionW(session, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof timeout)), 0);
  HINTERNET connection = nullptr;
  EXPECT_EQ(STACK_MOVED_BY(connection = InternetConnectW(session, L"127.0.0.1", 1, nullptr, nullptr,
                                                         INTERNET_SERVICE_HTTP, 0, 0)),
            0);
  HINTERNET request = nullptr;
  EXPECT_EQ(STACK_MOVED_BY(request = HttpOpenRequestW(connection, L"POST", L"/x", nullptr, nullptr, nullptr, 0, 0)), 0);
  DWORD code = 0, size = sizeof code;
  EXPECT_EQ(STACK_MOVED_BY(HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size, nullptr)),
            0);
  EXPECT_EQ(STACK_MOVED_BY(HttpAddRequestHeadersW(request, L"X-A: 1\r\n", static_cast<DWORD>(-1), HTTP_ADDREQ_FLAG_ADD)), 0);
  EXPECT_EQ(STACK_MOVED_BY(InternetCloseHandle(request)), 0);
  EXPECT_EQ(STACK_MOVED_BY(InternetCloseHandle(connection)), 0);
  EXPECT_EQ(STACK_MOVED_BY(InternetCloseHandle(session)), 0);
}

TEST(CallingConvention, OleAutomationCallsLeaveTheStackWhereItWas) {
  BSTR text = nullptr;
  EXPECT_EQ(STACK_MOVED_BY(text = SysAllocStringLen(L"abc", 3)), 0);
  EXPECT_EQ(STACK_MOVED_BY(SysStringLen(text)), 0);
  EXPECT_EQ(STACK_MOVED_BY(SysFreeString(text)), 0);
  SAFEARRAYBOUND bound = {4, 0};
  SAFEARRAY* array = nullptr;
  EXPECT_EQ(STACK_MOVED_BY(array = SafeArrayCreate(VT_UI1, 1, &bound)), 0);
  LONG lower = -1;
  EXPECT_EQ(STACK_MOVED_BY(SafeArrayGetLBound(array, 1, &lower)), 0);
  EXPECT_EQ(lower, 0);
  EXPECT_EQ(STACK_MOVED_BY(SafeArrayLock(array)), 0);
  EXPECT_EQ(STACK_MOVED_BY(SafeArrayUnlock(array)), 0);
  VARIANT value;
  EXPECT_EQ(STACK_MOVED_BY(VariantInit(&value)), 0);
  value.vt = VT_ARRAY | VT_UI1;
  value.parray = array;
  EXPECT_EQ(STACK_MOVED_BY(VariantClear(&value)), 0);  // destroys the array
  void* block = nullptr;
  EXPECT_EQ(STACK_MOVED_BY(block = CoTaskMemAlloc(16)), 0);
  EXPECT_EQ(STACK_MOVED_BY(CoTaskMemFree(block)), 0);
}

}  // namespace
#endif
