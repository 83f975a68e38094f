// Result codes of the web extension's modules, and the limits of its request parsing.
//
// 0 is success; every failure is negative. The dispatch maps the parameter failures to status
// 400, an unknown command to 501, a missing output stream to 204, a body over its limit to 413
// and everything else to 500.
#pragma once

#include <cstddef>
#include <cstdint>

namespace web {

constexpr int kWebOk = 0;
constexpr int kWebFailed = -1;
constexpr int kWebMissingParam = -1301;    // a required parameter is not given
constexpr int kWebParamCount = -1302;      // more positional values than parameters
constexpr int kWebParamFormat = -1303;     // bad integer, unknown name, or a bad default
constexpr int kWebUnknownCommand = -1304;  // no such command (or its page has not landed)
constexpr int kWebNoStream = -1305;        // nothing to write the answer into
constexpr int kWebTooLarge = -1306;        // a body over the extension's limit
constexpr int kWebReadFailed = -1307;      // the client's body could not be read

// Names of form fields are cut to this many characters.
constexpr size_t kFormNameMax = 127;
// A URL-encoded POST body is read whole into memory: it may not exceed this many bytes.
constexpr uint64_t kFormBodyMax = 1024 * 1024;
// The multipart reader's line buffer: at least this size, whatever the host delivered first.
constexpr size_t kMultipartBufferMin = 64 * 1024;
// Each multipart part keeps at most this many bytes of text content in memory; file parts go to
// disk and are bounded by the host's body limit.
constexpr size_t kPartMemoryMax = 1024 * 1024;
// At most this many parts in one multipart body.
constexpr size_t kMultipartPartsMax = 1000;
// Server variables are read once per request into a buffer of this size.
constexpr uint32_t kServerVariableMax = 256;

}  // namespace web
