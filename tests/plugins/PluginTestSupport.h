// What the plug-in tests share: their headers and the plug-in of the build tree.
#pragma once

#include <dlfcn.h>
#include <elf.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "framework/TableRegistry.h"
#include "platform/hardware/FapRevision.h"
#include "platform/plugin/Plugin.h"
#include "platform/plugin/PluginDirectory.h"
#include "platform/tessar/HwTableHolderContext.h"
#include "platform/tyvo/TypeRuntime.h"
#include "platform/vorl/Exceptions.h"

namespace PluginTest {

constexpr char const* kPluginFile = "hwtables-bcm88490_a0.so";

// The plug-in of the build tree, by its real path (as the loader names it).
inline std::string pluginPath() {
  return std::filesystem::canonical(std::filesystem::path(Plugin::defaultPluginDirectory()) / kPluginFile)
      .string();
}

// The plug-in's bytes, read whole: byte by byte through a stream iterator, the sanitizer
// build's plug-in of hundreds of megabytes took half a minute.
inline std::string pluginBytes() {
  std::ifstream file(pluginPath(), std::ios::binary | std::ios::ate);
  auto size = file.tellg();
  if (!file || size < 0) return {};
  std::string bytes(static_cast<std::size_t>(size), '\0');
  file.seekg(0);
  file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return file ? bytes : std::string();
}

// A directory below the system's temporary one (where a plug-in copy may be loaded),
// removed with everything in it afterwards.
class TempDirectory {
 public:
  TempDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "hwtables-plugins-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDirectory() { std::filesystem::remove_all(path_); }
  std::filesystem::path const& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace PluginTest
