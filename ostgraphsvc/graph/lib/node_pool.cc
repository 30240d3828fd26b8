#include "graph/node_pool.h"

#include <new>

namespace {

constexpr size_t kHeader = 32;
constexpr size_t kFirstChunkBytes = 992;
constexpr size_t kMaxBlock = size_t{1} << 20;

}  // namespace

NodePool::NodePool(size_t node_size, const String& name)
    : node_size_(node_size < sizeof(void*) ? sizeof(void*) : node_size), name_(name) {}

void* NodePool::allocate() {
  if (free_ != nullptr) {
    void* node = free_;
    free_ = *static_cast<void**>(node);
    return node;
  }
  if (chunk_ != nullptr && chunk_->offset < chunk_->end) {
    void* node = reinterpret_cast<char*>(chunk_) + chunk_->offset;
    chunk_->offset += node_size_;
    return node;
  }
  // Chunks double (as heap blocks) from about 1 KiB, capped at 1 MiB.
  size_t node_bytes = kFirstChunkBytes;
  if (chunk_ != nullptr) {
    size_t previous = chunk_->end + node_size_;
    size_t block = 1;
    while (block <= previous) block <<= 1;
    if (block > kMaxBlock) block = kMaxBlock;
    node_bytes = block - kHeader;
  }
  size_t count = node_bytes / node_size_;
  if (count < 8) count = 8;
  size_t end = kHeader + count * node_size_;
  Chunk* chunk = static_cast<Chunk*>(::operator new(end));
  chunk->next = chunk_;
  chunk->offset = kHeader + node_size_;
  chunk->end = end;
  chunk->count = count;
  chunk_ = chunk;
  return reinterpret_cast<char*>(chunk) + kHeader;
}

void NodePool::free(void* node) {
  *static_cast<void**>(node) = free_;
  free_ = node;
}

void NodePool::clear() {
  while (chunk_ != nullptr) {
    Chunk* next = chunk_->next;
    ::operator delete(chunk_);
    chunk_ = next;
  }
  free_ = nullptr;
}
