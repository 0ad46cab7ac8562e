// File-system primitives for the whole service: folder creation, tests, sizes, free space,
// atomic renames, copies that never overwrite, moves that survive a move across file systems,
// sorted folder listings and the append-once line files of the data root. Paths are compared
// exactly (case-sensitive); `\` in input is accepted as a separator where stated. Every function
// may be called from any thread; none keeps shared state, so callers serialise writers of the same
// file themselves. Coin files, receipts, ledgers and journals are written with durable_write
// (runtime/durable_write.h), not with these.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/result_code.h"

// One folder level: RC_OK when it exists or was created, RC_INVALID_PARAM for an empty path,
// RC_FILE otherwise (also when the path names something that is not a folder).
ResultCode make_dir(const std::string& path);
// The folder and every missing parent, created from the left; a trailing separator is ignored.
// RC_OK, RC_INVALID_PARAM (empty or 4096 characters or more), RC_FILE.
ResultCode make_dirs(const std::string& path);
// For an absolute path (at most 4095 characters, `\` read as `/`): the root `/` must exist, and
// each missing component below it is created; a component another process creates meanwhile
// counts as created. RC_INVALID_PARAM for a relative or over-long path, RC_FILE otherwise.
ResultCode make_dirs_full(const std::string& path);

// Tests that follow links; false for an empty path.
bool is_dir(const std::string& path);
bool is_file(const std::string& path);
bool exists(const std::string& path);

// `<data root>/Wallets/<name>` ("Default" when `name` is empty).
std::string wallet_dir(const std::string& name);
// The text after the last `/` or `\` (the whole text when there is none).
std::string base_name(const std::string& path);
// The last component after trailing separators are removed; RC_INVALID_PARAM when none remains.
ResultCode last_component(const std::string& path, std::string* out);

// The size of a regular file; false when it cannot be opened or is not a regular file.
bool file_size(const std::string& path, uint64_t* out);
// Bytes available to this process on the volume holding `folder`; false on failure.
bool free_space(const std::string& folder, uint64_t* out);

// Replaces `to` with `from` in one step (same file system). RC_OK, RC_INVALID_PARAM, or RC_FILE
// after logging "fs_atomic_rename failed (errno=%d): %s -> %s".
ResultCode atomic_rename(const std::string& from, const std::string& to);
// Copies in 8192-byte chunks, creating or truncating `to`; any failure removes the partial `to`
// and returns RC_FILE (RC_INVALID_PARAM for empty paths).
ResultCode copy_file(const std::string& from, const std::string& to);
// Creates `to` exclusively (owner read-write) and copies into it. When `to` already exists,
// `*existed` is set, nothing is copied and the result is RC_OK. A read error, short write or
// failed close removes the new `to` and returns RC_FILE. `existed` may be null.
ResultCode copy_file_noreplace(const std::string& from, const std::string& to, bool* existed);
// Renames `from` to `to`. Only when they are on different file systems does it fall back to
// copy, sync, verify the size and unlink the source; a failure at any step leaves the source and
// no destination copy, so there is never a second copy. RC_OK, RC_INVALID_PARAM, RC_FILE.
// Test seam RESTCORE_TEST_FORCE_EXDEV makes every rename here report a cross-file-system move.
ResultCode move_file(const std::string& from, const std::string& to);

// Appends `line` (with `\` turned into `/`) plus a line feed to `file` unless a line of the file,
// compared without its line end, already equals it; a relative `file` names a file in the data
// root. RC_OK (appended or already there), RC_INVALID_PARAM, RC_FILE.
ResultCode append_unique_line(const std::string& file, const std::string& line);

enum ListKind { LIST_FILES = 1, LIST_DIRS = 2, LIST_ALL = 3 };
// Names (not paths) of the entries of `folder`, sorted by byte value, without "." and "..", and
// without durable_write's leftover temporary files. RC_OK, RC_INVALID_PARAM, RC_NOT_FOUND (no such
// folder), RC_FILE.
ResultCode list_dir(const std::string& folder, ListKind kind, std::vector<std::string>* names);

// Removes a file; RC_OK when it is gone (or was never there), RC_FILE otherwise.
ResultCode remove_file(const std::string& path);
// Writes all `n` bytes to the open descriptor, resuming after short writes and EINTR; false on any
// other failure. Shared by the copies here and by durable_write.
bool write_all_fd(int fd, const void* data, size_t n);
// fsyncs the file at `path`; false when it cannot be opened or synced.
bool sync_file(const std::string& path);
// fsyncs the folder holding `path` (so a rename or creation there survives power loss); false when
// the folder cannot be opened or synced.
bool sync_folder_of(const std::string& path);

// `a` + "/" + `b`, without doubling a separator at the join.
std::string path_join(const std::string& a, const std::string& b);
