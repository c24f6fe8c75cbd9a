#include "zoras/deflate_pool.h"

#include <zlib.h>

#include <algorithm>

namespace zoras {
namespace {

z_stream* new_stream(int level) {
  auto* z = new z_stream{};
  if (deflateInit2(z, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    delete z;
    return nullptr;
  }
  return z;
}

void free_stream(void* p) {
  if (!p) return;
  auto* z = static_cast<z_stream*>(p);
  deflateEnd(z);
  delete z;
}

}  // namespace

unsigned DeflatePool::default_threads() {
  unsigned hw = std::thread::hardware_concurrency();
  if (hw <= 1) return 0;
  return std::min(hw, 4u);
}

DeflatePool::DeflatePool(unsigned threads, int level) : level_(level) {
  for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { run(); });
}

DeflatePool::~DeflatePool() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
    queue_.clear();
  }
  work_cv_.notify_all();
  for (auto& t : threads_) t.join();
  free_stream(inline_stream_);
}

void DeflatePool::submit(const std::shared_ptr<Block>& block) { submit_batch({block}); }

void DeflatePool::submit_batch(std::vector<std::shared_ptr<Block>> blocks) {
  if (blocks.empty()) return;
  for (auto& b : blocks) b->done = false;
  if (threads_.empty()) {
    if (!inline_stream_) inline_stream_ = new_stream(level_);
    for (auto& b : blocks) {
      process(*b, inline_stream_);
      b->done = true;
    }
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.push_back(std::move(blocks));
  }
  work_cv_.notify_one();
}

void DeflatePool::wait(const std::shared_ptr<Block>& block) {
  std::unique_lock<std::mutex> lock(mu_);
  done_cv_.wait(lock, [&] { return block->done; });
}

void DeflatePool::abandon() {
  std::unique_lock<std::mutex> lock(mu_);
  for (auto& batch : queue_)
    for (auto& b : batch) {
      b->failed = true;
      b->done = true;
    }
  queue_.clear();
  done_cv_.wait(lock, [&] { return busy_ == 0; });
}

void DeflatePool::run() {
  z_stream* z = new_stream(level_);
  for (;;) {
    std::vector<std::shared_ptr<Block>> batch;
    {
      std::unique_lock<std::mutex> lock(mu_);
      work_cv_.wait(lock, [&] { return stop_ || !queue_.empty(); });
      if (stop_) break;
      batch = std::move(queue_.front());
      queue_.pop_front();
      ++busy_;
    }
    for (auto& b : batch) process(*b, z);
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (auto& b : batch) b->done = true;
      --busy_;
    }
    done_cv_.notify_all();
  }
  free_stream(z);
}

void DeflatePool::process(Block& b, void* zs) {
  b.failed = false;
  if (b.load) {
    b.load_status = b.load(b);
    b.load = nullptr;
    if (b.load_status != 0) return;
  }
  b.crc = static_cast<uint32_t>(crc32(0, b.input.data(), static_cast<uInt>(b.input.size())));
  b.output.clear();
  if (!b.compress) return;
  auto* z = static_cast<z_stream*>(zs);
  if (!z || deflateReset(z) != Z_OK) {
    b.failed = true;
    return;
  }
  if (!b.dictionary.empty() &&
      deflateSetDictionary(z, b.dictionary.data(), static_cast<uInt>(b.dictionary.size())) != Z_OK) {
    b.failed = true;
    return;
  }
  // Room for the worst case plus the sync-flush marker; the loop still copes with less.
  b.output.resize(deflateBound(z, static_cast<uLong>(b.input.size())) + 64);
  z->next_in = b.input.data();
  z->avail_in = static_cast<uInt>(b.input.size());
  size_t produced = 0;
  const int flush = b.final ? Z_FINISH : Z_SYNC_FLUSH;
  for (;;) {
    if (produced == b.output.size()) b.output.resize(b.output.size() * 2);
    z->next_out = b.output.data() + produced;
    z->avail_out = static_cast<uInt>(b.output.size() - produced);
    int rc = deflate(z, flush);
    produced = b.output.size() - z->avail_out;
    if (rc == Z_STREAM_END) break;
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      b.failed = true;
      return;
    }
    if (!b.final && z->avail_in == 0 && z->avail_out > 0) break;  // flush complete
  }
  b.output.resize(produced);
}

bool worth_compressing(const uint8_t* sample, size_t n, int level) {
  n = std::min<size_t>(n, 64 * 1024);
  if (n < 256) return true;
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return true;
  std::vector<uint8_t> out(deflateBound(&z, static_cast<uLong>(n)));
  z.next_in = const_cast<uint8_t*>(sample);
  z.avail_in = static_cast<uInt>(n);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  int rc = deflate(&z, Z_FINISH);
  size_t got = out.size() - z.avail_out;
  deflateEnd(&z);
  return rc != Z_STREAM_END || got < n - n / 32;  // under ~97 %
}

}  // namespace zoras
