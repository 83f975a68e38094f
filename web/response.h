// CResponse: the answer to one request, assembled in memory and sent at the end.
//
// The header block gets "Content-Type: text/html" once however often an HTML response is started.
// The status line is "<status> <reason phrase>"; an unknown status is sent as "200 OK". Error
// pages carry only escaped request text. A page that sends its raw answer itself switches header
// sending off, and then nothing of the stream is sent. Not thread-safe: one per request.
#pragma once

#include <string>
#include <string_view>

namespace web {

class CResponse {
 public:
  CResponse() { body_.reserve(4096); }

  // Adds the HTML Content-Type header line, once per response.
  void StartHtml();
  // Adds a header line (without its line end), e.g. "Location: ..." or "Set-Cookie: ...".
  void AddHeader(std::string_view line);
  void Write(std::string_view text) { body_.append(text); }
  // Writes a text taken from a request, HTML-escaped.
  void WriteEscaped(std::string_view text);
  // "<html><head><title>" title "</title></head>\n<body>" and "</body></html>".
  void PageHead(std::string_view title);
  void PageEnd();
  // Replaces whatever was written by the error page of `status`; `requestText` is escaped.
  void ErrorPage(int status, std::string_view requestText);

  void SetSendHeaders(bool send) { sendHeaders_ = send; }
  bool SendHeaders() const { return sendHeaders_; }
  const std::string& Headers() const { return headers_; }
  const std::string& Body() const { return body_; }

  static const char* ReasonPhrase(int status);  // nullptr for an unknown status
  static std::string StatusLine(int status);

 private:
  std::string headers_;
  std::string body_;
  bool htmlStarted_ = false;
  bool sendHeaders_ = true;
};

}  // namespace web
