// Whether two paths would write into the same file.
#pragma once

#include <string>

namespace quillon {

// Whether opening `a` and then `b` for writing would truncate or overwrite
// what went into `a`: both name one regular file or block device (the same path text, or one device and
// inode), or both are missing and would be created as the same file (the same
// last component in the same directory, so that "out.csv" and "./out.csv"
// agree before the file exists). A shared device or FIFO, such as /dev/null,
// loses nothing to the second open. The same text that stat cannot resolve
// (missing, a dangling link, a search denied) is refused: it would become a
// regular file, or cannot be shown not to be one.
bool same_file(const std::string& a, const std::string& b);

// Whether `path` now leads to the open regular file (or block device) `fd`: a last line of
// defence for the spellings the check before opening cannot see (a dangling
// symbolic link to the output, say), taken before the quarantine file would
// truncate it.
bool leads_to(const std::string& path, int fd) noexcept;

}  // namespace quillon
