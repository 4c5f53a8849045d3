#include "stream/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "runtime/text.h"
#include "stream/bank.h"

namespace kelpora {

namespace {

constexpr std::u16string_view BAD_DIR = u"<bad_dir>";

// The bytes handed to the system, or nullopt for a name they cannot spell
// exactly; every caller then fails as for a missing file.
std::optional<std::string> SystemPath(std::u16string_view path, int stripSlash = 0) {
  return ToPathBytes(FixPath(path, stripSlash));
}

bool StatPath(std::u16string_view path, struct stat& info) {
  std::optional<std::string> name = SystemPath(path);
  return name && ::stat(name->c_str(), &info) == 0;
}

// `fixed` without trailing "/" and "/." (the root stays "/"), so that the
// last component is the directory itself: a link there is then seen as a
// link and not followed by the slash or dot behind it.
String WithoutTrailingSlashesAndDots(String fixed) {
  for (;;) {
    if (fixed.size() > 1 && fixed.back() == u'/') {
      fixed.pop_back();
    } else if (fixed.size() > 2 && fixed.ends_with(u"/.")) {
      fixed.resize(fixed.size() - 2);
    } else {
      return fixed;
    }
  }
}

// The last "." that no "/" follows.
size_t ExtensionDot(std::u16string_view path) {
  size_t dot = path.rfind(u'.');
  if (dot == std::u16string_view::npos) return dot;
  if (path.find(u'/', dot) != std::u16string_view::npos) return std::u16string_view::npos;
  return dot;
}

// Empties the directory open as `handle` (taken over and closed), one entry
// at a time relative to it. Links are removed, not followed; directories are
// opened without following a link that replaced them meanwhile.
void DeleteContents(int handle) {
  DIR* dir = ::fdopendir(handle);
  if (!dir) {
    ::close(handle);
    return;
  }
  int at = ::dirfd(dir);
  while (dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat info;
    if (::fstatat(at, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      int sub = ::openat(at, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub >= 0) DeleteContents(sub);
      ::unlinkat(at, entry->d_name, AT_REMOVEDIR);
    } else {
      ::unlinkat(at, entry->d_name, 0);
    }
  }
  ::closedir(dir);
}

}  // namespace

String FixPath(std::u16string_view path, int stripSlash) {
  String fixed(path);
  for (char16_t& c : fixed) {
    if (c == u'\\') c = u'/';
  }
  if (stripSlash && fixed.size() > 1 && fixed.back() == u'/') fixed.pop_back();
  return fixed;
}

String RealPath(std::u16string_view path) {
  String fixed = FixPath(path);
  String result, rest;
  if (!fixed.empty() && fixed.front() == u'/') {
    result = u"/";
    rest = fixed.substr(1);
  } else {
    // A working directory that is gone has no path; resolving against ""
    // would land at the root.
    result = CurrentDir();
    if (result.empty()) return String(BAD_DIR);
    if (fixed.empty() || fixed == u".") return result;
    rest = fixed;
  }
  rest += u'/';
  size_t start = 0;
  for (size_t slash; (slash = rest.find(u'/', start)) != String::npos; start = slash + 1) {
    std::u16string_view part = std::u16string_view(rest).substr(start, slash - start);
    if (part.empty() || part == u".") continue;
    if (part == u"..") {
      result = ParentDir(result);
      if (result == BAD_DIR) return result;
      continue;
    }
    if (result.empty() || result.back() != u'/') result += u'/';
    result += part;
  }
  return result;
}

String StripDir(std::u16string_view path) {
  size_t slash = path.rfind(u'/');
  return String(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

String StripExt(std::u16string_view path) {
  size_t dot = ExtensionDot(path);
  return String(dot == std::u16string_view::npos ? path : path.substr(0, dot));
}

String StripAll(std::u16string_view path) { return StripDir(StripExt(path)); }

String ExtractExt(std::u16string_view path) {
  size_t dot = ExtensionDot(path);
  return dot == std::u16string_view::npos ? String() : String(path.substr(dot + 1));
}

String ParentDir(std::u16string_view path) {
  size_t slash = path.rfind(u'/');
  if (slash == std::u16string_view::npos || slash + 1 == path.size()) return String(BAD_DIR);
  if (slash == 0) return u"/";
  return String(path.substr(0, slash));
}

int FileType(std::u16string_view path) {
  struct stat info;
  if (!StatPath(path, info)) return FILETYPE_NONE;
  if (S_ISREG(info.st_mode)) return FILETYPE_FILE;
  if (S_ISDIR(info.st_mode)) return FILETYPE_DIR;
  return FILETYPE_NONE;
}

int64_t FileSize(std::u16string_view path) {
  struct stat info;
  return StatPath(path, info) ? static_cast<int64_t>(info.st_size) : -1;
}

int64_t FileTime(std::u16string_view path) {
  struct stat info;
  return StatPath(path, info) ? static_cast<int64_t>(info.st_mtime) : 0;
}

int FileMode(std::u16string_view path) {
  struct stat info;
  return StatPath(path, info) ? static_cast<int>(info.st_mode & 0x1FF) : -1;
}

int SetFileMode(std::u16string_view path, int mode) {
  std::optional<std::string> name = SystemPath(path);
  return name && ::chmod(name->c_str(), static_cast<mode_t>(mode & 0x1FF)) == 0 ? 1 : 0;
}

int CreateFile(std::u16string_view path) {
  std::optional<std::string> name = SystemPath(path);
  if (!name) return 0;
  if (FileType(path) == FILETYPE_FILE) ::unlink(name->c_str());
  if (std::FILE* file = std::fopen(name->c_str(), "wb")) std::fclose(file);
  return FileType(path) == FILETYPE_FILE ? 1 : 0;
}

int CreateDir(std::u16string_view path, int recurse) {
  if (!recurse) {
    String fixed = FixPath(path, 1);
    std::optional<std::string> name = ToPathBytes(fixed);
    if (!name) return 0;
    ::mkdir(name->c_str(), 01777);
    return FileType(fixed) == FILETYPE_DIR ? 1 : 0;
  }
  String full = RealPath(FixPath(path, 1));
  if (full == BAD_DIR) return 0;
  full += u'/';
  for (size_t slash = full.find(u'/', 1); slash != String::npos;
       slash = full.find(u'/', slash + 1)) {
    String level = full.substr(0, slash);
    int type = FileType(level);
    if (type == FILETYPE_DIR) continue;
    if (type == FILETYPE_FILE) return 0;
    std::optional<std::string> name = ToPathBytes(level);
    if (!name) return 0;
    ::mkdir(name->c_str(), 01777);
    if (FileType(level) != FILETYPE_DIR) return 0;
  }
  return 1;
}

int DeleteFile(std::u16string_view path) {
  String fixed = FixPath(path);
  if (std::optional<std::string> name = ToPathBytes(fixed)) ::unlink(name->c_str());
  return FileType(fixed) == FILETYPE_NONE ? 1 : 0;
}

int RenameFile(std::u16string_view from, std::u16string_view to) {
  std::optional<std::string> source = SystemPath(from), target = SystemPath(to);
  return source && target && ::rename(source->c_str(), target->c_str()) == 0 ? 1 : 0;
}

int DeleteDir(std::u16string_view path, int recurse) {
  String fixed = WithoutTrailingSlashesAndDots(FixPath(path));
  std::optional<std::string> name = ToPathBytes(fixed);
  if (!name) return recurse ? 0 : 1;  // as for a missing directory
  // "x/.." names the directory above x, reached through x even when x is a
  // link; it can never be removed, so nothing in it is emptied either.
  if (fixed == u".." || fixed.ends_with(u"/..")) return 0;
  if (recurse) {
    int handle = ::open(name->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (handle < 0) return 0;
    DeleteContents(handle);
  }
  ::rmdir(name->c_str());
  return FileType(fixed) == FILETYPE_NONE ? 1 : 0;
}

String CurrentDir() {
  std::vector<char> buffer(1024);
  while (!::getcwd(buffer.data(), buffer.size())) {
    if (errno != ERANGE || buffer.size() >= (1u << 24)) return {};
    buffer.resize(buffer.size() * 2);
  }
  return FixPath(FromBytes(buffer.data()));
}

int ChangeDir(std::u16string_view path) {
  std::optional<std::string> name = SystemPath(path, 1);
  return name && ::chdir(name->c_str()) == 0 ? 1 : 0;
}

DIR* ReadDir(std::u16string_view path) {
  std::optional<std::string> name = SystemPath(path, 1);
  return name ? ::opendir(name->c_str()) : nullptr;
}

String NextFile(DIR* handle) {
  if (!handle) return {};
  dirent* entry = ::readdir(handle);
  return entry ? FromBytes(entry->d_name) : String();
}

void CloseDir(DIR* handle) {
  if (handle) ::closedir(handle);
}

Ref<TArray<String>> LoadDir(std::u16string_view path, int skipDots) {
  std::vector<String> names;
  if (DIR* dir = ReadDir(path)) {
    for (String name; !(name = NextFile(dir)).empty();) {
      if (skipDots && (name == u"." || name == u"..")) continue;
      names.push_back(std::move(name));
    }
    CloseDir(dir);
  }
  auto list = MakeArray<String>(names.size());
  for (size_t i = 0; i < names.size(); ++i) (*list)[i] = std::move(names[i]);
  return list;
}

namespace {

Ref<TDataStream> MakeSeekable(Ref<TDataStream> stream, int readable) {
  // A stream opened only for writing has nothing to read into a bank; its
  // bytes must still reach it.
  if (!stream || !readable || stream->Pos() != -1) return stream;
  return CreateBankStream(LoadBank(Ref<TObject>(stream)));
}

}  // namespace

Ref<TDataStream> OpenSeekable(const Ref<TObject>& url, int readable, int writeable) {
  return MakeSeekable(OpenUrlStream(url, readable, writeable), readable);
}
Ref<TDataStream> OpenSeekable(std::u16string_view url, int readable, int writeable) {
  return MakeSeekable(OpenUrlStream(url, readable, writeable), readable);
}
Ref<TDataStream> ReadSeekable(const Ref<TObject>& url) { return OpenSeekable(url, 1, 0); }
Ref<TDataStream> ReadSeekable(std::u16string_view url) { return OpenSeekable(url, 1, 0); }
Ref<TDataStream> WriteSeekable(const Ref<TObject>& url) { return OpenSeekable(url, 0, 1); }
Ref<TDataStream> WriteSeekable(std::u16string_view url) { return OpenSeekable(url, 0, 1); }

}  // namespace kelpora
