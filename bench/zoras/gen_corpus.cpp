// Generates the archiver benchmark's corpora with a fixed seed (same bytes every run):
//   mixed/  prose.txt, log.csv, source.xml (60 MB each, text-like), random1..4.bin
//           (25 MB each, incompressible), records.dat (20 MB of structured records)
//   small/  20 x 10 folders, 20,000 files of 1 to 16 KB, two thirds text-like
// Usage: gen_corpus <output folder>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Rng {
  uint64_t s;
  uint64_t next() {  // splitmix64
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
};

// Words with a Zipf-like frequency: low indexes are common.
struct Vocabulary {
  std::vector<std::string> words;
  explicit Vocabulary(Rng& r, size_t n) {
    static const char* syll[] = {"ka", "to", "ri", "an", "el", "mo", "su", "ne", "ver", "lin", "da", "po",
                                 "qu", "ist", "or", "ba", "ce", "mi", "ra", "ton", "sh", "ex", "ul", "ia"};
    for (size_t i = 0; i < n; ++i) {
      std::string w;
      int k = 1 + static_cast<int>(r.below(3)) + (i > 200 ? 1 : 0);
      for (int j = 0; j < k; ++j) w += syll[r.below(24)];
      words.push_back(w);
    }
  }
  const std::string& pick(Rng& r) const {
    // Product of two uniforms approximates the skew of natural text.
    double a = (r.next() >> 11) * (1.0 / 9007199254740992.0), b = (r.next() >> 11) * (1.0 / 9007199254740992.0);
    return words[static_cast<size_t>(a * a * b * static_cast<double>(words.size()))];
  }
};

void write_file(const std::string& path, const std::string& data) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(data.data(), 1, data.size(), f) != data.size()) {
    std::perror(path.c_str());
    std::exit(1);
  }
  std::fclose(f);
}

std::string prose(Rng& r, const Vocabulary& v, size_t n) {
  std::string s;
  s.reserve(n + 256);
  while (s.size() < n) {
    int sentence = 6 + static_cast<int>(r.below(18));
    for (int i = 0; i < sentence; ++i) {
      std::string w = v.pick(r);
      if (i == 0) w[0] = static_cast<char>(w[0] - 32);
      s += w;
      s += (i + 1 == sentence) ? ". " : (r.below(9) == 0 ? ", " : " ");
    }
    if (r.below(6) == 0) s += "\n\n";
  }
  s.resize(n);
  return s;
}

std::string log_csv(Rng& r, const Vocabulary& v, size_t n) {
  static const char* levels[] = {"INFO", "INFO", "INFO", "DEBUG", "WARN", "ERROR"};
  static const char* paths[] = {"/api/v1/items", "/api/v1/users", "/static/app.js", "/login", "/api/v2/search"};
  std::string s;
  s.reserve(n + 256);
  uint64_t t = 1765324800000ull, id = 100000;
  char line[256];
  while (s.size() < n) {
    t += r.below(40);
    id += 1 + r.below(3);
    int len = std::snprintf(line, sizeof line, "%llu,host-%02u,%s,req=%llu,%s/%u,status=%u,ms=%u.%u,%s\n",
                            static_cast<unsigned long long>(t), r.below(24), levels[r.below(6)],
                            static_cast<unsigned long long>(id), paths[r.below(5)], r.below(5000),
                            r.below(8) ? 200u : 404u, r.below(300), r.below(10), v.pick(r).c_str());
    s.append(line, static_cast<size_t>(len));
  }
  s.resize(n);
  return s;
}

std::string source_xml(Rng& r, const Vocabulary& v, size_t n) {
  static const char* tags[] = {"item", "name", "value", "entry", "config", "param"};
  std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root>\n";
  s.reserve(n + 512);
  char line[256];
  while (s.size() < n) {
    const char* t = tags[r.below(6)];
    int depth = 1 + static_cast<int>(r.below(4));
    std::string indent(static_cast<size_t>(depth * 2), ' ');
    int len;
    if (r.below(3) == 0)
      len = std::snprintf(line, sizeof line, "%sint %s_%u = compute(%s, %u); // %s\n", indent.c_str(),
                          v.pick(r).c_str(), r.below(100), v.pick(r).c_str(), r.below(1000), v.pick(r).c_str());
    else
      len = std::snprintf(line, sizeof line, "%s<%s id=\"%u\" key=\"%s\">%s %s</%s>\n", indent.c_str(), t,
                          r.below(100000), v.pick(r).c_str(), v.pick(r).c_str(), v.pick(r).c_str(), t);
    s.append(line, static_cast<size_t>(len));
  }
  s.resize(n);
  return s;
}

std::string random_bytes(Rng& r, size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i + 8 <= n; i += 8) {
    uint64_t x = r.next();
    std::memcpy(&s[i], &x, 8);
  }
  return s;
}

std::string records(Rng& r, const Vocabulary& v, size_t n) {
  std::string s;
  s.reserve(n + 64);
  uint32_t id = 0;
  while (s.size() < n) {
    unsigned char rec[64] = {};
    ++id;
    std::memcpy(rec, &id, 4);
    uint32_t when = 1700000000u + id * 7 + r.below(5);
    std::memcpy(rec + 4, &when, 4);
    uint16_t kind = static_cast<uint16_t>(r.below(12));
    std::memcpy(rec + 8, &kind, 2);
    float amount = static_cast<float>(r.below(100000)) / 100.0f;
    std::memcpy(rec + 12, &amount, 4);
    uint64_t noise = r.next() & 0xFFFF;
    std::memcpy(rec + 16, &noise, 2);
    const std::string& w = v.pick(r);
    std::memcpy(rec + 24, w.data(), std::min<size_t>(w.size(), 39));
    s.append(reinterpret_cast<char*>(rec), sizeof rec);
  }
  s.resize(n);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: gen_corpus <folder>\n");
    return 2;
  }
  std::string root = argv[1];
  Rng r{20261210};
  Vocabulary vocab(r, 6000);
  const size_t MB = 1 << 20;
  mkdir(root.c_str(), 0755);
  std::string mixed = root + "/mixed", small = root + "/small";
  mkdir(mixed.c_str(), 0755);
  write_file(mixed + "/prose.txt", prose(r, vocab, 60 * MB));
  write_file(mixed + "/log.csv", log_csv(r, vocab, 60 * MB));
  write_file(mixed + "/source.xml", source_xml(r, vocab, 60 * MB));
  for (int i = 1; i <= 4; ++i) write_file(mixed + "/random" + std::to_string(i) + ".bin", random_bytes(r, 25 * MB));
  write_file(mixed + "/records.dat", records(r, vocab, 20 * MB));

  mkdir(small.c_str(), 0755);
  int file = 0;
  for (int a = 0; a < 20; ++a) {
    std::string da = small + "/group" + std::to_string(a);
    mkdir(da.c_str(), 0755);
    for (int b = 0; b < 10; ++b) {
      std::string db = da + "/part" + std::to_string(b);
      mkdir(db.c_str(), 0755);
      for (int k = 0; k < 100; ++k, ++file) {
        size_t n = 1024 + r.below(15 * 1024 + 1);
        std::string data = (file % 3 == 2) ? random_bytes(r, n)
                                           : (file % 3 == 0 ? prose(r, vocab, n) : log_csv(r, vocab, n));
        write_file(db + "/f" + std::to_string(file) + (file % 3 == 2 ? ".bin" : ".txt"), data);
      }
    }
  }
  return 0;
}
