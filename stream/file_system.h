// File-system helpers over paths given as strings: normalising and splitting
// paths, file type, size, time and mode, creating, deleting and renaming files
// and directories, listing directories, the working directory, and streams
// that can seek whatever their URL.
//
// Every function first turns "\" into "/". Paths go to the system one byte per
// character; a path holding a NUL or a character above 255 cannot be spelled
// that way and is treated as missing. Nothing raises: failures show in the
// results.
#pragma once

#include <dirent.h>

#include <cstdint>

#include "runtime/array.h"
#include "stream/stream.h"

namespace kelpora {

enum { FILETYPE_NONE = 0, FILETYPE_FILE = 1, FILETYPE_DIR = 2 };

// "\" becomes "/"; with `stripSlash`, one trailing "/" goes unless the path
// is that one character.
String FixPath(std::u16string_view path, int stripSlash = 0);
// Absolute, with "." and ".." resolved against the working directory;
// "<bad_dir>" when ".." climbs above "/", or when the path is relative and
// the working directory cannot be read (it was removed, say).
String RealPath(std::u16string_view path);
// After the last "/", or the whole path.
String StripDir(std::u16string_view path);
// Before the last "." unless a "/" follows it.
String StripExt(std::u16string_view path);
String StripAll(std::u16string_view path);
// After the last "." unless a "/" follows it, else empty.
String ExtractExt(std::u16string_view path);
// Before the last "/" ("/" for a top-level entry); "<bad_dir>" when there is
// no "/" or it is the last character.
String ParentDir(std::u16string_view path);

// FILETYPE_FILE, FILETYPE_DIR, or FILETYPE_NONE for anything else or nothing.
int FileType(std::u16string_view path);
// Bytes, -1 on failure.
int64_t FileSize(std::u16string_view path);
// Modification time in seconds since 1970, 0 on failure.
int64_t FileTime(std::u16string_view path);
// Permission bits (0 to 0777), -1 on failure.
int FileMode(std::u16string_view path);
// 1 when the permission bits were set.
int SetFileMode(std::u16string_view path, int mode);
// Replaces any file at `path` by an empty one; 1 when a file is there after.
int CreateFile(std::u16string_view path);
// With `recurse`, every missing level is made; an existing file on the way
// gives 0. 1 when the directory exists after.
int CreateDir(std::u16string_view path, int recurse = 0);
// 1 when nothing is at `path` after.
int DeleteFile(std::u16string_view path);
int RenameFile(std::u16string_view from, std::u16string_view to);
// With `recurse`, the contents go first. Symbolic links inside are removed,
// never followed, and a `path` that is itself a link is left alone, however
// many "/" or "/." follow it; a `path` ending in ".." gives 0 and deletes
// nothing. 1 when nothing is at `path` after.
int DeleteDir(std::u16string_view path, int recurse = 0);
// The working directory, of any length; empty when the system cannot say.
String CurrentDir();
int ChangeDir(std::u16string_view path);
// A directory stream for NextFile, or null.
DIR* ReadDir(std::u16string_view path);
// The next entry's name, empty at the end (and for null).
String NextFile(DIR* handle);
void CloseDir(DIR* handle);
// Entry names in the order the system lists them; empty when the directory
// does not open. `skipDots` leaves out "." and "..".
Ref<TArray<String>> LoadDir(std::u16string_view path, int skipDots = 0);

// The URL's stream, or for a readable stream without a position (a socket,
// say) a bank stream over everything it holds. None when it does not open.
Ref<TDataStream> OpenSeekable(const Ref<TObject>& url, int readable, int writeable);
Ref<TDataStream> OpenSeekable(std::u16string_view url, int readable, int writeable);
Ref<TDataStream> ReadSeekable(const Ref<TObject>& url);
Ref<TDataStream> ReadSeekable(std::u16string_view url);
Ref<TDataStream> WriteSeekable(const Ref<TObject>& url);
Ref<TDataStream> WriteSeekable(std::u16string_view url);

}  // namespace kelpora
