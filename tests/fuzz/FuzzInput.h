// Shared pieces of the fuzz harnesses. Each defines LLVMFuzzerTestOneInput; the
// libFuzzer build links libFuzzer's main, the other builds ReplayMain.cc.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size);

namespace Fuzz {

// Consumes the input front to back: a 4-byte little-endian length followed by that
// many bytes (cut short by the end of the input), or the rest of the input.
class Framed {
 public:
  Framed(std::uint8_t const* data, std::size_t size) : data_(data), size_(size) {}

  std::string_view part() {
    std::uint32_t length = 0;
    for (int index = 0; index < 4 && at_ < size_; ++index) {
      length |= std::uint32_t{data_[at_++]} << (8 * index);
    }
    std::size_t take = std::min<std::size_t>(length, size_ - at_);
    std::string_view result(reinterpret_cast<char const*>(data_) + at_, take);
    at_ += take;
    return result;
  }
  std::string_view rest() {
    std::string_view result(reinterpret_cast<char const*>(data_) + at_, size_ - at_);
    at_ = size_;
    return result;
  }

 private:
  std::uint8_t const* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// A directory of this process's own (under /dev/shm, else /tmp), emptied before each
// input and removed with everything in it when the process ends.
class ScratchDirectory {
 public:
  static ScratchDirectory& instance();
  std::string const& path() const { return path_; }
  void empty() const;
  void write(char const* name, std::string_view bytes) const;
  ~ScratchDirectory();

 private:
  ScratchDirectory();
  std::string path_;
};

}  // namespace Fuzz
