// Parallel raw-deflate compression of independent blocks, free of Win32.
//
// A file is cut into blocks; each block is compressed on its own with the preceding
// 32 KiB of the same file as preset dictionary and ends in a sync flush (a final block
// ends the stream), so the outputs concatenated in order form one valid deflate stream.
// The caller submits blocks in order and collects them in the same order; only the
// worker threads run zlib, every decision and every write stays with the caller.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace zoras {

constexpr size_t kBlockSize = 1 << 20;
constexpr size_t kDictionarySize = 32 * 1024;

struct Block {
  // Optional: fills `input` on the worker thread before compression (a small file read
  // there, so that opening many files overlaps with other work). Returns 0 or a
  // caller-defined nonzero status, kept in load_status; the block is then not compressed.
  std::function<int(Block&)> load;
  int load_status = 0;
  std::vector<uint8_t> input;
  std::vector<uint8_t> dictionary;  // at most 32 KiB of the file's data before `input`
  bool compress = true;             // false: the data is stored, only the CRC is computed
  bool final = true;                // last block of its file: ends the deflate stream
  // Results, valid once DeflatePool::wait returned.
  std::vector<uint8_t> output;
  uint32_t crc = 0;
  bool failed = false;
  bool done = false;
};

class DeflatePool {
 public:
  // threads == 0 compresses inside submit() on the caller's thread.
  DeflatePool(unsigned threads, int level);
  ~DeflatePool();
  DeflatePool(const DeflatePool&) = delete;
  DeflatePool& operator=(const DeflatePool&) = delete;

  void submit(const std::shared_ptr<Block>& block);
  // Blocks handled one after the other by one worker, with one hand-over for all: for
  // many small files the thread switches would otherwise cost more than the work.
  void submit_batch(std::vector<std::shared_ptr<Block>> blocks);
  void wait(const std::shared_ptr<Block>& block);
  // Drops blocks not yet started and waits for those in progress.
  void abandon();

  static unsigned default_threads();

 private:
  void run();
  void process(Block& b, void* zstream);

  int level_;
  std::vector<std::thread> threads_;
  std::mutex mu_;
  std::condition_variable work_cv_, done_cv_;
  std::deque<std::vector<std::shared_ptr<Block>>> queue_;
  unsigned busy_ = 0;
  bool stop_ = false;
  void* inline_stream_ = nullptr;
};

// Whether deflate pays for data that starts like `sample`: compresses up to 64 KiB of it.
bool worth_compressing(const uint8_t* sample, size_t n, int level);

}  // namespace zoras
