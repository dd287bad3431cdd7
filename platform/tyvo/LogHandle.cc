#include "platform/tyvo/LogHandle.h"

#include <algorithm>
#include <mutex>

namespace Tyvo {
namespace {

struct Registry {
  std::mutex mutex;
  std::vector<LogHandle const*> handles;
};

Registry& registry() {
  static Registry instance;
  return instance;
}

}  // namespace

LogHandle::LogHandle(LogDescriptor descriptor, Vorl::Duration minimumInterval, double weight,
                     std::uint32_t burstCount, std::uint32_t initialCount)
    : descriptor_(std::move(descriptor)),
      minimumInterval_(minimumInterval),
      weight_(weight),
      burstCount_(burstCount),
      initialCount_(initialCount) {
  auto& handles = registry();
  std::lock_guard lock(handles.mutex);
  handles.handles.push_back(this);
}

LogHandle::~LogHandle() {
  auto& handles = registry();
  std::lock_guard lock(handles.mutex);
  auto found = std::find(handles.handles.begin(), handles.handles.end(), this);
  if (found != handles.handles.end()) handles.handles.erase(found);
}

Vorl::String LogHandle::message(std::vector<Vorl::String> const& arguments) const {
  Vorl::String text;
  std::size_t next = 0;
  std::string_view format = descriptor_.format;
  for (std::size_t position = 0; position < format.size(); ++position) {
    if (format.compare(position, 2, "%s") == 0 && next < arguments.size()) {
      text += arguments[next++];
      ++position;
    } else {
      text += format[position];
    }
  }
  return text;
}

std::vector<LogDescriptor> LogHandle::liveHandles() {
  auto& handles = registry();
  std::lock_guard lock(handles.mutex);
  std::vector<LogDescriptor> descriptors;
  descriptors.reserve(handles.handles.size());
  for (auto const* handle : handles.handles) descriptors.push_back(handle->descriptor());
  return descriptors;
}

}  // namespace Tyvo
