// TPxFileBuffer: the temporary-file store of one file-backed TPxBitmap.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace rv {

// Access bits of a row view: a view only read need not be written back; a view
// wholly overwritten need not be read first.
inline constexpr uint8_t kAccessRead = 1;
inline constexpr uint8_t kAccessWrite = 2;
inline constexpr uint8_t kAccessReadWrite = kAccessRead | kAccessWrite;

// The file is created with O_EXCL and mode 0600 in the temporary directory and
// unlinked at once, so it vanishes on every path out of the process, crashes
// included; the descriptor keeps it alive while the bitmap needs it.
// Row views are heap buffers; a view with kAccessWrite is written back when
// it is released.
class TPxFileBuffer {
 public:
  TPxFileBuffer() = default;
  ~TPxFileBuffer();
  TPxFileBuffer(const TPxFileBuffer&) = delete;
  TPxFileBuffer& operator=(const TPxFileBuffer&) = delete;

  // Creates a file of `size` bytes (space reserved). False on any failure; the
  // caller then keeps the pixels in memory.
  bool Create(const std::string& prefix, int64_t size);
  bool IsOpen() const { return fd_ >= 0; }
  int64_t Size() const { return size_; }
  const std::string& FileName() const { return fileName_; }

  // Hands out a buffer of `length` bytes for file offset `offset`; reads it when
  // access has kAccessRead. Throws std::bad_alloc when the buffer cannot be had.
  uint8_t* MapView(int64_t offset, int64_t length, uint8_t access);
  // Writes back (kAccessWrite) and frees one view.
  void UnmapView(uint8_t* buffer);
  void UnmapAllViews();
  // Drops every view, closes the file.
  void Release();

  // Copies `count` bytes from `source` at `offset` to the same offset here.
  bool CopyFrom(TPxFileBuffer& source, int64_t offset, int64_t count);

  bool ReadAt(int64_t offset, void* data, int64_t count);
  bool WriteAt(int64_t offset, const void* data, int64_t count);

 private:
  struct View {
    int64_t offset;
    int64_t length;
    std::unique_ptr<uint8_t[]> buffer;
    uint8_t access;
  };
  int fd_ = -1;
  int64_t size_ = 0;
  std::string fileName_;
  std::vector<View> views_;
};

}  // namespace rv
