#pragma once

#include <cstddef>
#include <string>

enum class FileRead { read, missing, failed };

// Whose writing a file may carry to be read: anyone's, or only the reader's own user's
// (a file owned by someone else, or that every user may write, fails unread).
enum class FileWriters { anyone, ownUser };

// Reads the regular file at `path` (through a link if need be) into `contents`. Opens
// without blocking, so a FIFO or a device in the file's place cannot stall the caller;
// anything but a regular file, or a file larger than `maxSize`, fails unread.
FileRead readRegularFile(const std::string& path, std::size_t maxSize, std::string& contents,
                         FileWriters writers = FileWriters::anyone);
