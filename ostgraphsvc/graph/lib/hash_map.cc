#include "graph/hash_map.h"

#include <cstring>
#include <mutex>

namespace {

std::mutex g_factory_mutex;
HashMap_ArenaFactory* g_factory = nullptr;

}  // namespace

HashMap_Arena::HashMap_Arena(size_t element_size)
    : element_size_(element_size < 8 ? 8 : element_size), blocks_(new char*[8]) {}

HashMap_Arena::~HashMap_Arena() {
  for (int i = 0; i < nblocks_; ++i) delete[] blocks_[i];
  delete[] blocks_;
}

void* HashMap_Arena::alloc() {
  if (free_ != nullptr) {
    void* element = free_;
    free_ = *static_cast<void**>(element);
    return element;
  }
  if (bytes_left_ > 0) {
    bytes_left_ -= static_cast<int>(element_size_);
    return block_ + bytes_left_;
  }
  if (nblocks_ == block_slots_) {
    char** blocks = new char*[2 * block_slots_];
    std::memcpy(blocks, blocks_, sizeof(char*) * static_cast<size_t>(nblocks_));
    delete[] blocks_;
    blocks_ = blocks;
    block_slots_ *= 2;
  }
  block_ = new char[element_size_ * kBlockElements];
  blocks_[nblocks_++] = block_;
  // Handed out from the block's end towards its start.
  bytes_left_ = static_cast<int>(element_size_ * (kBlockElements - 1));
  return block_ + bytes_left_;
}

void HashMap_Arena::free(void* element) {
  *static_cast<void**>(element) = free_;
  free_ = element;
}

void HashMap_Arena::unuse() {
  if (--refcount_ == 0) delete this;
}

HashMap_ArenaFactory::~HashMap_ArenaFactory() {
  for (Table* table : {&small_, &large_}) {
    for (int i = 0; i < table->count; ++i) {
      if (table->slots[i] != nullptr) table->slots[i]->unuse();
    }
    delete[] table->slots;
  }
}

HashMap_Arena* HashMap_ArenaFactory::get(Table& table, int index, size_t element_size) {
  if (index >= table.count) {
    int count = table.count == 0 ? 32 : 2 * table.count;
    while (count <= index) count *= 2;
    HashMap_Arena** slots = new HashMap_Arena*[count]();
    if (table.count > 0) {
      std::memcpy(slots, table.slots, sizeof(HashMap_Arena*) * static_cast<size_t>(table.count));
    }
    delete[] table.slots;
    table.slots = slots;
    table.count = count;
  }
  if (table.slots[index] == nullptr) {
    table.slots[index] = new HashMap_Arena(element_size);
    table.slots[index]->use();
  }
  return table.slots[index];
}

HashMap_Arena* HashMap_ArenaFactory::get_arena(size_t size) {
  if (size < 256) {
    int index = static_cast<int>((size + 3) >> 2);
    size_t element_size = static_cast<size_t>(index) << 2;
    return get(small_, index, element_size < 8 ? 8 : element_size);
  }
  int index = static_cast<int>((size + 127) >> 7);
  return get(large_, index, static_cast<size_t>(index) << 7);
}

HashMap_ArenaFactory* HashMap_ArenaFactory::process_factory() {
  std::lock_guard<std::mutex> lock(g_factory_mutex);
  if (g_factory == nullptr) g_factory = new HashMap_ArenaFactory;
  return g_factory;
}

void HashMap_ArenaFactory::static_cleanup() {
  std::lock_guard<std::mutex> lock(g_factory_mutex);
  delete g_factory;
  g_factory = nullptr;
}
