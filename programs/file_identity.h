#pragma once
// Whether two command-line paths name one file. Creating an output truncates it, so an output
// that is also the input (or the stream that the same run reads back) would be destroyed while
// it is read; the programs refuse such a run before they open anything.

namespace tarn {

// True when a and b are the same file:
//   - both exist: the same device and inode once links are followed, so that the same string,
//     "./a.wav", an absolute path, a symbolic link and a hard link all match their target;
//   - neither exists yet: the same folder (device and inode) and the same last component, the
//     file that creating either would make (tarn's stream and output WAV, both still to come);
//     a symbolic link whose target is missing stands for that target, the file that writing
//     through the link creates (two links to one missing file, a link to the other path).
// A path that exists never matches one that does not. Character devices never match: writing
// to /dev/null or a terminal destroys nothing, and one may well be named twice.
bool same_file(const char* a, const char* b);

// The same where either side may be a file already open on a descriptor (fd >= 0: the standard
// input or output that "-" names; fd < 0: path alone). An open file matches only when it is a
// regular file, as a pipe, a socket or a terminal cannot be truncated by the run; a missing path
// never matches an open file.
struct NamedFile {
  const char* path;
  int fd;
};
bool same_file(const NamedFile& a, const NamedFile& b);

// True when path names the file open on fd (the same device and inode once links are
// followed): "/dev/stdout", "/proc/self/fd/1" or the file's own name for fd 1.
bool names_open_file(const char* path, int fd);

}  // namespace tarn
