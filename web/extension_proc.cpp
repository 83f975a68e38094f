#include "web/extension_proc.h"

#include <algorithm>
#include <memory>
#include <new>
#include <set>
#include <string>

#include "platform/fs.h"
#include "platform/text.h"
#include "web/multipart_reader.h"
#include "web/upload_files.h"
#include "web/url_decoder.h"
#include "web/web_results.h"

namespace web {
namespace {

constexpr char kMultipartType[] = "multipart/form-data";  // 19 characters, without case

// What the reading step found in the request.
struct RequestText {
  bool isGet = false;
  bool multipart = false;
  std::string query;    // GET: the query string; POST: the body (multipart: its delivered part)
  std::string command;  // POST: the URL's query string
};

std::string Str(const char* s) { return s != nullptr ? std::string(s) : std::string(); }

int ReadFromClient(KaldorControlBlock* block, char* buf, size_t cap, size_t* got) {
  *got = 0;
  if (block->ReadClient == nullptr) return -1;
  uint32_t size = static_cast<uint32_t>(std::min<size_t>(cap, UINT32_MAX));
  if (block->ReadClient(block->connection, buf, &size) == 0) return -1;
  *got = size;
  return 0;
}

// The whole body of a URL-encoded POST: the delivered part, then reads until the total is reached
// or a read delivers nothing.
int ReadWholeBody(KaldorControlBlock* block, std::string* body) {
  if (block->totalBytes != KALDOR_LENGTH_UNKNOWN && block->totalBytes > kFormBodyMax) {
    return kWebTooLarge;
  }
  body->assign(reinterpret_cast<const char*>(block->data), block->availableBytes);
  char buf[16384];
  while (body->size() < block->totalBytes) {
    size_t got = 0;
    if (ReadFromClient(block, buf, sizeof buf, &got) != 0) return kWebReadFailed;
    if (got == 0) break;
    body->append(buf, got);
    if (body->size() > kFormBodyMax) return kWebTooLarge;
  }
  return kWebOk;
}

int StatusOf(int rc) {
  switch (rc) {
    case kWebMissingParam:
    case kWebParamCount:
    case kWebParamFormat:
    case kWebBadBody:
      return 400;
    case kWebUnknownCommand:
      return 501;
    case kWebNoStream:
      return 204;
    case kWebTooLarge:
      return 413;
    default:
      return 500;
  }
}

class CDispatch {
 public:
  CDispatch(CExtensionServer* server, KaldorControlBlock* block, const CPageTable& pages,
            KaldorSettings settings, CResponse* response)
      : server_(*server),
        block_(block),
        pages_(pages),
        settings_(std::move(settings)),
        response_(response),
        uploads_(server->Paths().temp) {}

  int Run(const RequestText& in);
  void DiscardUploads() { uploads_.Discard(); }

 private:
  int PostMultipart(const RequestText& in);
  int PostUrlEncoded(const RequestText& in);
  int Table(std::string_view source, std::string_view list);
  int CallText(TextPage page, std::string_view text);
  int CallForm(FormPage page, CFormVariables& form, std::string_view text);
  // Removes the upload files no variable names: a later part of the same name replaced them, and
  // no page would ever see them to remove them.
  void RemoveReplacedUploads(const CFormVariables& form);

  CExtensionServer& server_;
  KaldorControlBlock* block_;
  const CPageTable& pages_;
  KaldorSettings settings_;
  CResponse* response_;
  CUploadFiles uploads_;
};

int CDispatch::Run(const RequestText& in) {
  if (!in.isGet && !in.command.empty()) {
    return in.multipart ? PostMultipart(in) : PostUrlEncoded(in);
  }
  if (in.isGet && in.query.starts_with("ShowForm")) return CallText(pages_.showForm, in.query);
  if (in.isGet && in.query.starts_with("GetPart")) return CallText(pages_.getPart, in.query);
  if (in.isGet) {
    std::string_view rest;
    std::string command;
    SplitCommand(in.query, &command, &rest);
    return Table(command, rest);
  }
  return Table("", in.query);  // a POST without a command: "Default" with the body
}

int CDispatch::PostMultipart(const RequestText& in) {
  std::string command;
  std::string_view unused;
  SplitCommand(in.command, &command, &unused);
  FormPage page = nullptr;
  if (platform::EqualNoCase(command, "Mailbox")) {
    page = pages_.mailbox;
  } else if (platform::EqualNoCase(command, "Pop3Acc")) {
    page = pages_.pop3Acc;
  } else if (platform::EqualNoCase(command, "ProcessForm")) {
    page = pages_.processForm;
  } else {
    return kWebFailed;  // no other command takes a multipart body: 500
  }
  uint64_t delivered = block_->availableBytes;
  MultipartInput input;
  input.delivered = in.query;
  input.remaining = block_->totalBytes == KALDOR_LENGTH_UNKNOWN || block_->totalBytes < delivered
                        ? (block_->totalBytes == KALDOR_LENGTH_UNKNOWN ? UINT64_MAX : 0)
                        : block_->totalBytes - delivered;
  input.read = [this](char* buf, size_t cap, size_t* got) {
    return ReadFromClient(block_, buf, cap, got);
  };
  input.contentType = block_->contentType != nullptr ? block_->contentType : "";
  CFormVariables form;
  int rc = ReadMultipart(input, &uploads_, &form);
  if (rc != kWebOk) return rc;
  RemoveReplacedUploads(form);
  return CallForm(page, form, {});
}

int CDispatch::PostUrlEncoded(const RequestText& in) {
  std::string command;
  std::string_view unused;
  SplitCommand(in.command, &command, &unused);
  if (platform::EqualNoCase(command, "Mailbox")) {
    CFormVariables form;
    DecodeUrlEncoded(in.query, &form);
    return CallForm(pages_.mailbox, form, in.query);
  }
  if (platform::EqualNoCase(command, "SendForm")) return CallText(pages_.sendForm, in.query);
  return Table(command, in.query);
}

int CDispatch::Table(std::string_view command, std::string_view list) {
  const CommandEntry* entry = FindCommand(pages_, command.empty() ? "Default" : command);
  if (entry == nullptr) return kWebUnknownCommand;
  CCommandParams params;
  int rc = BindParameters(entry->params, entry->count, list, &params);
  if (rc != kWebOk) return rc;
  if (entry->page == nullptr) return kWebUnknownCommand;
  std::unique_ptr<CWebRequest> request;
  try {
    request = std::make_unique<CWebRequest>(block_, server_, settings_, response_);
  } catch (const std::bad_alloc&) {
    response_->StartHtml();
    response_->PageHead(kDefaultTitle);
    response_->Write("Not enough memory.");
    response_->PageEnd();
    return kWebOk;
  }
  response_->StartHtml();
  return entry->page(*request, params);
}

int CDispatch::CallText(TextPage page, std::string_view text) {
  if (page == nullptr) return kWebUnknownCommand;
  CWebRequest request(block_, server_, settings_, response_);
  return page(request, text);
}

void CDispatch::RemoveReplacedUploads(const CFormVariables& form) {
  std::set<std::string> named;
  for (size_t i = 0; i < form.Count(); ++i) {
    if (!form.IsUploadAt(i)) continue;
    const std::string& value = form.ValueAt(i);
    named.insert(value.substr(0, value.find('\0')));
  }
  for (const std::string& path : uploads_.Made()) {
    if (named.count(path) == 0) platform::RemoveFile(path);
  }
}

int CDispatch::CallForm(FormPage page, CFormVariables& form, std::string_view text) {
  if (page == nullptr) return kWebUnknownCommand;
  CWebRequest request(block_, server_, settings_, response_);
  return page(request, form, text);
}

// Reads the method, query and body. kWebOk, or a failure with its status already set.
int ReadRequest(KaldorControlBlock* block, RequestText* in) {
  std::string method = Str(block->method);
  std::string contentType = Str(block->contentType);
  in->multipart = platform::StartsWithNoCase(contentType, kMultipartType);
  if (platform::EqualNoCase(method, "GET")) {
    in->isGet = true;
    in->query = Str(block->queryString);
  } else if (platform::EqualNoCase(method, "POST")) {
    in->command = Str(block->queryString);
    if (in->multipart) {
      in->query.assign(reinterpret_cast<const char*>(block->data), block->availableBytes);
    } else {
      int rc = ReadWholeBody(block, &in->query);
      if (rc != kWebOk) {
        block->status = rc == kWebTooLarge ? 413 : 500;
        return rc;
      }
    }
  } else {
    block->status = 501;
    in->query = method;
    return kWebUnknownCommand;
  }
  if (!in->multipart) {
    while (!in->query.empty() &&
           (in->query.back() == ' ' || in->query.back() == '\r' || in->query.back() == '\n')) {
      in->query.pop_back();
    }
  }
  return kWebOk;
}

int SendResponse(KaldorControlBlock* block, const CResponse& response, int status) {
  if (!response.SendHeaders()) return kWebOk;
  if (block->SendResponseHeader == nullptr || block->WriteClient == nullptr) return kWebFailed;
  std::string statusLine = CResponse::StatusLine(status);
  if (block->SendResponseHeader(block->connection, statusLine.c_str(),
                                response.Headers().c_str()) == 0) {
    return kWebFailed;
  }
  const std::string& body = response.Body();
  size_t sent = 0;
  while (sent < body.size()) {
    uint32_t size = static_cast<uint32_t>(std::min<size_t>(body.size() - sent, 1u << 30));
    if (block->WriteClient(block->connection, body.data() + sent, &size) == 0 || size == 0) {
      return kWebFailed;
    }
    sent += size;
  }
  return kWebOk;
}

}  // namespace

uint32_t RunExtensionRequest(CExtensionServer* server, KaldorControlBlock* block,
                             const CPageTable& pages) {
  if (block == nullptr) return KALDOR_STATUS_ERROR;
  if (server == nullptr) {
    block->status = 500;
    return KALDOR_STATUS_ERROR;
  }
  block->status = 0;
  CResponse response;
  RequestText in;
  int rc = ReadRequest(block, &in);
  if (rc == kWebOk) {
    KaldorSettings settings = server->ReloadSettings();
    block->status = 200;
    CDispatch dispatch(server, block, pages, std::move(settings), &response);
    try {
      rc = dispatch.Run(in);
    } catch (...) {
      rc = kWebFailed;  // a page that throws is a server error, never a crash of the host
    }
    if (rc != kWebOk) {
      dispatch.DiscardUploads();
      if (block->status == 200) block->status = static_cast<uint32_t>(StatusOf(rc));
    }
  }
  if (rc != kWebOk) {
    // The request text the error page shows (escaped there): the query, else the path.
    std::string shown = in.isGet || in.command.empty() ? in.query : in.command;
    if (shown.empty()) shown = Str(block->pathInfo);
    response.ErrorPage(static_cast<int>(block->status), shown);
  }
  if (SendResponse(block, response, static_cast<int>(block->status)) != kWebOk) {
    block->status = 500;
    return KALDOR_STATUS_ERROR;
  }
  return KALDOR_STATUS_SUCCESS;
}

}  // namespace web
