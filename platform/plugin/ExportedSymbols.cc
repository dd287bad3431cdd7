#include "platform/plugin/ExportedSymbols.h"

#include <cxxabi.h>
#include <elf.h>
#include <link.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string_view>
#include <tuple>

#include <fmt/format.h>

#include "platform/vorl/Exceptions.h"

namespace Plugin {
namespace {

// Shared objects larger than this are not plug-ins; refused before reading.
constexpr std::uintmax_t kLargestFile = std::uintmax_t{1} << 30;

[[noreturn]] void refuse(std::string const& path, std::string const& reason) {
  throw Vorl::InvalidInitializeException(fmt::format("{}: {}", path, reason));
}

std::string readWhole(std::string const& path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file) refuse(path, "cannot be read");
  auto size = static_cast<std::uintmax_t>(file.tellg());
  if (size > kLargestFile)
    refuse(path, fmt::format("{} bytes is too large for a shared object", size));
  std::string bytes(size, '\0');
  file.seekg(0);
  if (!file.read(bytes.data(), static_cast<std::streamsize>(size))) refuse(path, "cannot be read");
  return bytes;
}

// A copy of the `T` at `offset`, when the whole of it lies inside `bytes`.
template <class T>
bool readAt(std::string const& bytes, std::uint64_t offset, T& out) {
  if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return false;
  std::memcpy(&out, bytes.data() + offset, sizeof(T));
  return true;
}

// The section at `index`, or false when the table does not hold it.
bool sectionAt(std::string const& bytes, ElfW(Ehdr) const& header, std::uint64_t index,
               ElfW(Shdr) & section) {
  if (index >= header.e_shnum) return false;
  return readAt(bytes, header.e_shoff + index * sizeof(ElfW(Shdr)), section);
}

bool fitsFile(std::string const& bytes, ElfW(Shdr) const& section) {
  return section.sh_offset <= bytes.size() && section.sh_size <= bytes.size() - section.sh_offset;
}

// Names the sanitizers give the symbols they add to an instrumented object.
bool sanitizerMade(std::string_view name) {
  for (std::string_view prefix : {"__odr_asan", "__asan_", "__ubsan_", "__sanitizer_"}) {
    if (name.starts_with(prefix)) return true;
  }
  return false;
}

}  // namespace

std::string demangledName(std::string const& name) {
  if (!name.starts_with("_Z")) return name;
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> text(
      abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), &std::free);
  return status == 0 && text ? std::string(text.get()) : name;
}

std::vector<ExportedSymbol> exportedSymbols(std::string const& path) {
  std::string bytes = readWhole(path);
  ElfW(Ehdr) header{};
  if (!readAt(bytes, 0, header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
    refuse(path, "not an ELF file");
  }
  constexpr unsigned char kClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
  constexpr unsigned char kByteOrder =
      std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;
  if (header.e_ident[EI_CLASS] != kClass || header.e_ident[EI_DATA] != kByteOrder) {
    refuse(path, "an ELF file of another word size or byte order");
  }
  if (header.e_type != ET_DYN) refuse(path, "not a shared object");
  if (header.e_shentsize != sizeof(ElfW(Shdr))) refuse(path, "damaged section table");

  ElfW(Shdr) symbols{};
  bool found = false;
  for (std::uint64_t index = 0; index < header.e_shnum && !found; ++index) {
    if (!sectionAt(bytes, header, index, symbols)) refuse(path, "damaged section table");
    found = symbols.sh_type == SHT_DYNSYM;
  }
  if (!found) return {};  // exports nothing
  ElfW(Shdr) names{};
  if (!fitsFile(bytes, symbols) || symbols.sh_entsize != sizeof(ElfW(Sym)) ||
      !sectionAt(bytes, header, symbols.sh_link, names) || names.sh_type != SHT_STRTAB ||
      !fitsFile(bytes, names)) {
    refuse(path, "damaged dynamic symbol table");
  }
  std::string_view nameTable(bytes.data() + names.sh_offset, names.sh_size);

  std::vector<ExportedSymbol> exported;
  for (std::uint64_t offset = 0; offset + sizeof(ElfW(Sym)) <= symbols.sh_size;
       offset += sizeof(ElfW(Sym))) {
    ElfW(Sym) symbol{};
    readAt(bytes, symbols.sh_offset + offset, symbol);
    unsigned binding = ELF64_ST_BIND(symbol.st_info);
    unsigned type = ELF64_ST_TYPE(symbol.st_info);
    unsigned visibility = ELF64_ST_VISIBILITY(symbol.st_other);
    if (symbol.st_shndx == SHN_UNDEF) continue;
    if (binding != STB_GLOBAL && binding != STB_WEAK && binding != STB_GNU_UNIQUE) continue;
    if (visibility != STV_DEFAULT && visibility != STV_PROTECTED) continue;
    if (type != STT_FUNC && type != STT_OBJECT && type != STT_GNU_IFUNC) continue;
    if (symbol.st_name >= nameTable.size()) refuse(path, "damaged dynamic symbol names");
    auto rest = nameTable.substr(symbol.st_name);
    auto end = rest.find('\0');
    if (end == std::string_view::npos) refuse(path, "damaged dynamic symbol names");
    ExportedSymbol entry;
    entry.name = std::string(rest.substr(0, end));
    entry.demangled = demangledName(entry.name);
    // A unique symbol is an inline variable every object may define: shared as well.
    entry.weak = binding == STB_WEAK || binding == STB_GNU_UNIQUE;
    entry.generated = sanitizerMade(entry.name);
    entry.function = type != STT_OBJECT;
    exported.push_back(std::move(entry));
  }
  std::sort(exported.begin(), exported.end(), [](auto const& left, auto const& right) {
    return std::tie(left.demangled, left.name) < std::tie(right.demangled, right.name);
  });
  return exported;
}

}  // namespace Plugin
