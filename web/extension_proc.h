// The request entry of the extension: reads one request from its control block, reloads the
// settings, dispatches to a page, and sends the answer.
//
// GET takes the query string; a multipart POST takes the URL's query as its command and reads the
// body through the multipart reader; any other POST reads its whole body (at most kFormBodyMax
// bytes, else 413). Other methods answer 501. Parameter faults answer 400, an unknown command or
// a page that has not landed 501, a bad multipart body 400, a failing page 500; every error page
// escapes the request text it shows. Upload files of a request that fails are removed.
//
// Returns KALDOR_STATUS_SUCCESS, or KALDOR_STATUS_ERROR with block->status 500 when the answer
// could not be sent or there is no extension object. Thread-safe: each call has its own state.
#pragma once

#include <cstdint>

#include "web/extension_server.h"
#include "web/isapi.h"
#include "web/pages.h"

namespace web {

uint32_t RunExtensionRequest(CExtensionServer* server, KaldorControlBlock* block,
                             const CPageTable& pages);

}  // namespace web
