// Metadata containers kept with a picture: the JPEG markers, the IPTC records
// and the typed array lists of the parameter record.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/stream.h"

namespace rv {

// JPEG markers in file order: a type byte and a data block each; every block
// is a copy held in its own memory stream. Indices out of range are ignored
// (queries answer 0, -1 or nullptr).
class TPxMarkerList {
 public:
  int Count() const { return static_cast<int>(entries_.size()); }
  uint8_t MarkerType(int i) const;
  // Address of the data (nullptr for an empty block); valid until the entry changes.
  uint8_t* MarkerData(int i);
  int MarkerLength(int i) const;
  TMemoryStream* MarkerStream(int i);
  // First index with that type, or -1.
  int IndexOfType(uint8_t type) const;
  // Copies length bytes (zeros when data is nullptr); returns the new index.
  int AddMarker(uint8_t type, const void* data, uint16_t length);
  void ReplaceMarker(int i, uint8_t type, uint16_t length, const void* data);
  void DeleteMarker(int i);
  void ClearMarkers() { entries_.clear(); }
  void AssignFrom(const TPxMarkerList& other);

 private:
  struct Entry {
    uint8_t type = 0;
    std::unique_ptr<TMemoryStream> data;
  };
  static std::unique_ptr<TMemoryStream> MakeBlock(const void* data, int64_t length);
  bool Valid(int i) const { return i >= 0 && i < Count(); }
  std::vector<Entry> entries_;
};

// One IPTC record: record and dataset numbers and the length of its data.
struct TPxIPTCInfo {
  int32_t Record = 0;
  int32_t Dataset = 0;
  int32_t Length = 0;
};

// IPTC records with copies of their data. Changed() tells whether the list
// was edited since it was last parsed.
class TPxIPTCInfoList {
 public:
  int Count() const { return static_cast<int>(infos_.size()); }
  // Indices must be in range.
  const TPxIPTCInfo& Info(int i) const { return infos_[static_cast<size_t>(i)]; }
  const uint8_t* Data(int i) const { return data_[static_cast<size_t>(i)].data(); }
  // Copies length bytes (a negative length counts as 0; zeros when data is nullptr);
  // sets the changed flag and returns the new index.
  int AddRecord(int record, int dataset, int length, const void* data);
  void ClearRecords();
  void AssignFrom(const TPxIPTCInfoList& other);
  // Replaces the list with the records of an IPTC block (tag 0x1C, record,
  // dataset, 16-bit or extended length). Parsing ends at the first byte that
  // does not start a record or at a record that does not fit in the buffer.
  void ParseIPTC(const uint8_t* buffer, int length);
  bool Changed() const { return changed_; }
  void SetChanged(bool v) { changed_ = v; }

 private:
  std::vector<TPxIPTCInfo> infos_;
  std::vector<std::vector<uint8_t>> data_;
  bool changed_ = false;
};

// A heap array of Count items of ItemSize bytes with a changed flag.
// Indices out of range are ignored; a count that cannot be held throws std::bad_alloc.
class TPxList {
 public:
  explicit TPxList(int itemSize);
  virtual ~TPxList() = default;
  TPxList(const TPxList&) = delete;
  TPxList& operator=(const TPxList&) = delete;

  // Keeps the first min(old, n) items; new items are zero. Sets the changed flag.
  virtual void SetCount(int n);
  virtual void Delete(int index);
  // Empties the list and clears the changed flag.
  virtual void Clear();
  // Copies count, item size, changed flag and items.
  virtual void AssignFrom(const TPxList& other);

  int Count() const { return count_; }
  int ItemSize() const { return itemSize_; }
  bool Changed() const { return changed_; }
  void SetChanged(bool v) { changed_ = v; }
  // Appends a copy of ItemSize bytes at item; returns its index.
  int AddItem(const void* item);
  // Address of item i, nullptr when out of range.
  uint8_t* ItemPtr(int i);
  const uint8_t* ItemPtr(int i) const;

 protected:
  std::vector<uint8_t> items_;
  int count_ = 0;
  int itemSize_;
  bool changed_ = false;
};

// Lists of one numeric type with a range (minimum, maximum, step) and a current value.
template <typename T>
class TPxValueList : public TPxList {
 public:
  TPxValueList() : TPxList(sizeof(T)) {}
  // Out of range reads give 0; out of range writes are ignored.
  T Item(int i) const;
  void SetItem(int i, T v);
  int Add(T v) { return AddItem(&v); }
  // Copies a list of the same type, with its range and current value; other lists are ignored.
  void AssignFrom(const TPxList& other) override;

  T RangeMin() const { return rangeMin_; }
  T RangeMax() const { return rangeMax_; }
  T RangeStep() const { return rangeStep_; }
  void SetRange(T minimum, T maximum, T step) {
    rangeMin_ = minimum;
    rangeMax_ = maximum;
    rangeStep_ = step;
  }
  T CurrentValue() const { return currentValue_; }
  void SetCurrentValue(T v) { currentValue_ = v; }

 private:
  T rangeMin_ = 0;
  T rangeMax_ = 0;
  T rangeStep_ = 0;
  T currentValue_ = 0;
};

extern template class TPxValueList<int32_t>;
extern template class TPxValueList<double>;

class TPxIntegerList : public TPxValueList<int32_t> {};
class TPxDoubleList : public TPxValueList<double> {};

// Items of a size chosen at creation.
class TPxRecordList : public TPxList {
 public:
  explicit TPxRecordList(int itemSize) : TPxList(itemSize) {}
};

}  // namespace rv
