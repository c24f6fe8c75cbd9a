#include "peimports.h"

#include <windows.h>

#include <cctype>
#include <cstdint>
#include <fstream>
#include <iterator>

namespace vxtest {

std::vector<std::string> StaticImports(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string pe((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> out;
  auto at = [&](size_t off, size_t n) { return off + n <= pe.size(); };
  if (!at(0x3C, 4)) return out;
  const uint32_t nt = *reinterpret_cast<const uint32_t*>(&pe[0x3C]);
  if (!at(nt, sizeof(IMAGE_NT_HEADERS64))) return out;
  const auto* h = reinterpret_cast<const IMAGE_NT_HEADERS64*>(&pe[nt]);
  if (h->Signature != IMAGE_NT_SIGNATURE || h->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
    return out;
  const auto* sections = IMAGE_FIRST_SECTION(h);
  auto offset = [&](uint32_t rva) -> size_t {
    for (int i = 0; i < h->FileHeader.NumberOfSections; ++i) {
      const IMAGE_SECTION_HEADER& s = sections[i];
      if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.SizeOfRawData)
        return rva - s.VirtualAddress + s.PointerToRawData;
    }
    return pe.size();
  };
  const uint32_t dir = h->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
  for (size_t d = offset(dir); at(d, sizeof(IMAGE_IMPORT_DESCRIPTOR)); d += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
    const auto* desc = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(&pe[d]);
    if (desc->Name == 0) break;
    std::string name;
    for (size_t n = offset(desc->Name); n < pe.size() && pe[n]; ++n)
      name += static_cast<char>(std::tolower(static_cast<unsigned char>(pe[n])));
    out.push_back(name);
  }
  return out;
}

}  // namespace vxtest
