// Command texts reach the IPC server from any local process: no text may
// crash it, read past its bytes, or leave a block it did not hand over.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "ostgraphsvc/failclose/fail_close_mgr.h"
#include "ostgraphsvc/tarnipc/tarnipc.h"

namespace {
std::string g_root;
void removeRoot() { std::filesystem::remove_all(g_root); }
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Packet-dump commands write into the log folder: keep it in a root of our own.
  char pattern[] = "/tmp/fuzz-tarnipc-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) std::abort();
  g_root = pattern;
  std::atexit(removeRoot);
  ::setenv("DOVADOD_ROOT", pattern, 1);
  ::setenv("DOVADOD_SYSROOT", pattern, 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static QMsgQueue queue;
  static FailCloseMgr failClose;
  static TarnIPCServer server(&queue, &failClose);
  int32_t before = server.pool().cursor();
  server.tarn_equeue_msg(std::string(reinterpret_cast<const char*>(data), size));
  if (server.pool().cursor() == before) return 0;
  _QMSGBLOCK* block = queue.wait();
  // The block carries exactly the command bytes.
  if (block->data_length > 0 && block->data == nullptr) std::abort();
  qmsgblock_release(block);
  return 0;
}
