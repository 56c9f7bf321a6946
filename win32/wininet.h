// The WinINet subset the library calls, for hosts without Windows: a
// synchronous HTTP/1.1 client on libcurl with session, connection and
// request handles, request headers, whole and streamed request bodies,
// streamed responses, status and header queries, a process-wide cookie
// store, Basic and NTLM authentication, HTTP proxies and HTTPS.
//
// Behaviour follows the WinINet documentation: same arguments, results and
// last-error codes (GetLastError). What the library does not use fails with
// ERROR_CALL_NOT_IMPLEMENTED or ERROR_INTERNET_INVALID_OPTION, never
// silently. Not implemented: asynchronous mode, caching, FTP, automatic
// redirects (a 3xx answer is handed to the caller as it is), proxy
// auto-configuration, and honouring SECURITY_FLAG_IGNORE_CERT_DATE_INVALID
// alone (dates are then still checked; IGNORE_UNKNOWN_CA drops every chain
// check, dates included).
//
// Threads: no function starts a thread; every transfer runs on the caller's
// thread (libcurl's resolver may look names up on a helper thread of its
// own). Handles may be used from any thread, a request handle by one thread
// at a time; InternetCloseHandle from another thread cancels a blocked call.
//
// Proxies: INTERNET_OPEN_TYPE_PRECONFIG reads the proxy settings of the
// process environment at InternetOpenW (http_proxy, https_proxy, no_proxy,
// or their upper-case forms), as the system proxy configuration of these
// hosts.
#pragma once

#include <win32/windef.h>

#include <drav/export.h>

typedef void* HINTERNET;
typedef HINTERNET* LPHINTERNET;
typedef WORD INTERNET_PORT;

struct HTTP_VERSION_INFO {
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
};

struct INTERNET_BUFFERSW {
  DWORD dwStructSize;
  INTERNET_BUFFERSW* Next;
  LPCWSTR lpcszHeader;
  DWORD dwHeadersLength;
  DWORD dwHeadersTotal;
  LPVOID lpvBuffer;
  DWORD dwBufferLength;
  DWORD dwBufferTotal;
  DWORD dwOffsetLow;
  DWORD dwOffsetHigh;
};
typedef INTERNET_BUFFERSW* LPINTERNET_BUFFERSW;

// --- InternetOpen ------------------------------------------------------------
#define INTERNET_OPEN_TYPE_PRECONFIG 0
#define INTERNET_OPEN_TYPE_DIRECT 1
#define INTERNET_OPEN_TYPE_PROXY 3
#define INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY 4

// --- InternetConnect -----------------------------------------------------------
#define INTERNET_INVALID_PORT_NUMBER 0
#define INTERNET_DEFAULT_HTTP_PORT 80
#define INTERNET_DEFAULT_HTTPS_PORT 443
#define INTERNET_SERVICE_FTP 1
#define INTERNET_SERVICE_GOPHER 2
#define INTERNET_SERVICE_HTTP 3

// --- Open flags ------------------------------------------------------------------
#define INTERNET_FLAG_RELOAD 0x80000000u
#define INTERNET_FLAG_RAW_DATA 0x40000000u
#define INTERNET_FLAG_EXISTING_CONNECT 0x20000000u
#define INTERNET_FLAG_ASYNC 0x10000000u
#define INTERNET_FLAG_PASSIVE 0x08000000u
#define INTERNET_FLAG_NO_CACHE_WRITE 0x04000000u
#define INTERNET_FLAG_DONT_CACHE INTERNET_FLAG_NO_CACHE_WRITE
#define INTERNET_FLAG_MAKE_PERSISTENT 0x02000000u
#define INTERNET_FLAG_FROM_CACHE 0x01000000u
#define INTERNET_FLAG_OFFLINE INTERNET_FLAG_FROM_CACHE
#define INTERNET_FLAG_SECURE 0x00800000u
#define INTERNET_FLAG_KEEP_CONNECTION 0x00400000u
#define INTERNET_FLAG_NO_AUTO_REDIRECT 0x00200000u
#define INTERNET_FLAG_READ_PREFETCH 0x00100000u
#define INTERNET_FLAG_NO_COOKIES 0x00080000u
#define INTERNET_FLAG_NO_AUTH 0x00040000u
#define INTERNET_FLAG_CACHE_IF_NET_FAIL 0x00010000u
#define INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP 0x00008000u
#define INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS 0x00004000u
#define INTERNET_FLAG_IGNORE_CERT_DATE_INVALID 0x00002000u
#define INTERNET_FLAG_IGNORE_CERT_CN_INVALID 0x00001000u
#define INTERNET_FLAG_RESYNCHRONIZE 0x00000800u
#define INTERNET_FLAG_HYPERLINK 0x00000400u
#define INTERNET_FLAG_NO_UI 0x00000200u
#define INTERNET_FLAG_PRAGMA_NOCACHE 0x00000100u

// --- Security flags (INTERNET_OPTION_SECURITY_FLAGS) ------------------------------
#define SECURITY_FLAG_IGNORE_REVOCATION 0x00000080u
#define SECURITY_FLAG_IGNORE_UNKNOWN_CA 0x00000100u
#define SECURITY_FLAG_IGNORE_WRONG_USAGE 0x00000200u
#define SECURITY_FLAG_IGNORE_CERT_CN_INVALID 0x00001000u
#define SECURITY_FLAG_IGNORE_CERT_DATE_INVALID 0x00002000u
#define SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTPS 0x00004000u
#define SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTP 0x00008000u

// --- Options ---------------------------------------------------------------------
#define INTERNET_OPTION_CONNECT_TIMEOUT 2
#define INTERNET_OPTION_SEND_TIMEOUT 5
#define INTERNET_OPTION_CONTROL_SEND_TIMEOUT 5
#define INTERNET_OPTION_RECEIVE_TIMEOUT 6
#define INTERNET_OPTION_CONTROL_RECEIVE_TIMEOUT 6
#define INTERNET_OPTION_DATA_SEND_TIMEOUT 7
#define INTERNET_OPTION_DATA_RECEIVE_TIMEOUT 8
#define INTERNET_OPTION_USERNAME 28
#define INTERNET_OPTION_PASSWORD 29
#define INTERNET_OPTION_SECURITY_FLAGS 31
#define INTERNET_OPTION_PROXY_USERNAME 43
#define INTERNET_OPTION_PROXY_PASSWORD 44
#define INTERNET_OPTION_HTTP_VERSION 59
// Extensions of these hosts, outside WinINet's numbers (Windows refuses them
// with ERROR_INTERNET_INVALID_OPTION and keeps to its own certificate
// store): on a request handle, a PEM file of certificate authorities, or a
// folder of them named by their hashes, trusted beside the system's. Text
// options (wide, as every string option).
#define INTERNET_OPTION_DRAV_CA_FILE 0x44520001
#define INTERNET_OPTION_DRAV_CA_FOLDER 0x44520002
// Also outside WinINet's numbers, queried on a request handle after a send
// failed on TLS: the defect the TLS library named, in plain words ("the
// certificate's key is too weak", "no cipher in common", ...), as wide
// text; ERROR_INTERNET_INVALID_OPTION where it named none.
#define INTERNET_OPTION_DRAV_TLS_FAULT 0x44520003

// --- HttpAddRequestHeaders -------------------------------------------------------
#define HTTP_ADDREQ_INDEX_MASK 0x0000FFFFu
#define HTTP_ADDREQ_FLAGS_MASK 0xFFFF0000u
#define HTTP_ADDREQ_FLAG_ADD_IF_NEW 0x10000000u
#define HTTP_ADDREQ_FLAG_ADD 0x20000000u
#define HTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA 0x40000000u
#define HTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON 0x01000000u
#define HTTP_ADDREQ_FLAG_COALESCE HTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA
#define HTTP_ADDREQ_FLAG_REPLACE 0x80000000u

// --- HttpSendRequestEx -----------------------------------------------------------
#define HSR_ASYNC 0x00000001u
#define HSR_SYNC 0x00000004u
#define HSR_USE_CONTEXT 0x00000008u
#define HSR_INITIATE 0x00000008u
#define HSR_DOWNLOAD 0x00000010u
#define HSR_CHUNKED 0x00000020u

// --- HttpQueryInfo ---------------------------------------------------------------
#define HTTP_QUERY_CONTENT_TYPE 1
#define HTTP_QUERY_CONTENT_LENGTH 5
#define HTTP_QUERY_DATE 9
#define HTTP_QUERY_VERSION 18
#define HTTP_QUERY_STATUS_CODE 19
#define HTTP_QUERY_STATUS_TEXT 20
#define HTTP_QUERY_RAW_HEADERS 21
#define HTTP_QUERY_RAW_HEADERS_CRLF 22
#define HTTP_QUERY_CONNECTION 23
#define HTTP_QUERY_AUTHORIZATION 28
#define HTTP_QUERY_CONTENT_ENCODING 29
#define HTTP_QUERY_LOCATION 33
#define HTTP_QUERY_SERVER 37
#define HTTP_QUERY_USER_AGENT 39
#define HTTP_QUERY_WWW_AUTHENTICATE 40
#define HTTP_QUERY_PROXY_AUTHENTICATE 41
#define HTTP_QUERY_SET_COOKIE 43
#define HTTP_QUERY_COOKIE 44
#define HTTP_QUERY_HOST 55
#define HTTP_QUERY_TRANSFER_ENCODING 63
#define HTTP_QUERY_CUSTOM 65535
#define HTTP_QUERY_MODIFIER_FLAGS_MASK 0xF8000000u
#define HTTP_QUERY_HEADER_MASK 0x0000FFFFu
#define HTTP_QUERY_FLAG_REQUEST_HEADERS 0x80000000u
#define HTTP_QUERY_FLAG_SYSTEMTIME 0x40000000u
#define HTTP_QUERY_FLAG_NUMBER 0x20000000u
#define HTTP_QUERY_FLAG_COALESCE 0x10000000u
#define HTTP_QUERY_FLAG_NUMBER64 0x08000000u

// --- HTTP status codes -----------------------------------------------------------
#define HTTP_STATUS_OK 200
#define HTTP_STATUS_MOVED 301
#define HTTP_STATUS_REDIRECT 302
#define HTTP_STATUS_DENIED 401
#define HTTP_STATUS_NOT_FOUND 404
#define HTTP_STATUS_PROXY_AUTH_REQ 407
#define HTTP_STATUS_SERVER_ERROR 500

// --- Error codes (GetLastError) --------------------------------------------------
#define INTERNET_ERROR_BASE 12000
#define ERROR_INTERNET_OUT_OF_HANDLES 12001L
#define ERROR_INTERNET_TIMEOUT 12002L
#define ERROR_INTERNET_INTERNAL_ERROR 12004L
#define ERROR_INTERNET_INVALID_URL 12005L
#define ERROR_INTERNET_UNRECOGNIZED_SCHEME 12006L
#define ERROR_INTERNET_NAME_NOT_RESOLVED 12007L
#define ERROR_INTERNET_INVALID_OPTION 12009L
#define ERROR_INTERNET_BAD_OPTION_LENGTH 12010L
#define ERROR_INTERNET_OPTION_NOT_SETTABLE 12011L
#define ERROR_INTERNET_OPERATION_CANCELLED 12017L
#define ERROR_INTERNET_INCORRECT_HANDLE_TYPE 12018L
#define ERROR_INTERNET_INCORRECT_HANDLE_STATE 12019L
#define ERROR_INTERNET_CANNOT_CONNECT 12029L
#define ERROR_INTERNET_CONNECTION_ABORTED 12030L
#define ERROR_INTERNET_CONNECTION_RESET 12031L
#define ERROR_INTERNET_FORCE_RETRY 12032L
#define ERROR_INTERNET_INVALID_PROXY_REQUEST 12033L
#define ERROR_INTERNET_SEC_CERT_DATE_INVALID 12037L
#define ERROR_INTERNET_SEC_CERT_CN_INVALID 12038L
#define ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED 12044L
#define ERROR_INTERNET_INVALID_CA 12045L
#define ERROR_INTERNET_SEC_CERT_ERRORS 12055L
#define ERROR_INTERNET_SEC_CERT_REV_FAILED 12057L
#define ERROR_HTTP_HEADER_NOT_FOUND 12150L
#define ERROR_HTTP_INVALID_SERVER_RESPONSE 12152L
#define ERROR_HTTP_INVALID_HEADER 12153L
#define ERROR_HTTP_INVALID_QUERY_REQUEST 12154L
#define ERROR_HTTP_HEADER_ALREADY_EXISTS 12155L
#define ERROR_INTERNET_SECURITY_CHANNEL_ERROR 12157L
#define ERROR_INTERNET_SEC_CERT_WEAK_SIGNATURE 12062L
#define ERROR_INTERNET_SEC_INVALID_CERT 12169L

// --- Handles -----------------------------------------------------------------------
// Every HINTERNET returned is owned by the caller until InternetCloseHandle.
// Closing a parent leaves its children usable (each keeps what it needs).

DRAV_EXPORT HINTERNET WINAPI InternetOpenW(LPCWSTR agent, DWORD accessType, LPCWSTR proxy, LPCWSTR proxyBypass,
                                           DWORD flags);
// Connects nothing: failures to reach the server show at the first send.
DRAV_EXPORT HINTERNET WINAPI InternetConnectW(HINTERNET session, LPCWSTR serverName, INTERNET_PORT serverPort,
                                              LPCWSTR userName, LPCWSTR password, DWORD service, DWORD flags,
                                              DWORD_PTR context);
DRAV_EXPORT HINTERNET WINAPI HttpOpenRequestW(HINTERNET connection, LPCWSTR verb, LPCWSTR objectName,
                                              LPCWSTR version, LPCWSTR referrer, LPCWSTR* acceptTypes,
                                              DWORD flags, DWORD_PTR context);
DRAV_EXPORT BOOL WINAPI InternetCloseHandle(HINTERNET handle);
// ERROR_SUCCESS: there is no dial-up to attempt on these hosts.
DRAV_EXPORT DWORD WINAPI InternetAttemptConnect(DWORD reserved);
// `buffer` is read during the call only. A NULL handle sets process-wide
// defaults (HTTP version, time-outs) for handles opened later.
DRAV_EXPORT BOOL WINAPI InternetSetOptionW(HINTERNET handle, DWORD option, LPVOID buffer, DWORD bufferLength);
// The time-outs only (the DWORD in force on a handle, or the process-wide
// default for a NULL handle); *bufferLength is in bytes.
DRAV_EXPORT BOOL WINAPI InternetQueryOptionW(HINTERNET handle, DWORD option, LPVOID buffer, LPDWORD bufferLength);

// --- Requests ------------------------------------------------------------------------
// headersLength (DWORD)-1 means NUL-terminated; headers are "Name: value"
// lines separated by CR LF.
DRAV_EXPORT BOOL WINAPI HttpAddRequestHeadersW(HINTERNET request, LPCWSTR headers, DWORD headersLength,
                                               DWORD modifiers);
// Sends the request with `optional` as its whole body and waits for the
// answer's head. A 401 or 407 is resolved by itself when credentials are set
// and the server offers Basic or NTLM; any status is a success here.
DRAV_EXPORT BOOL WINAPI HttpSendRequestW(HINTERNET request, LPCWSTR headers, DWORD headersLength, LPVOID optional,
                                         DWORD optionalLength);
// Starts a request whose body (buffersIn->dwBufferTotal bytes, declared
// up front) follows through InternetWriteFile; each write is on the wire
// before it returns and nothing is held whole.
DRAV_EXPORT BOOL WINAPI HttpSendRequestExW(HINTERNET request, LPINTERNET_BUFFERSW buffersIn,
                                           LPINTERNET_BUFFERSW buffersOut, DWORD flags, DWORD_PTR context);
DRAV_EXPORT BOOL WINAPI InternetWriteFile(HINTERNET file, LPCVOID buffer, DWORD numberOfBytesToWrite,
                                          LPDWORD numberOfBytesWritten);
// Waits for the answer's head. FALSE with ERROR_INTERNET_FORCE_RETRY when
// the server asked for credentials that are set: send the request again.
DRAV_EXPORT BOOL WINAPI HttpEndRequestW(HINTERNET request, LPINTERNET_BUFFERSW buffersOut, DWORD flags,
                                        DWORD_PTR context);
// Hands back what has arrived (at least one byte unless the body ended);
// TRUE with 0 bytes read at the end of the body.
DRAV_EXPORT BOOL WINAPI InternetReadFile(HINTERNET file, LPVOID buffer, DWORD numberOfBytesToRead,
                                         LPDWORD numberOfBytesRead);
// bufferLength is in bytes; index (may be null) picks among repeated headers.
DRAV_EXPORT BOOL WINAPI HttpQueryInfoW(HINTERNET request, DWORD infoLevel, LPVOID buffer, LPDWORD bufferLength,
                                       LPDWORD index);

// --- Cookies -----------------------------------------------------------------------
// The store lives in the process only; requests to matching URLs send its
// cookies and Set-Cookie answers land in it.
DRAV_EXPORT BOOL WINAPI InternetSetCookieW(LPCWSTR url, LPCWSTR cookieName, LPCWSTR cookieData);
// `size` is in characters and counts the terminating NUL; with a null data
// buffer it receives the size needed in bytes. FALSE with ERROR_NO_MORE_ITEMS
// when no cookie matches.
DRAV_EXPORT BOOL WINAPI InternetGetCookieW(LPCWSTR url, LPCWSTR cookieName, LPWSTR cookieData, LPDWORD size);
