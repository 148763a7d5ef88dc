#include "imaging/pxmetadata.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace rv {

// ---- TPxMarkerList ----

std::unique_ptr<TMemoryStream> TPxMarkerList::MakeBlock(const void* data, int64_t length) {
  auto block = std::make_unique<TMemoryStream>();
  block->SetSize(length);
  if (data && length > 0) std::memcpy(block->Memory(), data, static_cast<size_t>(length));
  return block;
}

uint8_t TPxMarkerList::MarkerType(int i) const {
  return Valid(i) ? entries_[static_cast<size_t>(i)].type : 0;
}

uint8_t* TPxMarkerList::MarkerData(int i) {
  if (!Valid(i)) return nullptr;
  TMemoryStream& s = *entries_[static_cast<size_t>(i)].data;
  return s.Size() > 0 ? s.Memory() : nullptr;
}

int TPxMarkerList::MarkerLength(int i) const {
  return Valid(i) ? static_cast<int>(entries_[static_cast<size_t>(i)].data->Size()) : 0;
}

TMemoryStream* TPxMarkerList::MarkerStream(int i) {
  return Valid(i) ? entries_[static_cast<size_t>(i)].data.get() : nullptr;
}

int TPxMarkerList::IndexOfType(uint8_t type) const {
  for (int i = 0; i < Count(); ++i)
    if (entries_[static_cast<size_t>(i)].type == type) return i;
  return -1;
}

int TPxMarkerList::AddMarker(uint8_t type, const void* data, uint16_t length) {
  entries_.push_back(Entry{type, MakeBlock(data, length)});
  return Count() - 1;
}

void TPxMarkerList::ReplaceMarker(int i, uint8_t type, uint16_t length, const void* data) {
  if (!Valid(i)) return;
  Entry& e = entries_[static_cast<size_t>(i)];
  e.data = MakeBlock(data, length);  // built before anything changes, so a failure keeps the old entry
  e.type = type;
}

void TPxMarkerList::DeleteMarker(int i) {
  if (Valid(i)) entries_.erase(entries_.begin() + i);
}

void TPxMarkerList::AssignFrom(const TPxMarkerList& other) {
  if (&other == this) return;
  ClearMarkers();
  for (const Entry& e : other.entries_) entries_.push_back(Entry{e.type, MakeBlock(e.data->Memory(), e.data->Size())});
}

// ---- TPxIPTCInfoList ----

int TPxIPTCInfoList::AddRecord(int record, int dataset, int length, const void* data) {
  length = std::max(length, 0);
  std::vector<uint8_t> copy(static_cast<size_t>(length));
  if (data && length > 0) std::memcpy(copy.data(), data, static_cast<size_t>(length));
  data_.push_back(std::move(copy));
  try {
    infos_.push_back(TPxIPTCInfo{record, dataset, length});
  } catch (...) {
    data_.pop_back();  // keep the two lists parallel
    throw;
  }
  changed_ = true;
  return Count() - 1;
}

void TPxIPTCInfoList::ClearRecords() {
  infos_.clear();
  data_.clear();
  changed_ = true;
}

void TPxIPTCInfoList::AssignFrom(const TPxIPTCInfoList& other) {
  if (&other == this) return;
  infos_ = other.infos_;
  data_ = other.data_;
  changed_ = other.changed_;
}

void TPxIPTCInfoList::ParseIPTC(const uint8_t* buffer, int length) {
  ClearRecords();
  // Offsets in 64 bits: a length read from the data is added to them.
  const int64_t end = buffer ? std::max(length, 0) : 0;
  int64_t i = 0;
  while (i < end && buffer[i] != 0x1C) ++i;
  while (i + 5 < end && buffer[i] == 0x1C) {
    const int record = buffer[i + 1];
    const int dataset = buffer[i + 2];
    int64_t dataLength;
    int64_t start;
    if (buffer[i + 3] & 0x80) {
      // Extended length: a 32-bit big-endian count, read as unsigned so it can never go negative.
      if (i + 8 >= end) break;
      dataLength = (int64_t{buffer[i + 5]} << 24) | (int64_t{buffer[i + 6]} << 16) | (int64_t{buffer[i + 7]} << 8) |
                   int64_t{buffer[i + 8]};
      start = i + 9;
    } else {
      dataLength = (int64_t{buffer[i + 3]} << 8) | int64_t{buffer[i + 4]};
      start = i + 5;
    }
    if (start + dataLength > end) break;
    AddRecord(record, dataset, static_cast<int>(dataLength), buffer + start);
    i = start + dataLength;
  }
  changed_ = false;
}

// ---- TPxList ----

TPxList::TPxList(int itemSize) : itemSize_(std::max(itemSize, 0)) {}

void TPxList::SetCount(int n) {
  n = std::max(n, 0);
  uint64_t bytes = static_cast<uint64_t>(n) * static_cast<uint64_t>(itemSize_);
  if (bytes > items_.max_size()) throw std::bad_alloc();
  items_.resize(static_cast<size_t>(bytes));
  count_ = n;
  changed_ = true;
}

void TPxList::Delete(int index) {
  if (index < 0 || index >= count_) return;
  auto first = items_.begin() + static_cast<ptrdiff_t>(index) * itemSize_;
  items_.erase(first, first + itemSize_);
  --count_;
  changed_ = true;
}

void TPxList::Clear() {
  items_.clear();
  items_.shrink_to_fit();
  count_ = 0;
  changed_ = false;
}

void TPxList::AssignFrom(const TPxList& other) {
  if (&other == this) return;
  items_ = other.items_;
  count_ = other.count_;
  itemSize_ = other.itemSize_;
  changed_ = other.changed_;
}

int TPxList::AddItem(const void* item) {
  if (count_ == std::numeric_limits<int>::max()) throw std::bad_alloc();
  SetCount(count_ + 1);
  if (item && itemSize_ > 0) std::memcpy(ItemPtr(count_ - 1), item, static_cast<size_t>(itemSize_));
  return count_ - 1;
}

uint8_t* TPxList::ItemPtr(int i) {
  if (i < 0 || i >= count_ || itemSize_ == 0) return nullptr;
  return items_.data() + static_cast<size_t>(i) * static_cast<size_t>(itemSize_);
}

const uint8_t* TPxList::ItemPtr(int i) const {
  return const_cast<TPxList*>(this)->ItemPtr(i);
}

// ---- TPxValueList ----

template <typename T>
T TPxValueList<T>::Item(int i) const {
  T v{};
  if (const uint8_t* p = ItemPtr(i)) std::memcpy(&v, p, sizeof v);
  return v;
}

template <typename T>
void TPxValueList<T>::SetItem(int i, T v) {
  if (uint8_t* p = ItemPtr(i)) {
    std::memcpy(p, &v, sizeof v);
    changed_ = true;
  }
}

template <typename T>
void TPxValueList<T>::AssignFrom(const TPxList& other) {
  // A list of another item type would leave items this list cannot read.
  const auto* same = dynamic_cast<const TPxValueList<T>*>(&other);
  if (!same || same == this) return;
  TPxList::AssignFrom(other);
  rangeMin_ = same->rangeMin_;
  rangeMax_ = same->rangeMax_;
  rangeStep_ = same->rangeStep_;
  currentValue_ = same->currentValue_;
}

template class TPxValueList<int32_t>;
template class TPxValueList<double>;

}  // namespace rv
