#include "programs/file_identity.h"

#include <sys/stat.h>

#include <unistd.h>

#include <cerrno>
#include <string>

namespace tarn {
namespace {

// The folder a path's last component lives in ("." for a bare name) and that component.
struct PathParts {
  std::string folder;
  std::string name;
};

PathParts split_path(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

bool same_inode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Both paths missing: the same file once created when their folders are one and the names
// agree. A name ending in '/' (empty last component) creates no file.
bool same_file_to_be(const char* a, const char* b) {
  const PathParts pa = split_path(a);
  const PathParts pb = split_path(b);
  if (pa.name.empty() || pa.name != pb.name) return false;
  struct stat folder_a;
  struct stat folder_b;
  return stat(pa.folder.c_str(), &folder_a) == 0 && stat(pb.folder.c_str(), &folder_b) == 0 &&
         same_inode(folder_a, folder_b);
}

// The most symbolic links followed for one path, as the kernel's own limit (ELOOP past it).
constexpr int MAX_LINK_HOPS = 40;

// The path that creating `path` would make: a symbolic link whose target is missing (a dangling
// link) is followed, hop by hop, to the name at the end of its chain, which opening the link for
// writing creates. A relative target is taken from the link's own folder. Any other path is
// returned as it is; a chain longer than MAX_LINK_HOPS, which no open follows, too.
std::string creation_target(const char* path) {
  std::string current = path;
  for (int hop = 0; hop < MAX_LINK_HOPS; ++hop) {
    struct stat info;
    if (lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
    std::string target(static_cast<size_t>(info.st_size > 0 ? info.st_size : 0) + 256, '\0');
    const ssize_t length = readlink(current.c_str(), target.data(), target.size());
    if (length <= 0 || static_cast<size_t>(length) >= target.size()) return current;
    target.resize(static_cast<size_t>(length));
    if (target[0] != '/') {
      const size_t slash = current.find_last_of('/');
      if (slash != std::string::npos) target = current.substr(0, slash + 1) + target;
    }
    current = target;
  }
  return path;
}

}  // namespace

bool same_file(const char* a, const char* b) {
  struct stat info_a;
  struct stat info_b;
  const bool a_exists = stat(a, &info_a) == 0;
  const bool a_missing = !a_exists && errno == ENOENT;
  const bool b_exists = stat(b, &info_b) == 0;
  const bool b_missing = !b_exists && errno == ENOENT;
  if (a_exists && b_exists) {
    return !S_ISCHR(info_a.st_mode) && same_inode(info_a, info_b);
  }
  return a_missing && b_missing &&
         same_file_to_be(creation_target(a).c_str(), creation_target(b).c_str());
}

bool names_open_file(const char* path, int fd) {
  struct stat named;
  struct stat open_file;
  return stat(path, &named) == 0 && fstat(fd, &open_file) == 0 && same_inode(named, open_file);
}

bool same_file(const NamedFile& a, const NamedFile& b) {
  if (a.fd < 0 && b.fd < 0) return same_file(a.path, b.path);
  struct stat info_a;
  struct stat info_b;
  const bool a_found = a.fd >= 0 ? fstat(a.fd, &info_a) == 0 : stat(a.path, &info_a) == 0;
  const bool b_found = b.fd >= 0 ? fstat(b.fd, &info_b) == 0 : stat(b.path, &info_b) == 0;
  return a_found && b_found && S_ISREG(info_a.st_mode) && S_ISREG(info_b.st_mode) &&
         same_inode(info_a, info_b);
}

}  // namespace tarn
