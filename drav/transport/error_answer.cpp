#include <drav/transport/error_answer.h>

#include <drav/common/log_field.h>
#include <drav/platform/glossa.h>
#include <drav/platform/win32.h>
#include <drav/transport/bridge_proxy.h>
#include <drav/transport/failure_text.h>
#include <drav/transport/http_request.h>
#include <drav/transport/wininet_text.h>

#include <algorithm>
#include <cctype>
#include <vector>

namespace {

using DRAV::detail::escapeShownText;

// The most of a status text or a page's title a message shows.
constexpr std::size_t kShownHeading = 160;

// A response header's text; empty when it is not there. `name` is a
// header's name, or null for `level` alone.
std::string queryText(HINTERNET request, DWORD level, const char* name) {
  std::vector<WCHAR> buffer(256);
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(WCHAR));
    if (name) {
      const DRAV::detail::WideText wide(name);
      std::copy(wide.c_str(), wide.c_str() + wide.length() + 1, buffer.begin());
    }
    if (HttpQueryInfoW(request, level, buffer.data(), &bytes, nullptr))
      return Glossa::utf16ToUtf8(reinterpret_cast<const unsigned short*>(buffer.data()), bytes / sizeof(WCHAR));
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes > 65536) return "";
    buffer.resize(bytes / sizeof(WCHAR) + 1);
  }
  return "";
}

bool equalsNoCase(char a, char b) {
  return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

std::size_t findNoCase(const std::string& text, const std::string& word, std::size_t from = 0) {
  const auto at = std::search(text.begin() + static_cast<std::ptrdiff_t>(std::min(from, text.size())), text.end(),
                              word.begin(), word.end(), equalsNoCase);
  return at == text.end() ? std::string::npos : static_cast<std::size_t>(at - text.begin());
}

// A page is markup: its content type says so, or it opens with a tag.
bool isPage(const std::string& contentType, const std::string& body) {
  if (findNoCase(contentType, "html") != std::string::npos) return true;
  const std::size_t first = body.find_first_not_of(" \t\r\n");
  return first != std::string::npos && body[first] == '<';
}

// The text of the page's <title>, its blanks and line ends made single
// spaces; empty without one.
std::string titleOf(const std::string& page) {
  const std::size_t open = findNoCase(page, "<title");
  const std::size_t start = open == std::string::npos ? open : page.find('>', open);
  const std::size_t end = start == std::string::npos ? start : findNoCase(page, "</title", start);
  if (end == std::string::npos) return "";
  std::string title;
  for (std::size_t i = start + 1; i < end; ++i) {
    const bool blank = page[i] == ' ' || page[i] == '\t' || page[i] == '\r' || page[i] == '\n';
    if (!blank) title += page[i];
    else if (!title.empty() && title.back() != ' ') title += ' ';
  }
  if (!title.empty() && title.back() == ' ') title.pop_back();
  return title;
}

}  // namespace

DRAVErrorAnswer DRAVErrorAnswer::read(DRAVHttpRequest& request, std::size_t limit, unsigned long readSize) {
  DRAVErrorAnswer answer;
  HINTERNET handle = request.getRequestHandle();
  answer.httpCode = request.getCallStatus().httpCode();
  const std::string version = queryText(handle, HTTP_QUERY_VERSION, nullptr);
  const std::string reason = queryText(handle, HTTP_QUERY_STATUS_TEXT, nullptr);
  answer.statusLine = (version.empty() ? std::string("HTTP") : version) + " " + std::to_string(answer.httpCode) +
                      (reason.empty() ? std::string() : " " + reason);
  answer.server = DRAV::detail::endpointText(request.getProxy()->url());
  answer.fromHost = !queryText(handle, HTTP_QUERY_CUSTOM, kHostHeader).empty();
  answer.contentType = queryText(handle, HTTP_QUERY_CONTENT_TYPE, nullptr);
  const std::size_t wanted = limit + kReadBeyondLimit;
  char* piece = nullptr;
  for (unsigned long n; answer.body.size() < wanted && (n = request.receive(piece, readSize)) > 0;)
    answer.body.append(piece, std::min<std::size_t>(n, wanted - answer.body.size()));
  ::operator delete(piece);  // as the transport allocated it
  answer.body.erase(answer.body.find_last_not_of("\r\n") + 1);
  return answer;
}

std::string DRAVErrorAnswer::describe(std::size_t shown) const {
  // Escaped and cut after a whole character.
  const std::string text = escapeShownText(body, shown);
  if (fromHost) return "the host answered HTTP " + std::to_string(httpCode) + (text.empty() ? "" : ": " + text);
  std::string line = "the server at " + server + " answered \"" + escapeShownText(statusLine, kShownHeading) + "\"";
  if (isPage(contentType, body)) {
    const std::string title = titleOf(body);
    return line + (title.empty() ? std::string(" with a page without a title")
                                 : " with a page titled \"" + escapeShownText(title, kShownHeading) + "\"");
  }
  return line + (text.empty() ? "" : ": " + text);
}
