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

#include "engine/file_parts.h"

namespace elutrix {

namespace {

using namespace file_parts;

// Set while a DeferredFileSync of this thread lives.
thread_local bool sync_deferred = false;

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
    if (!sync_deferred && ::fdatasync(temporary.fd()) != 0) {
        error = system_error(errno);
        return Outcome::failed;
    }
    // A new file takes its name at once; should one have appeared meanwhile,
    // it is replaced as any other.
    if (!old && temporary.link_as_new(target)) {
        if (!sync_deferred) sync_folder(folder);
        return Outcome::written;
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
    if (!sync_deferred) sync_folder(folder);
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
    LinkEnd end;
    if (!follow_links(target, error, &end)) return false;

    // The status of the file that is no link, as lstat gave it; asked
    // again only when lstat failed otherwise than for a missing file.
    struct stat old = end.entry;
    if (end.lstat_errno == ENOENT) return replace_atomically(target, nullptr, content, error) == Outcome::written;
    if (end.lstat_errno != 0 && ::stat(target.c_str(), &old) != 0) {
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

struct QuietFileWrites::Quiet {
    file_parts::QuietWriteSignals signals;
};

QuietFileWrites::QuietFileWrites() : quiet_(std::make_unique<Quiet>()) {}

QuietFileWrites::~QuietFileWrites() = default;

DeferredFileSync::DeferredFileSync() : outer_(!sync_deferred) { sync_deferred = true; }

DeferredFileSync::~DeferredFileSync() {
    if (outer_) sync_deferred = false;
}

bool sync_file_system(const std::string& folder, std::error_code& error) {
    error.clear();
    const Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd || ::syncfs(fd.get()) != 0) {
        error = system_error(errno);
        return false;
    }
    return true;
}

}  // namespace elutrix
