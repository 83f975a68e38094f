// The exported entry points of libkaldor.so. The extension object is made when the library is
// loaded and deleted when it is unloaded; nothing else is global. No exception leaves these
// functions.
#include <cstdio>
#include <cstring>
#include <new>

#include "web/extension_proc.h"
#include "web/isapi.h"

namespace {

web::CExtensionServer* g_server = nullptr;

__attribute__((constructor)) void LoadExtension() {
  try {
    g_server = new web::CExtensionServer();
    if (g_server->Start() != 0) {
      std::fprintf(stderr,
                   "kaldor: the temporary directory cannot be made private; uploads are refused\n");
    }
  } catch (...) {
    delete g_server;
    g_server = nullptr;
  }
}

__attribute__((destructor)) void UnloadExtension() {
  delete g_server;
  g_server = nullptr;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int GetExtensionVersion(KaldorVersionInfo* info) {
  if (g_server == nullptr || info == nullptr) return 0;
  info->version = KALDOR_INTERFACE_VERSION;
  std::snprintf(info->description, sizeof info->description, "%s", "Kaldor Extension");
  return 1;
}

__attribute__((visibility("default"))) uint32_t HttpExtensionProc(KaldorControlBlock* block) {
  try {
    return web::RunExtensionRequest(g_server, block, web::DefaultPages());
  } catch (...) {
    if (block != nullptr) block->status = 500;
    return KALDOR_STATUS_ERROR;
  }
}

__attribute__((visibility("default"))) int Ims_ApiLoad(void) { return 0; }

}  // extern "C"
