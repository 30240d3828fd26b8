// NodePool: fixed-size nodes for the entries of one hash table.
//
// Nodes come from chunks that grow from about 1 KiB to 1 MiB; freed nodes go
// onto a free list (the last freed is the next handed out) and chunks go back
// to the heap only in `clear`, so a pool keeps its high-water mark. Nodes are
// 8-byte aligned when the node size is. Not thread-safe.
#ifndef GRAPH_NODE_POOL_H_
#define GRAPH_NODE_POOL_H_

#include <cstddef>
#include <cstdint>

#include "graph/string.h"

class NodePool {
 public:
  // `node_size` of at least 8 (a free node holds the free-list link).
  explicit NodePool(size_t node_size, const String& name = String("hal_unk"));
  NodePool(const NodePool&) = delete;
  NodePool& operator=(const NodePool&) = delete;
  ~NodePool() { clear(); }

  void* allocate();
  void free(void* node);
  // Frees every chunk; every node handed out becomes invalid.
  void clear();

  void set_name(const String& name) { name_ = name; }
  const String& name() const { return name_; }
  size_t node_size() const { return node_size_; }

  struct ChunkInfo {
    size_t block_bytes;
    size_t nodes;
  };
  // The chunks from the newest to the oldest, for diagnosis.
  template <typename F>
  void for_each_chunk(F f) const {
    for (const Chunk* c = chunk_; c != nullptr; c = c->next) f(ChunkInfo{c->end, c->count});
  }

 private:
  struct Chunk {
    Chunk* next;
    size_t offset;  // of the next node not yet handed out
    size_t end;     // 32 + count * node size
    size_t count;
  };
  static_assert(sizeof(Chunk) == 32, "nodes start 32 bytes into a chunk");

  void* free_ = nullptr;
  Chunk* chunk_ = nullptr;
  size_t node_size_;
  String name_;
};

#endif  // GRAPH_NODE_POOL_H_
