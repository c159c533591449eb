// The file system's part of replacing a file (see file_output.cpp): open
// files, signals quieted while writing, the content written out, names of
// folders and temporary files, and what a replacement keeps of the old file.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "engine/file_output.h"

namespace elutrix::file_parts {

inline std::error_code system_error(int number) { return {number, std::generic_category()}; }

inline bool fail(std::error_code& error, int number) {
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
        // Inside another one on this thread, that one does it all.
        if (depth()++ > 0) return;
        outer_ = true;
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
        --depth();
        if (!outer_) return;
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
    static int& depth() {
        thread_local int nested = 0;
        return nested;
    }

    bool outer_ = false;
    sigset_t signals_{};
    sigset_t saved_{};
    bool pipe_was_pending_ = false;
    bool size_was_pending_ = false;
};

// Writes all of data to fd; failure receives the error number when not.
bool write_all(int fd, const char* data, std::size_t size, int& failure);

// Runs the producer into fd; total receives the number of bytes written.
// start_writeback starts the device's writing of each block as it is done.
bool produce(const ContentProducer& content, int fd, bool start_writeback, std::uint64_t& total,
             std::error_code& error);
bool produce(const ContentProducer& content, int fd, bool start_writeback, std::error_code& error);

// The folder of a path ("." for a bare name) and its last part.
std::string folder_of(const std::string& path);
std::string name_of(const std::string& path);

// Follows a symbolic link, and the links it names, to the path of the file
// they finally name, which need not exist yet.
// What the path that follow_links ends on is: the error of its lstat, or
// 0 and its status (that of a file that is no link).
struct LinkEnd {
    int lstat_errno = 0;
    struct stat entry {};
};
bool follow_links(std::string& path, std::error_code& error, LinkEnd* end = nullptr);

// A name for a temporary file beside name in folder: the hidden name with a
// random suffix, or a short one of our own where that would be longer than
// the folder allows.
std::string temporary_name(const std::string& folder, const std::string& name);

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

    // Gives a file that has no name yet the target's name, where nothing
    // bears that name: a new file appears whole in one step.
    bool link_as_new(const std::string& target) {
        if (!path_.empty()) return false;
        const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
        return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0;
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
bool take_owner_and_group(int fd, const struct stat& old);

// Copies the extended attributes (access lists among them) that the system
// lets us copy.
void copy_extended_attributes(const std::string& source, int fd);

// Makes the folder's new entry as durable as the file's data.
void sync_folder(const std::string& folder);

}  // namespace elutrix::file_parts
