// The file stream and the case-insensitive file-name fallback.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "runtime/load_errors.h"
#include "runtime/text.h"
#include "stream/stream.h"

namespace kelpora {

namespace {

int ClampOffset(long offset) {
  if (offset < 0) return -1;
  return static_cast<int>(std::min<long>(offset, INT_MAX));
}

bool Exists(const char* path) {
  struct stat info;
  return ::stat(path, &info) == 0 && (S_ISREG(info.st_mode) || S_ISDIR(info.st_mode));
}

bool EqualIgnoringCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && LowerAscii(a) == LowerAscii(b);
}

// The entry of `dir` matching `name` in any letter case, or "".
String FindEntry(const std::string& dir, std::u16string_view name) {
  DIR* handle = ::opendir(dir.c_str());
  if (!handle) return {};
  String found;
  while (dirent* entry = ::readdir(handle)) {
    String candidate = FromBytes(entry->d_name);
    if (EqualIgnoringCase(candidate, name)) {
      found = std::move(candidate);
      break;
    }
  }
  ::closedir(handle);
  return found;
}

}  // namespace

String ResolvePathCase(std::u16string_view path) {
  // Walk back from the whole path to the longest part that exists as written
  // (or to the first component), then match the remaining components forward
  // one directory at a time. A loop, not recursion: a path may have any
  // number of components. `bytes` is cut in place with a terminator to test
  // each shorter part without copying it. A path the system cannot spell
  // exactly matches nothing.
  std::optional<std::string> spelled = ToPathBytes(path);
  if (!spelled || spelled->empty()) return {};
  std::string& bytes = *spelled;
  std::vector<size_t> cuts;  // the "/" before each unresolved component, last one first
  size_t length = bytes.size();
  String resolved;
  for (;;) {
    char kept = bytes[length];
    bytes[length] = '\0';
    bool exists = Exists(bytes.c_str());
    bytes[length] = kept;
    if (exists) {
      resolved = String(path.substr(0, length));
      break;
    }
    std::u16string_view part = path.substr(0, length);
    size_t slash = length >= 2 ? part.rfind(u'/', length - 2) : std::u16string_view::npos;
    if (slash == std::u16string_view::npos) {
      resolved = FindEntry(".", part);
      break;
    }
    if (slash == 0) {
      // An absolute path's first component is looked up in the root directory.
      String entry = FindEntry("/", part.substr(1));
      if (!entry.empty()) resolved = u"/" + entry;
      break;
    }
    cuts.push_back(slash);
    length = slash;
  }
  for (size_t i = cuts.size(); i-- > 0 && !resolved.empty();) {
    size_t end = i == 0 ? path.size() : cuts[i - 1];
    String entry = FindEntry(ToBytes(resolved), path.substr(cuts[i] + 1, end - cuts[i] - 1));
    resolved = entry.empty() ? String() : resolved + u"/" + entry;
  }
  return resolved;
}

TFileStream::~TFileStream() { TFileStream::Close(); }

int TFileStream::Pos() { return pos; }
int TFileStream::Size() { return size; }

int TFileStream::Seek(int to) {
  if (!file) return pos;
  lastOp_ = LastOp::None;
  std::fseek(file, to, SEEK_SET);
  long actual = std::ftell(file);
  if (actual >= 0) pos = ClampOffset(actual);
  return pos;
}

int TFileStream::Flush() {
  if (file) std::fflush(file);
  return 0;
}

int TFileStream::Close() {
  if (!file) return 0;
  Flush();
  std::fclose(file);
  file = nullptr;
  pos = 0;
  size = 0;
  return 0;
}

// The C library needs a flush or seek between a write and a read on the
// same file, in either order.
void TFileStream::SwitchTo(LastOp op) {
  if (lastOp_ != LastOp::None && lastOp_ != op) std::fseek(file, 0, SEEK_CUR);
  lastOp_ = op;
}

int TFileStream::Read(void* buf, int count) {
  if (!file || count <= 0) return 0;
  SwitchTo(LastOp::Read);
  size_t n = std::fread(buf, 1, static_cast<size_t>(count), file);
  pos = static_cast<int>(std::min<long>(static_cast<long>(pos) + static_cast<long>(n), INT_MAX));
  return static_cast<int>(n);
}

int TFileStream::Write(const void* buf, int count) {
  if (!file || count <= 0) return 0;
  SwitchTo(LastOp::Write);
  size_t n = std::fwrite(buf, 1, static_cast<size_t>(count), file);
  pos = static_cast<int>(std::min<long>(static_cast<long>(pos) + static_cast<long>(n), INT_MAX));
  if (pos > size) size = pos;
  return static_cast<int>(n);
}

Ref<TFileStream> TFileStream::FromHandle(std::FILE* file, int mode) {
  if (!file) return nullptr;
  auto stream = MakeRef<TFileStream>();
  stream->file = file;
  stream->mode = mode;
  long start = std::ftell(file);
  if (start >= 0 && std::fseek(file, 0, SEEK_END) == 0) {
    stream->size = ClampOffset(std::ftell(file));
    std::fseek(file, start, SEEK_SET);
    stream->pos = ClampOffset(start);
  }
  return stream;
}

namespace {

// The path as the system saw it: a relative one from the working folder,
// which start-up changes to the executable's.
String PathTried(const std::string& name) {
  std::string full = name;
  if (full.empty() || full[0] != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd)) full = std::string(cwd) + "/" + full;
  }
  return u"\"" + FromBytes(full) + u"\"";
}

}  // namespace

Ref<TFileStream> TFileStream::OpenFile(std::u16string_view path, int readable, int writeable) {
  int mode = MODE_READ;
  const char* how = "rb";
  if (readable && writeable) {
    mode = MODE_READ_WRITE;
    how = "r+b";
  } else if (writeable) {
    mode = MODE_WRITE;
    how = "wb";
  }
  String fixed(path);
  std::replace(fixed.begin(), fixed.end(), u'\\', u'/');
  std::optional<std::string> name = ToPathBytes(fixed);
  if (!name) {
    NoteLoadReason(u"\"" + fixed + u"\" cannot be spelled as a file name");
    return nullptr;
  }
  std::FILE* file = std::fopen(name->c_str(), how);
  const int openError = errno;
  if (!file && !writeable) {
    String resolved = ResolvePathCase(fixed);
    if (!resolved.empty()) file = std::fopen(ToBytes(resolved).c_str(), how);
  }
  if (!file) {
    NoteLoadReason(u"cannot open " + PathTried(*name) + u": " + FromBytes(std::strerror(openError)));
    return nullptr;
  }
  // A directory opens as a file here but reads nothing; it is not a stream.
  struct stat info;
  if (::fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
    std::fclose(file);
    NoteLoadReason(u"cannot open " + PathTried(*name) + u": it is a folder");
    return nullptr;
  }
  return FromHandle(file, mode);
}

}  // namespace kelpora
