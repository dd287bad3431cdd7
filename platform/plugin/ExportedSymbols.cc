#include "platform/plugin/ExportedSymbols.h"

#include <cxxabi.h>
#include <elf.h>
#include <link.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string_view>
#include <tuple>

#include <fmt/format.h>

#include "platform/vorl/Exceptions.h"

namespace Plugin {
namespace {

// A dynamic symbol table or its names larger than this are damage, not a plug-in.
constexpr std::uint64_t kLargestSection = std::uint64_t{64} << 20;

[[noreturn]] void refuse(std::string const& path, std::string const& reason) {
  throw Vorl::InvalidInitializeException(fmt::format("{}: {}", path, reason));
}

// Reads the parts of one file it is asked for, each checked against the file's size:
// only the headers and the two sections needed are read, not the whole object (a
// plug-in with debug information is large).
class ElfFile {
 public:
  explicit ElfFile(std::string path) : path_(std::move(path)), file_(path_, std::ios::binary) {
    if (!file_) refuse(path_, "cannot be read");
    file_.seekg(0, std::ios::end);
    size_ = static_cast<std::uint64_t>(file_.tellg());
  }

  // The `T` at `offset`; false when it does not lie wholly inside the file.
  template <class T>
  bool read(std::uint64_t offset, T& out) {
    return readBytes(offset, sizeof(T), reinterpret_cast<char*>(&out));
  }

  // The contents of a section; refused when outside the file or too large.
  std::string section(ElfW(Shdr) const& header, char const* what) {
    if (header.sh_size > kLargestSection) refuse(path_, fmt::format("damaged {}", what));
    std::string bytes(header.sh_size, '\0');
    if (!readBytes(header.sh_offset, header.sh_size, bytes.data())) {
      refuse(path_, fmt::format("damaged {}", what));
    }
    return bytes;
  }

 private:
  bool readBytes(std::uint64_t offset, std::uint64_t count, char* out) {
    if (offset > size_ || size_ - offset < count) return false;
    file_.clear();
    file_.seekg(static_cast<std::streamoff>(offset));
    return static_cast<bool>(file_.read(out, static_cast<std::streamsize>(count)));
  }

  std::string path_;
  std::ifstream file_;
  std::uint64_t size_ = 0;
};

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
  ElfFile file(path);
  ElfW(Ehdr) header{};
  if (!file.read(0, header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
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
  auto sectionAt = [&](std::uint64_t index, ElfW(Shdr) & section) {
    if (index >= header.e_shnum ||
        !file.read(header.e_shoff + index * sizeof(ElfW(Shdr)), section)) {
      refuse(path, "damaged section table");
    }
  };

  ElfW(Shdr) symbolSection{};
  bool found = false;
  for (std::uint64_t index = 0; index < header.e_shnum && !found; ++index) {
    sectionAt(index, symbolSection);
    found = symbolSection.sh_type == SHT_DYNSYM;
  }
  if (!found) return {};  // exports nothing
  if (symbolSection.sh_entsize != sizeof(ElfW(Sym))) refuse(path, "damaged dynamic symbol table");
  ElfW(Shdr) nameSection{};
  sectionAt(symbolSection.sh_link, nameSection);
  if (nameSection.sh_type != SHT_STRTAB) refuse(path, "damaged dynamic symbol table");
  std::string symbols = file.section(symbolSection, "dynamic symbol table");
  std::string names = file.section(nameSection, "dynamic symbol names");
  std::string_view nameTable(names);

  std::vector<ExportedSymbol> exported;
  for (std::size_t offset = 0; offset + sizeof(ElfW(Sym)) <= symbols.size();
       offset += sizeof(ElfW(Sym))) {
    ElfW(Sym) symbol{};
    std::memcpy(&symbol, symbols.data() + offset, sizeof(symbol));
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
