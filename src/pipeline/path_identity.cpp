#include "path_identity.hpp"

#include <sys/stat.h>

#include <string_view>

namespace quillon {

namespace {

// A target that keeps what was written to it at the start: a regular file,
// and a block device too (opening it again does not truncate it, but the
// second file's bytes would land over the first's).
bool overwritable(const struct stat& st) noexcept {
    return S_ISREG(st.st_mode) || S_ISBLK(st.st_mode);
}

bool same_identity(const struct stat& a, const struct stat& b) noexcept {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The directory part of a path, for stat: "." for a bare name.
std::string directory_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

// Whether opening `a` and then `b` for writing would truncate what went into
// `a`: both name one regular file (the same path text, or one device and
// inode), or both are missing and would be created as the same file (the same
// last component in the same directory, so that "out.csv" and "./out.csv"
// agree before the file exists). A shared device or FIFO, such as /dev/null,
// loses nothing to the second open. The same text that stat cannot resolve
// (missing, a dangling link, a search denied) is refused: it would become a
// regular file, or cannot be shown not to be one.
bool same_file(const std::string& a, const std::string& b) {
    if (a.find('\0') != std::string::npos || b.find('\0') != std::string::npos) return a == b;
    struct stat sa;
    struct stat sb;
    if (a == b) return ::stat(a.c_str(), &sa) != 0 || overwritable(sa);
    const bool a_exists = ::stat(a.c_str(), &sa) == 0;
    const bool b_exists = ::stat(b.c_str(), &sb) == 0;
    if (a_exists && b_exists) return same_identity(sa, sb) && overwritable(sa);
    if (a_exists || b_exists) return false;
    const std::size_t a_name = a.find_last_of('/');
    const std::size_t b_name = b.find_last_of('/');
    const std::string_view name_a = a_name == std::string::npos ? std::string_view(a) : std::string_view(a).substr(a_name + 1);
    const std::string_view name_b = b_name == std::string::npos ? std::string_view(b) : std::string_view(b).substr(b_name + 1);
    if (name_a != name_b) return false;
    struct stat da;
    struct stat db;
    return ::stat(directory_of(a).c_str(), &da) == 0 && ::stat(directory_of(b).c_str(), &db) == 0 &&
           same_identity(da, db);
}

// Whether `path` now leads to the open regular file `fd`: a last line of
// defence for the spellings the check before opening cannot see (a dangling
// symbolic link to the output, say), taken before the quarantine file would
// truncate it.
bool leads_to(const std::string& path, int fd) noexcept {
    struct stat sp;
    struct stat sf;
    return ::stat(path.c_str(), &sp) == 0 && ::fstat(fd, &sf) == 0 && same_identity(sp, sf) &&
           overwritable(sf);
}

}  // namespace quillon
