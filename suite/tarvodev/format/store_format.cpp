#include "format/store_format.h"

#include <cstring>

#include "format/xss_format.h"

namespace tvdev::store {

using fmt::GetU32;
using fmt::PutU32;

namespace {

constexpr char kMagic[4] = {'T', 'V', 'K', 'S'};
constexpr uint32_t kVersion = 1;
constexpr uint32_t kMaxKeys = 10'000;
constexpr uint32_t kMaxBlob = 4096;
constexpr uint8_t kFlagEnabled = 1, kFlagSuspended = 2, kFlagParameterFile = 4;

class Writer {
 public:
  void U8(uint8_t v) { b_.push_back(v); }
  void U32(uint32_t v) {
    uint8_t t[4];
    PutU32(t, v);
    Raw(t, 4);
  }
  void Raw(const void* p, size_t n) {
    const auto* c = static_cast<const uint8_t*>(p);
    b_.insert(b_.end(), c, c + n);
  }
  void Str8(const std::string& s) {
    U8(static_cast<uint8_t>(s.size()));
    Raw(s.data(), s.size());
  }
  Bytes& bytes() { return b_; }

 private:
  Bytes b_;
};

class Reader {
 public:
  Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  bool U8(uint8_t* v) {
    if (n_ - at_ < 1) return false;
    *v = p_[at_++];
    return true;
  }
  bool U32(uint32_t* v) {
    if (n_ - at_ < 4) return false;
    *v = GetU32(p_ + at_);
    at_ += 4;
    return true;
  }
  bool Raw(void* out, size_t n) {
    if (n_ - at_ < n) return false;
    std::memcpy(out, p_ + at_, n);
    at_ += n;
    return true;
  }
  bool Str8(std::string* s) {
    uint8_t len;
    if (!U8(&len) || n_ - at_ < len) return false;
    s->assign(reinterpret_cast<const char*>(p_ + at_), len);
    at_ += len;
    return true;
  }
  bool Blob(Bytes* b, uint32_t len) {
    if (n_ - at_ < len) return false;
    b->assign(p_ + at_, p_ + at_ + len);
    at_ += len;
    return true;
  }
  bool done() const { return at_ == n_; }

 private:
  const uint8_t* p_;
  size_t n_;
  size_t at_ = 0;
};

bool ValidDescription(const std::string& d) {
  if (d.size() > kMaxDescription) return false;
  for (unsigned char c : d)
    if (c < 0x20 || c == 0x7F) return false;
  return true;
}

}  // namespace

uint16_t StoredKey::KeyLengthBits() const {
  switch (algorithm) {
    case 0: return 56;
    case 1: return 168;
    default: return 256;
  }
}

Bytes Encode(const Store& s) {
  Writer w;
  w.Raw(kMagic, 4);
  w.U32(kVersion);
  w.U32(static_cast<uint32_t>(s.keys.size()));
  w.U32(0);
  for (const StoredKey& k : s.keys) {
    w.Str8(k.name);
    w.Raw(k.id, 16);
    w.U8(static_cast<uint8_t>(k.algorithm));
    w.U8(static_cast<uint8_t>((k.enabled ? kFlagEnabled : 0) |
                              (k.suspended ? kFlagSuspended : 0) |
                              (k.parameterFile ? kFlagParameterFile : 0)));
    w.Str8(k.description);
    w.U32(k.iterations);
    w.Raw(k.salt, 16);
    w.Raw(k.verifier, 32);
    w.Raw(k.wrapNonce, 12);
    w.Raw(k.wrapped, 32);
    w.Raw(k.wrapTag, 16);
    w.U32(static_cast<uint32_t>(k.machineBlob.size()));
    w.Raw(k.machineBlob.data(), k.machineBlob.size());
  }
  return std::move(w.bytes());
}

bool Decode(const uint8_t* data, size_t size, Store* out) {
  Reader r(data, size);
  char magic[4];
  uint32_t version, count, reserved;
  if (!r.Raw(magic, 4) || std::memcmp(magic, kMagic, 4) != 0 || !r.U32(&version) ||
      version != kVersion || !r.U32(&count) || count > kMaxKeys || !r.U32(&reserved) ||
      reserved != 0)
    return false;
  Store s;
  for (uint32_t i = 0; i < count; ++i) {
    StoredKey k;
    uint8_t alg, flags;
    uint32_t blobLen;
    if (!r.Str8(&k.name) || !ValidName(k.name) || Find(s, k.name) || !r.Raw(k.id, 16) ||
        !r.U8(&alg) || alg > 2 || !r.U8(&flags) ||
        (flags & ~(kFlagEnabled | kFlagSuspended | kFlagParameterFile)) != 0 ||
        !r.Str8(&k.description) || !ValidDescription(k.description) ||
        !r.U32(&k.iterations) || k.iterations < kMinIterations ||
        k.iterations > kMaxIterations || !r.Raw(k.salt, 16) ||
        !r.Raw(k.verifier, 32) || !r.Raw(k.wrapNonce, 12) || !r.Raw(k.wrapped, 32) ||
        !r.Raw(k.wrapTag, 16) || !r.U32(&blobLen) || blobLen > kMaxBlob ||
        !r.Blob(&k.machineBlob, blobLen))
      return false;
    k.algorithm = alg;
    k.enabled = (flags & kFlagEnabled) != 0;
    k.suspended = (flags & kFlagSuspended) != 0;
    k.parameterFile = (flags & kFlagParameterFile) != 0;
    if (k.enabled != !k.machineBlob.empty()) return false;
    s.keys.push_back(std::move(k));
  }
  if (!r.done()) return false;
  *out = std::move(s);
  return true;
}

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  for (unsigned char c : name)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')))
      return false;
  return true;
}

bool NamesEqual(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x -= 32;
    if (y >= 'a' && y <= 'z') y -= 32;
    if (x != y) return false;
  }
  return true;
}

StoredKey* Find(Store& s, const std::string& name) {
  for (StoredKey& k : s.keys)
    if (NamesEqual(k.name, name)) return &k;
  return nullptr;
}

const StoredKey* Find(const Store& s, const std::string& name) {
  return Find(const_cast<Store&>(s), name);
}

}  // namespace tvdev::store
