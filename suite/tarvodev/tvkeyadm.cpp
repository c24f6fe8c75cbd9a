// tvkeyadm: administration of the TARVO-Pro key store. See README.md for usage.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "crypto.h"
#include "dllsearch.h"
#include "keystore.h"

using namespace tvdev;

namespace {

enum Exit {
  kOk = 0,
  kUsage = 1,
  kNotFound = 2,
  kWrongValue = 3,
  kStoreDamaged = 4,
  kWriteFailed = 5,
  kExists = 6,
  kFailed = 7,
};

const char kUsageText[] =
    "usage: tvkeyadm [--store FOLDER] COMMAND [ARGUMENTS]\n"
    "\n"
    "  init                       create an empty key store\n"
    "  list                       list the keys, one per line, tab-separated:\n"
    "                             name, algorithm, bits, enabled, suspended,\n"
    "                             parameter file, description\n"
    "  add NAME --alg des|3des|aes (--value VALUE | --value-stdin)\n"
    "      [--desc TEXT] [--enable] [--param-file] [--iterations N]\n"
    "                             add a key with fresh random key material\n"
    "  enable NAME (--value VALUE | --value-stdin)\n"
    "                             make the key usable without its value on this machine\n"
    "  disable NAME               require the value again\n"
    "  suspend NAME               make the key temporarily unusable\n"
    "  resume NAME                end a suspension\n"
    "  describe NAME TEXT         set the description\n"
    "  remove NAME                remove the key\n"
    "\n"
    "Give key values with --value-stdin (the first line of standard input): a value\n"
    "on the command line can be read by every other process of the machine.\n"
    "\n"
    "The store is keystore.dat in FOLDER, else the installation's store in the\n"
    "common application-data folder under Norvane\\TARVO-Pro; the environment\n"
    "never chooses it. init creates that folder, writable by administrators only:\n"
    "run it as administrator.\n"
    "Exit codes: 0 done, 1 bad usage or argument, 2 no such key, 3 wrong value,\n"
    "4 key store missing or damaged, 5 store not written, 6 key or store exists,\n"
    "7 other failure.\n";

int Usage(const char* why) {
  if (why) std::fprintf(stderr, "tvkeyadm: %s\n\n", why);
  std::fputs(kUsageText, stderr);
  return kUsage;
}

int Error(int code, const std::string& text) {
  std::fprintf(stderr, "tvkeyadm: %s\n", text.c_str());
  return code;
}

const char* AlgorithmText(int a) {
  switch (a) {
    case 0: return "DES";
    case 1: return "Triple DES";
    default: return "AES";
  }
}

int ParseAlgorithm(const std::string& s) {
  std::string t = s;
  for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (t == "des" || t == "0") return 0;
  if (t == "3des" || t == "tripledes" || t == "triple-des" || t == "1") return 1;
  if (t == "aes" || t == "2") return 2;
  return -1;
}

struct Options {
  std::vector<std::string> positional;
  std::string alg, desc;
  crypto::SecretText value;
  bool haveValue = false, valueStdin = false, haveDesc = false, enable = false,
       paramFile = false;
  uint32_t iterations = store::kDefaultIterations;
};

// Parses the arguments after the command; returns an error text or empty.
std::string ParseOptions(int argc, char** argv, int first, Options* o) {
  for (int i = first; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    if (a == "--alg") {
      if (!next(&o->alg)) return "--alg needs a value";
    } else if (a == "--value") {
      if (i + 1 >= argc) return "--value needs a value";
      char* v = argv[++i];
      if (!o->value.Assign(v)) return "a key value has 1 to 255 characters";
      // Our copy of the command line; the system's own copy stays readable, which is
      // why --value-stdin is the recommended way.
      crypto::Wipe(v, std::strlen(v));
      o->haveValue = true;
    } else if (a == "--value-stdin") {
      o->valueStdin = true;
    } else if (a == "--desc") {
      if (!next(&o->desc)) return "--desc needs a value";
      o->haveDesc = true;
    } else if (a == "--enable") {
      o->enable = true;
    } else if (a == "--param-file") {
      o->paramFile = true;
    } else if (a == "--iterations") {
      std::string n;
      if (!next(&n)) return "--iterations needs a value";
      char* end = nullptr;
      const unsigned long v = std::strtoul(n.c_str(), &end, 10);
      if (n.empty() || *end || v < store::kMinIterations || v > store::kMaxIterations)
        return "--iterations must be a number from 1000 to 10000000";
      o->iterations = static_cast<uint32_t>(v);
    } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
      return "unknown option " + a;
    } else {
      o->positional.push_back(a);
    }
  }
  return {};
}

// One line of standard input, read byte by byte straight into our buffer: the C
// runtime's stream buffer would keep a copy that nothing wipes.
bool ReadValueLine(crypto::SecretText* out) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  char line[store::kMaxValue + 2];
  size_t n = 0;
  bool tooLong = false, any = false;
  for (;;) {
    char c;
    DWORD got = 0;
    if (!ReadFile(in, &c, 1, &got, nullptr) || got == 0) break;
    any = true;
    if (c == '\n') break;
    if (n < sizeof line) line[n++] = c;
    else tooLong = true;
  }
  while (n > 0 && line[n - 1] == '\r') --n;
  const bool ok = any && !tooLong && out->Assign(std::string_view(line, n));
  crypto::Wipe(line, sizeof line);
  return ok;
}

// The key value, from --value or one line of standard input.
bool TakeValue(Options& o, std::string* why) {
  if (o.haveValue == o.valueStdin) {
    *why = "give the key value with either --value or --value-stdin";
    return false;
  }
  if (o.valueStdin && !ReadValueLine(&o.value)) o.value.Clear();
  if (o.value.empty() || o.value.size() > store::kMaxValue) {
    *why = "a key value has 1 to 255 characters";
    return false;
  }
  return true;
}

bool ValidDescription(const std::string& d) {
  if (d.size() > store::kMaxDescription) return false;
  for (unsigned char c : d)
    if (c < 0x20 || c == 0x7F) return false;
  return true;
}

int LoadExisting(store::Store* s) {
  switch (store::Load(s)) {
    case store::LoadResult::Ok: return kOk;
    case store::LoadResult::Missing:
      return Error(kStoreDamaged, "no key store at " + store::StorePath() + " (create one with init)");
    case store::LoadResult::Damaged:
      return Error(kStoreDamaged, "the key store " + store::StorePath() +
                                      " is unreadable or damaged; it was left as it is");
  }
  return kFailed;
}

int SaveOrFail(const store::Store& s) {
  std::string why;
  return store::Save(s, &why) ? kOk : Error(kWriteFailed, why);
}

int NeedName(const Options& o, size_t extra) {
  if (o.positional.size() != 1 + extra) return Usage("wrong number of arguments");
  if (!store::ValidName(o.positional[0]))
    return Error(kUsage, "a key name has 1 to 32 letters and digits: " + o.positional[0]);
  return kOk;
}

int Run(const std::string& cmd, Options& o) {
  if (cmd == "init") {
    std::string why;
    if (!o.positional.empty()) return Usage("init takes no arguments");
    if (!store::CreateHome(&why)) return Error(kWriteFailed, why);
  } else if (!store::HomeExists()) {
    return Error(kStoreDamaged, "no key store at " + store::StorePath() + " (create one with init)");
  }
  std::optional<store::WriteLock> lock;
  if (cmd != "list") {
    lock.emplace();
    if (!lock->held())
      return Error(kWriteFailed, "cannot lock the key store in " + store::HomeFolder());
  }

  if (cmd == "init") {
    if (store::Exists()) return Error(kExists, "a key store exists already at " + store::StorePath());
    if (int rc = SaveOrFail(store::Store{})) return rc;
    std::printf("created %s\n", store::StorePath().c_str());
    return kOk;
  }

  store::Store s;
  if (cmd == "list") {
    if (!o.positional.empty()) return Usage("list takes no arguments");
    if (int rc = LoadExisting(&s)) return rc;
    for (const auto& k : s.keys)
      std::printf("%s\t%s\t%u\t%s\t%s\t%s\t%s\n", k.name.c_str(), AlgorithmText(k.algorithm),
                  k.KeyLengthBits(), k.enabled ? "enabled" : "disabled",
                  k.suspended ? "suspended" : "active",
                  k.parameterFile ? "parameter-file" : "no-parameter-file",
                  k.description.c_str());
    return kOk;
  }

  if (cmd == "add") {
    if (int rc = NeedName(o, 0)) return rc;
    const int alg = ParseAlgorithm(o.alg);
    if (alg < 0) return Error(kUsage, "--alg must be des, 3des or aes");
    if (o.haveDesc && !ValidDescription(o.desc))
      return Error(kUsage, "a description has at most 255 bytes and no control characters");
    std::string why;
    if (!TakeValue(o, &why)) return Error(kUsage, why);
    if (int rc = LoadExisting(&s)) return rc;
    if (store::Find(s, o.positional[0]))
      return Error(kExists, "a key named " + o.positional[0] + " exists already");
    store::StoredKey k;
    if (!store::CreateKey(o.positional[0], alg, o.value.view(), o.iterations, &k, &why))
      return Error(kFailed, why);
    k.description = o.desc;
    k.parameterFile = o.paramFile;
    if (o.enable) {
      if (!store::EnsureMachineSecret(&why)) return Error(kWriteFailed, why);
      uint8_t material[32];
      const bool ok = store::ProveValue(k, o.value.view(), material) == store::Proof::Ok &&
                      store::Enable(k, material);
      crypto::Wipe(material, 32);
      if (!ok) return Error(kFailed, "cannot protect the key for this machine");
    }
    s.keys.push_back(std::move(k));
    return SaveOrFail(s);
  }

  const bool needsDesc = cmd == "describe";
  if (cmd != "enable" && cmd != "disable" && cmd != "suspend" && cmd != "resume" &&
      cmd != "remove" && !needsDesc)
    return Usage(("unknown command " + cmd).c_str());
  if (int rc = NeedName(o, needsDesc ? 1 : 0)) return rc;
  std::string why;
  if (cmd == "enable" && !TakeValue(o, &why)) return Error(kUsage, why);
  if (needsDesc && !ValidDescription(o.positional[1]))
    return Error(kUsage, "a description has at most 255 bytes and no control characters");
  if (int rc = LoadExisting(&s)) return rc;
  store::StoredKey* k = store::Find(s, o.positional[0]);
  if (!k) return Error(kNotFound, "no key named " + o.positional[0]);

  if (cmd == "enable") {
    uint8_t material[32];
    const store::Proof proof = store::ProveValue(*k, o.value.view(), material);
    if (proof == store::Proof::Wrong) return Error(kWrongValue, "the key value is wrong");
    if (proof == store::Proof::Ok && !store::EnsureMachineSecret(&why)) {
      crypto::Wipe(material, 32);
      return Error(kWriteFailed, why);
    }
    const bool ok = proof == store::Proof::Ok && store::Enable(*k, material);
    crypto::Wipe(material, 32);
    if (!ok) return Error(kStoreDamaged, "the key's material cannot be recovered or protected");
  } else if (cmd == "disable") {
    store::Disable(*k);
  } else if (cmd == "suspend") {
    k->suspended = true;
  } else if (cmd == "resume") {
    k->suspended = false;
  } else if (cmd == "describe") {
    k->description = o.positional[1];
  } else if (cmd == "remove") {
    s.keys.erase(s.keys.begin() + (k - s.keys.data()));
  }
  return SaveOrFail(s);
}

}  // namespace

int main(int argc, char** argv) {
  // An administrator runs it in whatever folder the prompt is in.
  suite::RestrictDllSearch();
  // The store is the one the administrator names on the command line, else the
  // installation's. The tool runs elevated in the environment of the administrator's
  // profile, which that user's unelevated processes can set (HKCU\Environment): the
  // library's TARVODEV_HOME, which serves a user's own process, must not move the
  // store that an administrator changes. The library reads that variable, so the tool
  // sets it to the named folder or removes it before anything reads the store.
  int i = 1;
  const char* store = nullptr;
  if (i + 1 < argc && std::strcmp(argv[i], "--store") == 0) {
    store = argv[i + 1];
    i += 2;
  }
  if (!SetEnvironmentVariableA("TARVODEV_HOME", store) &&
      (store || GetEnvironmentVariableA("TARVODEV_HOME", nullptr, 0) != 0))
    return Error(kFailed, "cannot select the store folder");
  if (i >= argc) return Usage(nullptr);
  const std::string cmd = argv[i];
  if (cmd == "--help" || cmd == "-h" || cmd == "help") {
    std::fputs(kUsageText, stdout);
    return kOk;
  }
  Options o;
  const std::string why = ParseOptions(argc, argv, i + 1, &o);
  if (!why.empty()) return Usage(why.c_str());
  try {
    return Run(cmd, o);
  } catch (...) {
    return Error(kFailed, "out of memory");
  }
}
