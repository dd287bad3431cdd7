#include "tests/store/StoreTestSupport.h"

#include <fcntl.h>

#include <fstream>
#include <iterator>
#include <mutex>

#include "platform/vorl/Trace.h"

namespace StoreTest {

std::vector<unsigned char> readFile(std::string const& path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(file), {});
}

void patchFile(std::string const& path, std::size_t offset, void const* bytes, std::size_t size) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  ssize_t done = ::pwrite(fd, bytes, size, static_cast<off_t>(offset));
  ::close(fd);
  if (done != static_cast<ssize_t>(size)) throw std::runtime_error("cannot patch " + path);
}

struct TraceCapture::State {
  std::mutex mutex;
  std::string text;
};

TraceCapture::TraceCapture() : state_(std::make_shared<State>()) {
  Vorl::traceConfigIs(
      "BrellWriter=5,SlotTable=5,WriterHashMap=5,BucketTable=5,BrellReader=5,ReaderHashMap=5,"
      "Validator=5,BrellMap=5,BrellTemp=5,BrellShadow=5,ShadowStore=5,ShadowHashMap=5");
  auto state = state_;
  Vorl::traceSinkIs([state](std::string_view handle, int, std::string_view text) {
    std::lock_guard lock(state->mutex);
    state->text.append(handle).append(": ").append(text).append("\n");
  });
}

TraceCapture::~TraceCapture() {
  Vorl::traceSinkIs({});
  Vorl::traceConfigIs("");
}

bool TraceCapture::contains(std::string_view text) const {
  std::lock_guard lock(state_->mutex);
  return state_->text.find(text) != std::string::npos;
}

std::string TraceCapture::all() const {
  std::lock_guard lock(state_->mutex);
  return state_->text;
}

}  // namespace StoreTest
