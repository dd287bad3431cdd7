#include "platform/vorl/Toggle.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <utility>

#include <nlohmann/json.hpp>

namespace Vorl {
namespace {

std::mutex& cacheMutex() {
  static std::mutex* mutex = new std::mutex();
  return *mutex;
}

std::map<std::pair<std::string, std::string>, bool>& cache() {
  static auto* entries = new std::map<std::pair<std::string, std::string>, bool>();
  return *entries;
}

bool readToggle(std::string const& path, std::string_view toggleName) {
  std::ifstream file(path);
  if (!file) return true;
  nlohmann::json document = nlohmann::json::parse(file, nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded() || !document.is_object()) {
    std::fprintf(stderr, "toggle file %s is not a JSON object; toggles in it stay on\n",
                 path.c_str());
    return true;
  }
  auto found = document.find(std::string(toggleName));
  if (found == document.end() || !found->is_boolean()) return true;
  return found->get<bool>();
}

}  // namespace

std::string toggleDirectory() {
  char const* directory = std::getenv("HWTABLES_TOGGLE_DIR");
  return directory != nullptr && *directory != '\0' ? directory : "/etc/hwtables/toggles";
}

bool getToggleState(std::string_view fileName, std::string_view toggleName) {
  std::lock_guard lock(cacheMutex());
  auto key = std::make_pair(std::string(fileName), std::string(toggleName));
  auto found = cache().find(key);
  if (found != cache().end()) return found->second;
  bool state = readToggle(toggleDirectory() + "/" + key.first, toggleName);
  cache().emplace(std::move(key), state);
  return state;
}

void toggleCacheClear() {
  std::lock_guard lock(cacheMutex());
  cache().clear();
}

}  // namespace Vorl
