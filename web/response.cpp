#include "web/response.h"

#include <cstdio>

#include "web/template/variable_table.h"
#include "web/url_decoder.h"

namespace web {
namespace {

struct Reason {
  int status;
  const char* text;
};

// RFC 1945 / RFC 2616 reason phrases of the statuses the extension sends.
constexpr Reason kReasons[] = {
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {204, "No Content"},
    {301, "Moved Permanently"},
    {302, "Moved Temporarily"},
    {304, "Not Modified"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {413, "Request Entity Too Large"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
};

// Request text echoed on an error page is cut to this many bytes before it is escaped.
constexpr size_t kEchoMax = 512;

}  // namespace

void CResponse::StartHtml() {
  if (htmlStarted_) return;
  htmlStarted_ = true;
  headers_ += "Content-Type: text/html\r\n";
}

void CResponse::AddHeader(std::string_view line) {
  headers_.append(line);
  headers_ += "\r\n";
}

void CResponse::WriteEscaped(std::string_view text) { body_ += EscapeRequestText(text); }

void CResponse::PageHead(std::string_view title) {
  body_ += "<html><head><title>";
  WriteEscaped(title);
  body_ += "</title></head>\n<body>";
}

void CResponse::PageEnd() { body_ += "</body></html>"; }

const char* CResponse::ReasonPhrase(int status) {
  for (const Reason& r : kReasons) {
    if (r.status == status) return r.text;
  }
  return nullptr;
}

std::string CResponse::StatusLine(int status) {
  const char* reason = ReasonPhrase(status);
  if (reason == nullptr) return "200 OK";
  return std::to_string(status) + " " + reason;
}

void CResponse::ErrorPage(int status, std::string_view requestText) {
  body_.clear();
  StartHtml();
  std::string echo = EscapeRequestText(requestText.substr(0, kEchoMax));
  char head[96];
  std::snprintf(head, sizeof head, "<HEAD><TITLE>HTTP Error %d</TITLE></HEAD>", status);
  body_ += head;
  switch (status) {
    case 400:
      body_ +=
          "<BODY><H1>BAD REQUEST</H1><P>Your client sent a request that this server didn't "
          "understand.<br>Request: " +
          echo + "\r\n";
      break;
    case 401:
      body_ +=
          "<BODY><H1>AUTH REQUIRED</H1><P>Browser not authentication-capable or "
          "authentication failed.</BODY>\r\n";
      break;
    case 403:
      body_ +=
          "<BODY><H1>FORBIDDEN</H1><P>Your client does not have permission to get this URL "
          "from the server.</BODY>\r\n";
      break;
    case 404:
      body_ +=
          "<BODY><H1>NOT FOUND</H1><P>The requested URL was not found on this "
          "server.</BODY>\r\n";
      break;
    case 500:
      body_ +=
          "<BODY><H1>SERVER ERROR</H1>The server encountered an internal error or "
          "misconfiguration and was unable to complete your request.</BODY>\r\n";
      break;
    case 501:
      body_ += "<BODY><H1>NOT IMPLEMENTED</H1>The server is unable to perform the method <b>" +
               echo + "</b> at this time.</BODY>\r\n";
      break;
    default: {
      char text[96];
      std::snprintf(text, sizeof text,
                    "<BODY><H1>HTTP Error %d: No message available</H1></BODY>\r\n", status);
      body_ += text;
    }
  }
}

}  // namespace web
