// The format registry (one process-wide table of the formats the system knows,
// with their extensions and readers) and recognition of a stream's format by
// its content.
//
// Readers plug in through one table in formats.cpp that lists every built-in
// format in detection order with its content test and its reader entry point,
// both declared by the reader's header in io/readers/ (for example
// io/readers/bmpreader.h: IsBmp and ReadBmp). Every reader entry takes a
// TReadContext (io/readcontext.h), and those with options a per-format options
// struct as well; the table holds a reader without options directly (ReadPng),
// one with options through WithDefaultOptions (WithDefaultOptions<ReadBmp>),
// and the two that need more a small lambda (JPEG 2000 code streams, the
// composed GIF). BuiltInFormats() hands the same formats out in lookup order.
// A format whose reader is not written yet has a null ReadFunction; loading
// it sets the abort flag with the reason "<description>: no reader".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rv {

class TStream;
struct TReadContext;

// FileFormatCode: the integer that names a format (ImageParams.FileType).
enum TFileFormatCode : int32_t {
  ffNone = 0,
  ffTIFF = 1,
  ffGIF = 2,
  ffJPEG = 3,
  ffPCX = 4,
  ffBMP = 5,
  ffICO = 6,
  ffCUR = 7,
  ffPNG = 8,
  ffWMF = 9,
  ffEMF = 10,
  ffTGA = 11,
  ffPNM = 12,
  ffJP2 = 13,
  ffJ2K = 14,
  ffAVI = 15,
  ffWBMP = 16,
  ffPostScript = 17,
  ffPDF = 18,
  ffDCX = 19,
  ffRAW = 20,
  ffRawPixels = 21,
};

// A reader entry: decodes ctx.Stream from its current position into
// ctx.Bitmap and fills ctx.Params (io/readcontext.h). With ctx.ParamsOnly it
// fills the parameters and stops before allocating pixels. Failure is
// reported through ctx.Progress.Fail (abort flag), never by throwing for bad
// data; it leaves the bitmap untouched, or partly filled when the data ends
// early. Readers that find transparency hand it back in *ctx.MaskOut.
// Every reader passes its header through CheckImageHeader (io/limits.h)
// before allocating.
using TReadFunction = void (*)(TReadContext& ctx);
// Content test: true when the stream (positioned at its start) holds this format.
using TTryFunction = bool (*)(TStream& stream, int32_t fileType);

struct TFileFormatInfo {
  int32_t FileType = ffNone;
  std::string Description;               // at most 80 characters
  std::string Extensions;                // "TIF;TIFF;...": no dots, upper case, ";"-separated, at most 80 characters
  bool InternalFormat = false;           // built-in; false for formats registered at run time
  uint16_t DialogPage = 0;               // save-options pages (save side)
  bool Writable = false;                 // a writer exists for it (save side, not built here)
  TReadFunction ReadFunction = nullptr;  // null: the format cannot be read (yet)
  TTryFunction TryFunction = nullptr;    // null for built-ins: their content tests sit in the built-in table
};

// The built-in table, in lookup order. The registry starts as a copy of it.
std::vector<TFileFormatInfo> BuiltInFormats();

// Lookups in the process-wide registry. Pointers stay valid until the
// registry changes (RegisterFileFormat / UnregisterFileFormat / SetReadFunction).
const TFileFormatInfo* FindFormatByType(int32_t code);
// Case-insensitive; a leading "." is ignored. "avi" gives none.
const TFileFormatInfo* FindFormatByExtension(std::string_view extension);
int32_t FormatCodeOfExtension(std::string_view extension);
int FormatExtensionCount(int32_t code);
// The index-th extension of a format's list, "" past its end.
std::string FormatExtensionAt(int32_t code, int index);
// Appends a copy; UnregisterFileFormat removes the first record of that code.
void RegisterFileFormat(const TFileFormatInfo& info);
void UnregisterFileFormat(int32_t code);
// Replaces the reader of the first record of code, returning the previous one
// (for harnesses that decode one format alone, and tests).
TReadFunction SetReadFunction(int32_t code, TReadFunction reader);
// Restores the registry to the built-in table.
void ResetFileFormatRegistry();

// Recognition by content: the built-in formats' content tests in detection
// order, then the TryFunctions of run-time formats in registry order; the
// first that accepts names the format. The stream position is unchanged
// afterwards. Never throws: an exception inside a test ends detection with
// none (no test had accepted before it).
int32_t DetectStreamFormat(TStream& stream);
// From a file: 0 when it cannot be opened. With checkExtension the result must
// agree with the registry's code of the name's extension (icons and cursors
// share a structure, so 6/7 take the extension's code), else 0.
int32_t DetectFileFormat(const std::string& fileName, bool checkExtension);

// The camera-raw identifier: whether the stream holds a camera raw file this
// system can decode. Camera RAW decoding is not part of this system, so it
// answers false; the stream position is kept.
bool IsCameraRawStream(TStream& stream);

// The lower-case extension of a path, from its last "." (".jpg"); "" when the
// file name part has no ".".
std::string ExtractFileExtLower(const std::string& path);

}  // namespace rv
