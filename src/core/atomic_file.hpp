// One way of writing a file for the whole package: the new content goes to a
// temporary file beside the target and replaces the target only once it is
// complete and on disk, so that a failed, interrupted or concurrent write
// never leaves a partial or mixed file under the target's name.
//
//   AtomicFile file(target);         // resolves the target, makes the temporary
//   write to file.path() or file.fd()
//   file.commit();                   // or let it go out of scope: discarded
//
// - A target that exists and is not a regular file (a character device such as
//   /dev/null, a FIFO, a directory, a symbolic link to one of them) is written
//   directly, as a plain open-and-write would; it is never replaced.
// - A symbolic link to a regular file (or a dangling one) is followed: the file
//   it names is replaced and the link stays.
// - The temporary file is created exclusively (O_EXCL) under a name unique to
//   the call, so two writers of one target never share it; the last commit
//   wins and the target is always one whole write.
// - It is created with the target's permission bits when the target exists
//   (so it is never more readable than the target while it is written), else
//   with the mode a plain open(path, "w") gets under the process umask. The
//   owner and group of an existing target are kept where the process may set
//   them.
// - commit() flushes the data to disk, renames the temporary over the target
//   and flushes the folder. Until then the earlier file is untouched.
// - Temporary names start with kTemporaryPrefix and end with the target's
//   name (so a writer that picks a format by extension sees the target's), or
//   with that name and a given ending, for folders that readers scan by
//   extension (a dataset's "*.parquet"), which must not see a temporary. A
//   writer that is killed leaves its temporary behind; every new AtomicFile
//   removes such files of the same owner in its folder that are older than
//   kStaleAge.
//
// Plain POSIX; no Python.
#pragma once

#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kelvane::core {

inline constexpr std::string_view kTemporaryPrefix = ".kelvane-tmp-";
inline constexpr std::chrono::seconds kStaleAge{3600};

// A failed file-system call: the errno value and the path it concerned.
class FileError : public std::runtime_error {
public:
    FileError(int code, std::string path, const std::string& what);
    int code() const noexcept { return code_; }
    const std::string& path() const noexcept { return path_; }

private:
    int code_;
    std::string path_;
};

class AtomicFile {
public:
    // Resolves `target`, removes stale temporaries in its folder and creates
    // the temporary file (unless the target is written directly). Throws
    // FileError when the temporary cannot be made (missing or unwritable
    // folder, ...); the error names `target`. `temporary_ending` is appended
    // to the temporary's name.
    explicit AtomicFile(std::string target, std::string_view temporary_ending = {});
    ~AtomicFile();  // discards an uncommitted write
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Where the content goes: the temporary file, or the target itself when it
    // is written directly.
    const std::string& path() const noexcept { return path_; }
    bool direct() const noexcept { return direct_; }
    const std::string& target() const noexcept { return target_; }

    // A descriptor open for writing on path(): for a temporary, the one it was
    // created with; for a direct target, opened on first use (a FIFO blocks
    // here until a reader opens it, as a plain open does). Owned by this
    // object.
    int fd();

    // Writes all of `data` at the descriptor's position.
    void write_all(std::string_view data);

    // Makes the write visible under the target's name (see above). Throws
    // FileError; the temporary is then removed and the target is unchanged.
    void commit();

    // Drops the write: closes the descriptor and removes the temporary. Never
    // throws; calling it after commit() does nothing.
    void discard() noexcept;

private:
    std::string target_;     // as given
    std::string final_;      // the file that is replaced (links followed)
    std::string path_;       // the temporary, or the target when direct
    int fd_ = -1;
    unsigned mode_ = 0;      // permission bits the committed file gets
    bool direct_ = false;
    bool done_ = false;
};

// Removes the files of this process's owner in `folder` whose names start with
// kTemporaryPrefix and that were last modified more than `age` ago. Errors
// are ignored (another writer may remove the same files); returns the number
// removed.
std::size_t remove_stale_temporaries(const std::string& folder,
                                     std::chrono::seconds age = kStaleAge) noexcept;

}  // namespace kelvane::core
