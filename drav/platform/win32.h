// The one header that brings in the Windows API subset the library calls:
// base types, kernel32, OLE Automation and WinINet. On Windows these are the
// system headers; elsewhere our own implementation under win32/.
//
// DRAV_W("text") writes a wide (WCHAR) literal on every host; see
// win32/windef.h. This header declares nothing of its own beyond that.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <windows.h>
#include <oleauto.h>
#include <wininet.h>
#define DRAV_W(text) L"" text
#else
#include <win32/windef.h>
#include <win32/kernel32.h>
#include <win32/oleauto.h>
#if __has_include(<win32/wininet.h>)
#include <win32/wininet.h>
#endif
#endif
