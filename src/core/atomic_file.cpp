#include "core/atomic_file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <random>

namespace kelvane::core {

namespace {

constexpr int kMaxLinks = 40;         // as the kernel's ELOOP limit
constexpr std::size_t kNameTail = 200;  // bytes of the target's name kept in a temporary's name

[[noreturn]] void fail(int code, const std::string& path) {
    throw FileError(code, path, std::string(std::strerror(code)) + ": '" + path + "'");
}

std::string folder_of(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string name_of(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The last `limit` bytes of a name at most, starting on a UTF-8 character.
// The end is kept, so a temporary keeps the target's extension (a writer
// that picks compression by extension sees the same one).
std::string name_tail(const std::string& name, std::size_t limit) {
    if (name.size() <= limit) return name;
    std::size_t start = name.size() - limit;
    while (start < name.size() && (static_cast<unsigned char>(name[start]) & 0xC0) == 0x80) ++start;
    return name.substr(start);
}

std::string random_hex() {
    static thread_local std::random_device device;
    std::uint64_t bits = (static_cast<std::uint64_t>(device()) << 32) ^ device();
    static constexpr char digits[] = "0123456789abcdef";
    std::string out(16, '0');
    for (int i = 15; i >= 0; --i) {
        out[static_cast<std::size_t>(i)] = digits[bits & 0xF];
        bits >>= 4;
    }
    return out;
}

// Follows symbolic links from `path` to the name a plain open would reach.
// `found` tells whether something exists there; `st` is its lstat then.
std::string follow_links(const std::string& target, struct stat& st, bool& found) {
    std::string path = target;
    for (int hop = 0; hop <= kMaxLinks; ++hop) {
        if (::lstat(path.c_str(), &st) != 0) {
            if (errno == ENOENT) {
                found = false;
                return path;
            }
            fail(errno, target);
        }
        if (!S_ISLNK(st.st_mode)) {
            found = true;
            return path;
        }
        std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        for (;;) {
            ssize_t n = ::readlink(path.c_str(), link.data(), link.size());
            if (n < 0) fail(errno, target);
            if (static_cast<std::size_t>(n) < link.size()) {
                link.resize(static_cast<std::size_t>(n));
                break;
            }
            link.resize(link.size() * 2);
        }
        path = (!link.empty() && link[0] == '/') ? link : folder_of(path) + "/" + link;
    }
    fail(ELOOP, target);
}

void close_quietly(int& fd) noexcept {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

FileError::FileError(int code, std::string path, const std::string& what)
    : std::runtime_error(what), code_(code), path_(std::move(path)) {}

AtomicFile::AtomicFile(std::string target, std::string_view temporary_ending)
    : target_(std::move(target)) {
    if (target_.empty()) fail(ENOENT, target_);
    struct stat st {};
    bool found = false;
    final_ = follow_links(target_, st, found);
    if (found && !S_ISREG(st.st_mode)) {
        direct_ = true;
        path_ = target_;
        return;
    }
    const std::string name = name_of(final_);
    if (name.empty()) fail(EISDIR, target_);  // "folder/" naming no folder
    const std::string folder = folder_of(final_);
    remove_stale_temporaries(folder);

    const unsigned create_mode = found ? (st.st_mode & 0777) : 0666;
    for (int attempt = 0;; ++attempt) {
        path_ = folder + "/" + std::string(kTemporaryPrefix) + random_hex() + "-" +
                name_tail(name, kNameTail) + std::string(temporary_ending);
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                     static_cast<mode_t>(create_mode));
        if (fd_ >= 0) break;
        if (errno != EEXIST || attempt >= 100) fail(errno, target_);
    }
    if (found) {
        mode_ = st.st_mode & 0777;
        // keep the owner and group of the file being replaced, where allowed
        if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) {
            if (::fchown(fd_, st.st_uid, st.st_gid) != 0 && st.st_gid != ::getegid()) {
                [[maybe_unused]] int ignored = ::fchown(fd_, static_cast<uid_t>(-1), st.st_gid);
            }
        }
    } else {
        // what the umask (or a default ACL of the folder) made of 0666
        struct stat made {};
        if (::fstat(fd_, &made) != 0) {
            int code = errno;
            discard();
            fail(code, target_);
        }
        mode_ = made.st_mode & 0777;
    }
}

AtomicFile::~AtomicFile() { discard(); }

int AtomicFile::fd() {
    if (fd_ < 0 && !done_) {
        do {
            fd_ = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        } while (fd_ < 0 && errno == EINTR);
        if (fd_ < 0) fail(errno, target_);
    }
    if (fd_ < 0) fail(EBADF, target_);
    return fd_;
}

void AtomicFile::write_all(std::string_view data) {
    int out = fd();
    while (!data.empty()) {
        ssize_t n = ::write(out, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno, target_);
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

void AtomicFile::commit() {
    if (done_) return;
    if (direct_) {
        int code = 0;
        if (fd_ >= 0 && ::close(fd_) != 0 && errno != EINTR) code = errno;
        fd_ = -1;
        done_ = true;
        if (code != 0) fail(code, target_);
        return;
    }
    auto give_up = [&](int code) {
        discard();
        fail(code, target_);
    };
    // The writer normally wrote into the file created above; one that put a
    // new file at the temporary name is flushed through that file.
    struct stat at_path {}, held {};
    if (::lstat(path_.c_str(), &at_path) != 0) give_up(errno);
    if (!S_ISREG(at_path.st_mode)) give_up(EINVAL);
    int sync_fd = fd_;
    if (fd_ < 0 || ::fstat(fd_, &held) != 0 || held.st_dev != at_path.st_dev ||
        held.st_ino != at_path.st_ino) {
        sync_fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (sync_fd < 0) give_up(errno);
    }
    int code = 0;
    if (::fchmod(sync_fd, static_cast<mode_t>(mode_)) != 0) code = errno;
    if (code == 0 && ::fsync(sync_fd) != 0) code = errno;
    if (sync_fd != fd_) close_quietly(sync_fd);
    if (code != 0) give_up(code);
    close_quietly(fd_);
    if (::rename(path_.c_str(), final_.c_str()) != 0) give_up(errno);
    done_ = true;
    // the new name on disk too; a file system that cannot sync folders is no error
    int folder = ::open(folder_of(final_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        [[maybe_unused]] int ignored = ::fsync(folder);
        ::close(folder);
    }
}

void AtomicFile::discard() noexcept {
    if (done_) return;
    close_quietly(fd_);
    if (!direct_ && !path_.empty()) ::unlink(path_.c_str());
    done_ = true;
}

std::size_t remove_stale_temporaries(const std::string& folder, std::chrono::seconds age) noexcept {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return 0;
    const int dfd = ::dirfd(dir);
    const std::time_t limit = std::time(nullptr) - static_cast<std::time_t>(age.count());
    const uid_t owner = ::geteuid();
    std::size_t removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        std::string_view name(entry->d_name);
        if (name.substr(0, kTemporaryPrefix.size()) != kTemporaryPrefix) continue;
        struct stat st {};
        if (::fstatat(dfd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!S_ISREG(st.st_mode) || st.st_uid != owner || st.st_mtime >= limit) continue;
        if (::unlinkat(dfd, entry->d_name, 0) == 0) ++removed;
    }
    ::closedir(dir);
    return removed;
}

}  // namespace kelvane::core
