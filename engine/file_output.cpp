#include "engine/file_output.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <random>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#if __has_include(<sys/xattr.h>)
#include <sys/xattr.h>
#define ELUTRIX_HAVE_XATTR 1
#endif

namespace elutrix {

namespace {

std::error_code system_error(int number) { return {number, std::generic_category()}; }

bool fail(std::error_code& error, int number) {
    error = system_error(number);
    return false;
}

// An open file descriptor, closed when it goes.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closes now and tells whether the close reported no error (a file
    // system may report a failed write only here).
    bool close() { return ::close(std::exchange(fd_, -1)) == 0; }

private:
    int fd_ = -1;
};

// While it lives, a write past the file size limit or into a pipe without a
// reader fails with an error on this thread instead of ending the program
// through SIGXFSZ or SIGPIPE; such a signal raised meanwhile is taken back.
class QuietWriteSignals {
public:
    QuietWriteSignals() {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGPIPE);
        sigaddset(&signals_, SIGXFSZ);
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        pipe_was_pending_ = sigismember(&pending, SIGPIPE) == 1;
        size_was_pending_ = sigismember(&pending, SIGXFSZ) == 1;
        pthread_sigmask(SIG_BLOCK, &signals_, &saved_);
    }
    QuietWriteSignals(const QuietWriteSignals&) = delete;
    QuietWriteSignals& operator=(const QuietWriteSignals&) = delete;
    ~QuietWriteSignals() {
        sigset_t raised;
        sigemptyset(&raised);
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        if (!pipe_was_pending_ && sigismember(&pending, SIGPIPE) == 1) sigaddset(&raised, SIGPIPE);
        if (!size_was_pending_ && sigismember(&pending, SIGXFSZ) == 1) sigaddset(&raised, SIGXFSZ);
        const timespec no_wait{};
        while (sigtimedwait(&raised, nullptr, &no_wait) > 0) {
        }
        pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }

private:
    sigset_t signals_{};
    sigset_t saved_{};
    bool pipe_was_pending_ = false;
    bool size_was_pending_ = false;
};

bool write_all(int fd, const char* data, std::size_t size, int& failure) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            failure = errno;
            return false;
        }
        if (written == 0) {
            failure = EIO;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// The sink that writes the content into a file from its current offset.
struct FileSink {
    int fd = -1;
    bool start_writeback = false;  // a regular file that is synced at the end
    int failure = 0;
    std::uint64_t total = 0;
    std::uint64_t handed_on = 0;

    bool operator()(const char* data, std::size_t size) {
        if (!write_all(fd, data, size, failure)) return false;
        total += size;
#if defined(__linux__)
        // The device starts on what is written while the rest is still being
        // formatted, so that the sync at the end has less to wait for.
        constexpr std::uint64_t step = std::uint64_t{4} << 20;
        if (start_writeback && total - handed_on >= step) {
            ::sync_file_range(fd, static_cast<off_t>(handed_on), static_cast<off_t>(total - handed_on),
                              SYNC_FILE_RANGE_WRITE);
            handed_on = total;
        }
#endif
        return true;
    }
};

// Runs the producer into fd; total receives the number of bytes written.
bool produce(const ContentProducer& content, int fd, bool start_writeback, std::uint64_t& total,
             std::error_code& error) {
    FileSink sink{fd, start_writeback};
    FileSink* const target = &sink;
    if (!content([target](const char* data, std::size_t size) { return (*target)(data, size); })) {
        error = sink.failure != 0 ? system_error(sink.failure) : std::make_error_code(std::errc::operation_canceled);
        return false;
    }
    total = sink.total;
    return true;
}

bool produce(const ContentProducer& content, int fd, bool start_writeback, std::error_code& error) {
    std::uint64_t total = 0;
    return produce(content, fd, start_writeback, total, error);
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string name_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Follows a symbolic link, and the links it names, to the path of the file
// they finally name, which need not exist yet.
bool follow_links(std::string& path, std::error_code& error) {
    constexpr int most_links = 40;  // as the kernel allows in one lookup
    for (int hops = 0;; ++hops) {
        struct stat entry {};
        if (::lstat(path.c_str(), &entry) != 0 || !S_ISLNK(entry.st_mode)) return true;
        if (hops == most_links) return fail(error, ELOOP);
        std::string target(PATH_MAX, '\0');
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length < 0) return fail(error, errno);
        if (static_cast<std::size_t>(length) >= target.size()) return fail(error, ENAMETOOLONG);
        if (length == 0) return fail(error, ENOENT);
        target.resize(static_cast<std::size_t>(length));
        path = target.front() == '/' ? target : folder_of(path) + '/' + target;
    }
}

// A name for a temporary file beside name in folder: the hidden name with a
// random suffix, or a short one of our own where that would be longer than
// the folder allows.
std::string temporary_name(const std::string& folder, const std::string& name) {
    thread_local std::mt19937_64 random(static_cast<std::uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count() ^ (static_cast<long long>(::getpid()) << 32)));
    static constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string suffix(8, 'x');
    for (char& letter : suffix) letter = letters[random() % (sizeof letters - 1)];
    long longest = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    if (longest <= 0) longest = NAME_MAX;
    std::string sibling = '.' + name + '.' + suffix;
    if (sibling.size() <= static_cast<std::size_t>(longest)) return sibling;
    return ".elutrix-" + suffix;
}

// A new file in a folder, under no name until it is committed (where the
// file system has unnamed files), else under a temporary name that goes
// with the object unless committed. A kill before the commit therefore
// leaves nothing, or at worst the temporary file, and never a partial file
// under the target's name.
class TemporaryFile {
public:
    TemporaryFile(std::string folder, std::string name) : folder_(std::move(folder)), name_(std::move(name)) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }

    int fd() const { return fd_.get(); }

    // Tries temporary names in the folder until make(path) succeeds with one,
    // which becomes the file's name; a name that is taken (EEXIST) is
    // followed by another, any other failure ends the search.
    template <class Make>
    bool take_free_name(int& failure, Make make) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string path = folder_ + '/' + temporary_name(folder_, name_);
            if (make(path)) {
                path_ = std::move(path);
                return true;
            }
            if (errno != EEXIST) {
                failure = errno;
                return false;
            }
        }
        failure = EEXIST;
        return false;
    }

    bool create(mode_t mode, bool unnamed, int& failure) {
#if defined(O_TMPFILE)
        if (unnamed) {
            fd_.reset(::open(folder_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
            if (fd_) return true;
            // Any other error means this file system has no unnamed files.
            if (errno == EACCES || errno == EPERM || errno == EROFS || errno == ENOENT || errno == ENOTDIR ||
                errno == ENOSPC || errno == EDQUOT || errno == ENOMEM) {
                failure = errno;
                return false;
            }
        }
#else
        (void)unnamed;
#endif
        return take_free_name(failure, [&](const std::string& path) {
            fd_.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, mode));
            return static_cast<bool>(fd_);
        });
    }

    // Gives the file a name in its folder where it has none yet.
    bool name(int& failure) {
        if (!path_.empty()) return true;
        const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
        return take_free_name(failure, [&](const std::string& path) {
            return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
        });
    }

    // Puts the named file in the target's place in one step.
    bool commit(const std::string& target, int& failure) {
        if (::rename(path_.c_str(), target.c_str()) != 0) {
            failure = errno;
            return false;
        }
        path_.clear();
        return true;
    }

private:
    std::string folder_;
    std::string name_;
    std::string path_;  // the temporary name while the file has one
    Descriptor fd_;
};

// Gives the new file the old one's owner and group; false where the system
// does not permit it.
bool take_owner_and_group(int fd, const struct stat& old) {
    struct stat now {};
    if (::fstat(fd, &now) != 0) return false;
    if (now.st_uid == old.st_uid && now.st_gid == old.st_gid) return true;
    return ::fchown(fd, old.st_uid, old.st_gid) == 0;
}

// Copies the extended attributes (access lists among them) that the system
// lets us copy.
void copy_extended_attributes([[maybe_unused]] const std::string& source, [[maybe_unused]] int fd) {
#if defined(ELUTRIX_HAVE_XATTR)
    const ssize_t length = ::listxattr(source.c_str(), nullptr, 0);
    if (length <= 0) return;
    std::vector<char> names(static_cast<std::size_t>(length));
    const ssize_t listed = ::listxattr(source.c_str(), names.data(), names.size());
    if (listed <= 0) return;
    std::vector<char> value;
    for (const char* attribute = names.data(); attribute < names.data() + listed;
         attribute += std::strlen(attribute) + 1) {
        const ssize_t size = ::getxattr(source.c_str(), attribute, nullptr, 0);
        if (size < 0) continue;
        value.resize(static_cast<std::size_t>(size));
        const ssize_t read = ::getxattr(source.c_str(), attribute, value.data(), value.size());
        if (read >= 0) ::fsetxattr(fd, attribute, value.data(), static_cast<std::size_t>(read), 0);
    }
#endif
}

// Makes the folder's new entry as durable as the file's data.
void sync_folder(const std::string& folder) {
    const Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) ::fsync(fd.get());
}

enum class Outcome {
    written,
    failed,
    impossible,      // only a rewrite in place can keep what the old file had
    unnamed_unusable // the unnamed file could not be given a name
};

Outcome write_replacement(const std::string& target, const std::string& folder, const std::string& name,
                          const struct stat* old, const ContentProducer& content, bool unnamed,
                          std::error_code& error) {
    TemporaryFile temporary(folder, name);
    int failure = 0;
    // A new file gets 0666 less the umask; a replacement is kept private
    // until it has the old file's mode.
    if (!temporary.create(old ? 0600 : 0666, unnamed, failure)) {
        error = system_error(failure);
        const bool refused = failure == EACCES || failure == EPERM || failure == EROFS;
        return old && refused ? Outcome::impossible : Outcome::failed;
    }
    if (old && !take_owner_and_group(temporary.fd(), *old)) return Outcome::impossible;
    if (!produce(content, temporary.fd(), true, error)) return Outcome::failed;
    if (old) {
        copy_extended_attributes(target, temporary.fd());
        // Last, because writing may clear the set-user-ID and set-group-ID bits.
        if (::fchmod(temporary.fd(), old->st_mode & 07777) != 0) return Outcome::impossible;
    }
    if (::fdatasync(temporary.fd()) != 0) {
        error = system_error(errno);
        return Outcome::failed;
    }
    if (!temporary.name(failure)) {
        error = system_error(failure);
        return Outcome::unnamed_unusable;
    }
    if (!temporary.commit(target, failure)) {
        error = system_error(failure);
        // A sticky folder, for instance, refuses to replace another user's file.
        const bool refused = failure == EACCES || failure == EPERM;
        return old && refused ? Outcome::impossible : Outcome::failed;
    }
    sync_folder(folder);
    return Outcome::written;
}

Outcome replace_atomically(const std::string& target, const struct stat* old, const ContentProducer& content,
                           std::error_code& error) {
    const std::string folder = folder_of(target);
    const std::string name = name_of(target);
    const Outcome outcome = write_replacement(target, folder, name, old, content, true, error);
    if (outcome != Outcome::unnamed_unusable) return outcome;
    error.clear();
    const Outcome named = write_replacement(target, folder, name, old, content, false, error);
    return named == Outcome::unnamed_unusable ? Outcome::failed : named;
}

// Makes sure that the file can grow to size bytes without touching any of
// its old_size bytes, so that a full disk is found before they change.
bool reserve(int fd, off_t old_size, std::uint64_t size, std::error_code& error) {
    if (size == 0) return true;
    const off_t wanted = static_cast<off_t>(size);
    const int result = ::posix_fallocate(fd, 0, wanted);
    if (result == 0) return true;
    const bool unsupported = result == EOPNOTSUPP || result == EINVAL || result == EBADF || result == ENODEV;
    bool reserved = false;
    if (unsupported) {
        // The blocks past the old end are reserved by writing zeros there.
        static constexpr char zeros[64 * 1024] = {};
        off_t offset = old_size;
        int failure = 0;
        reserved = true;
        while (offset < wanted) {
            const std::size_t chunk = static_cast<std::size_t>(std::min<off_t>(wanted - offset, sizeof zeros));
            const ssize_t written = ::pwrite(fd, zeros, chunk, offset);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) {
                failure = written < 0 ? errno : EIO;
                reserved = false;
                break;
            }
            offset += written;
        }
        if (!reserved) error = system_error(failure);
    } else {
        error = system_error(result);
    }
    if (!reserved) {
        // Whatever was added beyond the old end goes again.
        struct stat now {};
        if (::fstat(fd, &now) == 0 && now.st_size > old_size) {
            while (::ftruncate(fd, old_size) != 0 && errno == EINTR) {
            }
        }
    }
    return reserved;
}

bool rewrite_in_place(const std::string& target, const ContentProducer& content, std::error_code& error) {
    std::uint64_t size = 0;
    std::uint64_t* const counted = &size;
    if (!content([counted](const char*, std::size_t bytes) {
            *counted += bytes;
            return true;
        })) {
        error = std::make_error_code(std::errc::operation_canceled);
        return false;
    }
    // Read access lets the C library reserve room on file systems without
    // the call for it.
    Descriptor fd(::open(target.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!fd && errno == EACCES) fd.reset(::open(target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
    if (!fd) return fail(error, errno);
    struct stat now {};
    if (::fstat(fd.get(), &now) != 0) return fail(error, errno);
    if (!reserve(fd.get(), now.st_size, size, error)) return false;

    std::uint64_t written = 0;
    if (!produce(content, fd.get(), true, written, error)) return false;
    if (::ftruncate(fd.get(), static_cast<off_t>(written)) != 0) return fail(error, errno);
    if (::fdatasync(fd.get()) != 0) return fail(error, errno);
    if (!fd.close()) return fail(error, errno);
    return true;
}

// A device or a pipe: written as it is, never truncated or replaced.
bool write_stream(const std::string& target, bool pipe, const ContentProducer& content, std::error_code& error) {
    // A pipe without a reader refuses at once instead of waiting for one.
    Descriptor fd(::open(target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | (pipe ? O_NONBLOCK : 0)));
    if (!fd) return fail(error, errno);
    if (pipe) {
        const int flags = ::fcntl(fd.get(), F_GETFL);
        if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return fail(error, errno);
    }
    if (!produce(content, fd.get(), false, error)) return false;
    if (!fd.close()) return fail(error, errno);
    return true;
}

bool replace(const std::string& path, const ContentProducer& content, std::error_code& error) {
    if (path.empty()) return fail(error, ENOENT);
    if (path.back() == '/') return fail(error, EISDIR);
    std::string target = path;
    if (!follow_links(target, error)) return false;

    struct stat old {};
    if (::stat(target.c_str(), &old) != 0) {
        if (errno != ENOENT) return fail(error, errno);
        return replace_atomically(target, nullptr, content, error) == Outcome::written;
    }
    if (S_ISDIR(old.st_mode)) return fail(error, EISDIR);
    if (!S_ISREG(old.st_mode)) return write_stream(target, S_ISFIFO(old.st_mode), content, error);
    // A file the user may not write is not replaced behind its back.
    if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return fail(error, errno);
    // A file with other names is rewritten, so that they all see the new
    // content.
    if (old.st_nlink == 1) {
        const Outcome outcome = replace_atomically(target, &old, content, error);
        if (outcome != Outcome::impossible) return outcome == Outcome::written;
        error.clear();
    }
    return rewrite_in_place(target, content, error);
}

}  // namespace

bool replace_file(const std::string& path, const ContentProducer& content, std::error_code& error) {
    error.clear();
    const QuietWriteSignals quiet;
    try {
        return replace(path, content, error);
    } catch (const std::bad_alloc&) {
        error = std::make_error_code(std::errc::not_enough_memory);
        return false;
    }
}

bool replace_file(const std::string& path, const ContentProducer& content) {
    std::error_code ignored;
    return replace_file(path, content, ignored);
}

}  // namespace elutrix
