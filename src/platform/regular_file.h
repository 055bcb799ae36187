#pragma once

#include <cstddef>
#include <string>
#include <string_view>

enum class FileRead { read, missing, failed };

// Whose writing a file may carry to be read: anyone's, or only the reader's own user's
// (a file owned by someone else, or that its group or every user may write, fails unread).
enum class FileWriters { anyone, ownUser };

// Reads the regular file at `path` (through a link if need be) into `contents`. Opens
// without blocking, so a FIFO or a device in the file's place cannot stall the caller;
// anything but a regular file, or a file larger than `maxSize`, fails unread. When it
// does not read, `refusal` (if given) says which check failed, in words.
FileRead readRegularFile(const std::string& path, std::size_t maxSize, std::string& contents,
                         FileWriters writers = FileWriters::anyone, std::string* refusal = nullptr);

// Flushes what was written to `fd` through the drive's own cache to stable storage, so
// that it outlives a power cut (F_FULLFSYNC on macOS, fsync where that is refused and
// elsewhere).
bool flushToStableStorage(int fd);

// Flushes the folder at `path`, so that a file created, renamed or removed in it stays so
// after a crash.
bool syncDirectory(const std::string& path);

// Replaces the file at `path`, in the folder `directory`, with `bytes`, readable and
// writable by the user alone, so that whatever fails a reader sees either the old file or
// the complete new one, and the new one survives a crash once this returns. A link in
// the file's place is replaced, not followed. Answers 0 or an errno value.
int replaceFile(const std::string& directory, const std::string& path, std::string_view bytes);
