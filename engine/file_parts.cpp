#include "engine/file_parts.h"

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

namespace elutrix::file_parts {

namespace {

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

}  // namespace

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

bool follow_links(std::string& path, std::error_code& error, LinkEnd* end) {
    constexpr int most_links = 40;  // as the kernel allows in one lookup
    for (int hops = 0;; ++hops) {
        struct stat entry {};
        if (::lstat(path.c_str(), &entry) != 0) {
            if (end) end->lstat_errno = errno;
            return true;
        }
        if (!S_ISLNK(entry.st_mode)) {
            if (end) {
                end->lstat_errno = 0;
                end->entry = entry;
            }
            return true;
        }
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

std::string temporary_name(const std::string& folder, const std::string& name) {
    thread_local std::mt19937_64 random(static_cast<std::uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count() ^ (static_cast<long long>(::getpid()) << 32)));
    static constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string suffix(8, 'x');
    for (char& letter : suffix) letter = letters[random() % (sizeof letters - 1)];
    // Asked once for the folder that one thread writes into over and over.
    thread_local std::string asked_folder;
    thread_local long asked_longest = 0;
    if (asked_longest == 0 || folder != asked_folder) {
        asked_longest = ::pathconf(folder.c_str(), _PC_NAME_MAX);
        if (asked_longest <= 0) asked_longest = NAME_MAX;
        asked_folder = folder;
    }
    const long longest = asked_longest;
    std::string sibling = '.' + name + '.' + suffix;
    if (sibling.size() <= static_cast<std::size_t>(longest)) return sibling;
    return ".elutrix-" + suffix;
}

bool take_owner_and_group(int fd, const struct stat& old) {
    struct stat now {};
    if (::fstat(fd, &now) != 0) return false;
    if (now.st_uid == old.st_uid && now.st_gid == old.st_gid) return true;
    return ::fchown(fd, old.st_uid, old.st_gid) == 0;
}

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

void sync_folder(const std::string& folder) {
    const Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) ::fsync(fd.get());
}

}  // namespace elutrix::file_parts
