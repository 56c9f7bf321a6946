// How a failed transfer reads as a WinINet last-error code, row by row.
// Internal to our WinINet, so not built against the system's.
#ifndef _WIN32

#include <win32/wininet.h>
#include <win32/wininet_errors.h>

#include <gtest/gtest.h>

namespace {

using drav_wininet::errorFromCurl;

// A handle that never ran: no socket error, no certificate check result.
class ErrorFromCurl : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_NE(easy, nullptr); }
  void TearDown() override { curl_easy_cleanup(easy); }
  CURL* easy = curl_easy_init();
};

TEST_F(ErrorFromCurl, EachFailureHasItsCode) {
  struct Row {
    CURLcode code;
    DWORD expected;
  };
  for (const Row row : {Row{CURLE_OK, ERROR_SUCCESS},
                        Row{CURLE_UNSUPPORTED_PROTOCOL, ERROR_INTERNET_UNRECOGNIZED_SCHEME},
                        Row{CURLE_URL_MALFORMAT, ERROR_INTERNET_INVALID_URL},
                        Row{CURLE_COULDNT_RESOLVE_PROXY, ERROR_INTERNET_NAME_NOT_RESOLVED},
                        Row{CURLE_COULDNT_RESOLVE_HOST, ERROR_INTERNET_NAME_NOT_RESOLVED},
                        Row{CURLE_COULDNT_CONNECT, ERROR_INTERNET_CANNOT_CONNECT},
                        Row{CURLE_OPERATION_TIMEDOUT, ERROR_INTERNET_TIMEOUT},
                        Row{CURLE_OUT_OF_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
                        Row{CURLE_ABORTED_BY_CALLBACK, ERROR_INTERNET_OPERATION_CANCELLED},
                        Row{CURLE_SEND_FAIL_REWIND, ERROR_INTERNET_FORCE_RETRY},
                        // The chain checked out (no result): it was the name.
                        Row{CURLE_PEER_FAILED_VERIFICATION, ERROR_INTERNET_SEC_CERT_CN_INVALID},
                        Row{CURLE_SSL_CERTPROBLEM, ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED},
                        Row{CURLE_SSL_CACERT_BADFILE, ERROR_INTERNET_SEC_CERT_ERRORS},
                        Row{CURLE_SSL_CONNECT_ERROR, ERROR_INTERNET_SECURITY_CHANNEL_ERROR},
                        Row{CURLE_SSL_CIPHER, ERROR_INTERNET_SECURITY_CHANNEL_ERROR},
                        Row{CURLE_SSL_ENGINE_INITFAILED, ERROR_INTERNET_SECURITY_CHANNEL_ERROR},
                        // No reset on the socket: the peer went away otherwise.
                        Row{CURLE_SEND_ERROR, ERROR_INTERNET_CONNECTION_ABORTED},
                        Row{CURLE_RECV_ERROR, ERROR_INTERNET_CONNECTION_ABORTED},
                        Row{CURLE_PARTIAL_FILE, ERROR_INTERNET_CONNECTION_ABORTED},
                        Row{CURLE_GOT_NOTHING, ERROR_HTTP_INVALID_SERVER_RESPONSE},
                        Row{CURLE_WEIRD_SERVER_REPLY, ERROR_HTTP_INVALID_SERVER_RESPONSE},
                        Row{CURLE_HTTP2, ERROR_HTTP_INVALID_SERVER_RESPONSE},
                        Row{CURLE_BAD_CONTENT_ENCODING, ERROR_HTTP_INVALID_SERVER_RESPONSE},
                        Row{CURLE_RECURSIVE_API_CALL, ERROR_INTERNET_INTERNAL_ERROR},
                        Row{CURLE_FILESIZE_EXCEEDED, ERROR_INTERNET_INTERNAL_ERROR}})
    EXPECT_EQ(errorFromCurl(row.code, easy, "", false), row.expected) << "curl code " << row.code;
  EXPECT_EQ(errorFromCurl(CURLE_PEER_FAILED_VERIFICATION, easy, nullptr, false),
            static_cast<DWORD>(ERROR_INTERNET_SEC_CERT_CN_INVALID))
      << "no error text at all";
}

TEST_F(ErrorFromCurl, OnlyTheServersRefusalForWantOfACertificateIsClientAuthCertNeeded) {
  const char* required = "OpenSSL SSL_read: error:0A00045C:SSL routines::tlsv13 alert certificate required";
  const char* bad = "error:0A000412:SSL routines::sslv3 alert bad certificate";
  const char* handshake = "OpenSSL/3.0: error:0A000410:SSL routines::sslv3 alert handshake failure";
  const char* reset = "Recv failure: Connection reset by peer";
  EXPECT_EQ(errorFromCurl(CURLE_RECV_ERROR, easy, required, false), static_cast<DWORD>(ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED));
  EXPECT_EQ(errorFromCurl(CURLE_SSL_CONNECT_ERROR, easy, bad, false),
            static_cast<DWORD>(ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED));
  EXPECT_EQ(errorFromCurl(CURLE_SSL_CONNECT_ERROR, easy, handshake, true),
            static_cast<DWORD>(ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED));
  EXPECT_EQ(errorFromCurl(CURLE_SSL_CONNECT_ERROR, easy, handshake, false),
            static_cast<DWORD>(ERROR_INTERNET_SECURITY_CHANNEL_ERROR))
      << "a handshake failure without a certificate request is the channel's";
  EXPECT_EQ(errorFromCurl(CURLE_RECV_ERROR, easy, reset, true), static_cast<DWORD>(ERROR_INTERNET_CONNECTION_ABORTED))
      << "after a certificate request, other failures stay themselves";
}

}  // namespace

#endif  // _WIN32
