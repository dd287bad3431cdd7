#include "python/EntryDicts.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <map>
#include <memory>

#include <fmt/format.h>

#include "framework/BitCopy.h"
#include "framework/FieldValues.h"
#include "platform/pelcar/SchanCmd.h"

namespace PyHwtables {

namespace py = pybind11;

namespace {

// Bits [offset, offset + width) of the entry, width <= 64, as a number: bit b of the
// entry is bit b % 8 of byte b / 8 (framework/BitCopy.h).
U64 numberAt(std::span<U8 const> data, U32 offset, U32 width) {
  U32 first = offset / 8;
  U32 shift = offset % 8;
  U64 mask = width >= 64 ? ~U64{0} : (U64{1} << width) - 1;
  // shift + width <= 7 + 64 bits: at most nine bytes. With nine bytes left, the first
  // eight are one little-endian load and the ninth gives the top bits.
  if (first + 9 <= data.size()) {
    U64 low;
    std::memcpy(&low, data.data() + first, sizeof low);
    if constexpr (std::endian::native == std::endian::big) low = __builtin_bswap64(low);
    U64 number = low >> shift;
    if (shift != 0) number |= U64{data[first + 8]} << (64 - shift);
    return number & mask;
  }
  U64 number = 0;
  for (U32 index = 0; index < 9 && first + index < data.size() && 8 * index < shift + width;
       ++index) {
    U64 byte = data[first + index];
    if (8 * index >= shift) {
      number |= byte << (8 * index - shift);
    } else {
      number |= byte >> (shift - 8 * index);
    }
  }
  return number & mask;
}

// A bitmap field's text as every view shows it; no bits: all zero.
std::string bitmapText(U32 width, std::vector<U8> bits) {
  Framework::FieldValue value;
  value.bitmap = true;
  value.width = width;
  value.bits = std::move(bits);
  value.bits.resize((width + 7) / 8, 0);
  return value.text();
}

py::object interned(std::string const& text) {
  return py::reinterpret_steal<py::object>(PyUnicode_InternFromString(text.c_str()));
}

// Sets dict[name] to `value`, a new reference (taken). The C API directly: this runs
// once per field of every entry shown.
void setItem(py::dict& dict, py::object const& name, PyObject* value) {
  if (!value) throw py::error_already_set();
  int failed = PyDict_SetItem(dict.ptr(), name.ptr(), value);
  Py_DECREF(value);
  if (failed != 0) throw py::error_already_set();
}

}  // namespace

EntryDicts::EntryDicts(Framework::TableInfo const& info) : info_(info) {
  for (auto const& field : info.fields) {
    if (Framework::repeatsOtherFields(info, field)) continue;
    bool bitmap = field.kind == Framework::FieldKind::bitmap;
    if (field.kind == Framework::FieldKind::indexed) {
      for (U32 index = 0; index < field.count; ++index) {
        slots_.push_back({interned(fmt::format("{}({})", field.name, index)), {},
                          field.offset + index * field.stride, field.width, false});
      }
    } else {
      slots_.push_back({interned(std::string(field.name)), {}, field.offset, field.width, bitmap});
    }
  }
  zeros_ = py::reinterpret_steal<py::dict>(_PyDict_NewPresized(static_cast<Py_ssize_t>(slots_.size())));
  if (!zeros_) throw py::error_already_set();
  for (auto& slot : slots_) {
    if (slot.bitmap) {
      slot.zero = py::str(bitmapText(slot.width, {}));
    } else {
      slot.zero = py::reinterpret_steal<py::object>(PyLong_FromLong(0));
    }
    setItem(zeros_, slot.name, slot.zero.inc_ref().ptr());
  }
}

U64 EntryDicts::number(std::span<U8 const> bytes, Slot const& slot) {
  // A number's low 64 bits, as every view shows it.
  return numberAt(bytes, slot.offset, std::min<U32>(slot.width, 64));
}

py::object EntryDicts::bitmap(std::span<U8 const> data, Slot const& slot) {
  std::vector<U8> bits((slot.width + 7) / 8, 0);
  Framework::copyBits(bits.data(), bits.size(), data.data(), data.size(), slot.width, 0,
                      slot.offset);
  if (std::all_of(bits.begin(), bits.end(), [](U8 byte) { return byte == 0; })) return slot.zero;
  return py::str(bitmapText(slot.width, std::move(bits)));
}

EntryDicts const& EntryDicts::of(Framework::TableInfo const& info) {
  // Kept for the life of the process (never destroyed: its Python strings must not be
  // released after the interpreter has gone). Guarded by the GIL.
  static auto* made = new std::map<Framework::TableInfo const*, std::unique_ptr<EntryDicts>>();
  auto& slot = (*made)[&info];
  if (!slot) slot = std::make_unique<EntryDicts>(info);
  return *slot;
}

py::dict EntryDicts::fields(std::span<U8 const> data) const {
  if (data.size() != info_.entryBytes) return py::dict();
  // Numbers are read from a copy with eight bytes of zeros after the entry, so that
  // each is one 8-byte load (numberAt), the last ones too.
  std::array<U8, 64 + 8> padded{};
  std::span<U8 const> bytes = data;
  if (data.size() + 8 <= padded.size()) {
    std::copy(data.begin(), data.end(), padded.begin());
    bytes = std::span<U8 const>(padded.data(), data.size() + 8);
  }
  // The numbers are cheap to decode twice; how many are not zero decides how the
  // dict is made.
  std::size_t set = 0;
  for (auto const& slot : slots_) set += !slot.bitmap && number(bytes, slot) != 0;
  if (2 * set <= slots_.size()) return sparse(data, bytes);
  // Most fields set: a dict of the right size filled in order (what the zeros' copy
  // would save is then spent overwriting its values).
  auto dict = py::reinterpret_steal<py::dict>(_PyDict_NewPresized(static_cast<Py_ssize_t>(slots_.size())));
  if (!dict) throw py::error_already_set();
  for (auto const& slot : slots_) {
    if (slot.bitmap) {
      setItem(dict, slot.name, bitmap(data, slot).release().ptr());
    } else {
      setItem(dict, slot.name, PyLong_FromUnsignedLongLong(number(bytes, slot)));
    }
  }
  return dict;
}

py::dict EntryDicts::sparse(std::span<U8 const> data, std::span<U8 const> bytes) const {
  auto dict = py::reinterpret_steal<py::dict>(PyDict_Copy(zeros_.ptr()));
  if (!dict) throw py::error_already_set();
  for (auto const& slot : slots_) {
    if (slot.bitmap) {
      if (auto text = bitmap(data, slot); !text.is(slot.zero)) setItem(dict, slot.name, text.release().ptr());
      continue;
    }
    if (U64 value = number(bytes, slot); value != 0) {
      setItem(dict, slot.name, PyLong_FromUnsignedLongLong(value));
    }
  }
  return dict;
}

py::dict EntryDicts::key(U8 arrayIndex, U32 entryIndex) const {
  static auto* array = new py::object(interned("arrayIndex"));
  static auto* entry = new py::object(interned("entryIndex"));
  py::dict key;
  setItem(key, *array, PyLong_FromUnsignedLong(arrayIndex));
  setItem(key, *entry, PyLong_FromUnsignedLong(entryIndex));
  return key;
}

py::dict EntryDicts::entry(U8 arrayIndex, U32 entryIndex, std::span<U8 const> data) const {
  static auto* keyName = new py::object(interned("key"));
  static auto* dataName = new py::object(interned("data"));
  static auto* fieldsName = new py::object(interned("fields"));
  // The data in hex as every view prints it (Pelcar::hexBytes), without a formatter.
  static constexpr char kDigits[] = "0123456789abcdef";
  char hex[2 * 64];
  std::size_t length = 0;
  for (std::size_t index = 0; index < data.size() && length + 2 <= sizeof hex; ++index) {
    hex[length++] = kDigits[data[index] >> 4];
    hex[length++] = kDigits[data[index] & 0xF];
  }
  py::dict entry;
  setItem(entry, *keyName, key(arrayIndex, entryIndex).release().ptr());
  setItem(entry, *dataName,
          data.size() * 2 <= sizeof hex
              ? PyUnicode_FromStringAndSize(hex, static_cast<Py_ssize_t>(length))
              : py::str(Pelcar::hexBytes(data.data(), data.size())).release().ptr());
  setItem(entry, *fieldsName, fields(data).release().ptr());
  return entry;
}

}  // namespace PyHwtables
