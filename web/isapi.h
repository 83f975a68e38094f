// The extension interface between the web host and libkaldor.so: the control block of one
// request, the version block, and the three exported entry points.
//
// The host fills a KaldorControlBlock per request and calls HttpExtensionProc on the thread that
// serves the connection. The block carries the method, query string, path info and content type,
// the total body length and the part of the body already received ("delivered"); the rest of the
// body is pulled with ReadClient. The extension answers through SendResponseHeader (status line
// such as "200 OK" and a block of header lines, each ended by CR LF, without the empty line that
// ends the header) followed by WriteClient calls with the body. The host owns every pointer in
// the block; they stay valid until HttpExtensionProc returns.
//
// Callbacks return 1 on success and 0 on failure. ReadClient sets *size to the bytes stored
// (0 at the end of the body or when the client has gone). GetServerVariable copies the value and
// its terminating NUL into the buffer; a missing variable or a too small buffer is a failure.
//
// Plain C layout, so that a host in any language can fill it.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KALDOR_INTERFACE_VERSION 0x00050000u /* major 5, minor 0 */
#define KALDOR_DESCRIPTION_MAX 256

/* Results of HttpExtensionProc. */
#define KALDOR_STATUS_SUCCESS 1
#define KALDOR_STATUS_ERROR 4

/* Total length of a body whose length the host does not know (chunked transfer). */
#define KALDOR_LENGTH_UNKNOWN UINT64_MAX

typedef struct KaldorVersionInfo {
  uint32_t version;
  char description[KALDOR_DESCRIPTION_MAX];
} KaldorVersionInfo;

typedef int (*KaldorGetServerVariableFn)(void* connection, const char* name, char* buffer,
                                         uint32_t* size);
typedef int (*KaldorReadClientFn)(void* connection, void* buffer, uint32_t* size);
typedef int (*KaldorWriteClientFn)(void* connection, const void* buffer, uint32_t* size);
typedef int (*KaldorSendResponseHeaderFn)(void* connection, const char* statusLine,
                                          const char* headers);

typedef struct KaldorControlBlock {
  uint32_t size;    /* sizeof(KaldorControlBlock) */
  uint32_t version; /* KALDOR_INTERFACE_VERSION */
  void* connection; /* the host's handle, passed back to every callback */
  uint32_t status;  /* HTTP status, set by the extension */
  const char* method;
  const char* queryString; /* without the "?" */
  const char* pathInfo;
  const char* contentType;
  uint64_t totalBytes;     /* body length, or KALDOR_LENGTH_UNKNOWN */
  uint64_t availableBytes; /* bytes in data */
  const unsigned char* data;
  KaldorGetServerVariableFn GetServerVariable;
  KaldorReadClientFn ReadClient;
  KaldorWriteClientFn WriteClient;
  KaldorSendResponseHeaderFn SendResponseHeader;
} KaldorControlBlock;

typedef int (*KaldorGetExtensionVersionFn)(KaldorVersionInfo* info);
typedef uint32_t (*KaldorHttpExtensionProcFn)(KaldorControlBlock* block);
typedef int (*KaldorImsApiLoadFn)(void);

#ifdef __cplusplus
}
#endif
