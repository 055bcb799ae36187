#pragma once

#include <cstddef>
#include <string>

enum class FileRead { read, missing, failed };

// Reads the regular file at `path` (through a link if need be) into `contents`. Opens
// without blocking, so a FIFO or a device in the file's place cannot stall the caller;
// anything but a regular file, or a file larger than `maxSize`, fails unread.
FileRead readRegularFile(const std::string& path, std::size_t maxSize, std::string& contents);
