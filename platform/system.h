// Stand-ins for the platform services the imaging core asks of the system.
#pragma once

#include <cstdint>
#include <string>

namespace rv {

// Free physical memory in bytes (MemAvailable), 0 when it cannot be read.
uint64_t FreePhysicalMemory();

// The temporary directory: $TMPDIR when it names a directory, else /tmp.
// Always ends with '/'.
std::string TempDirectory();

// Monotonic clock, for progress and timing.
uint64_t TickCountMs();
double PerformanceSeconds();

// Creates a new temporary file "<dir><prefix>-XXXXXXXX.tmp" with O_EXCL and mode
// 0600, never following a link planted under the chosen name. Returns the open
// descriptor (or -1) and the name in *name.
int CreateTempFile(const std::string& prefix, std::string* name);

}  // namespace rv
