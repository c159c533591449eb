// Helpers for tests against the real file system: a scratch folder, file
// contents and identities, and running a step in a child process, as
// another user or under a file size limit, so that neither the limit nor the
// lost privileges reach the test program.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace elutrix::testing {

// Ids that no account on a test machine has: a user, a second user and a
// group that only the first belongs to. Only root can hand files to them.
inline constexpr uid_t other_user = 64101;
inline constexpr uid_t third_user = 64102;
inline constexpr gid_t lab_group = 64103;
inline constexpr gid_t other_users_group = 64104;

inline bool running_as_root() { return ::geteuid() == 0; }

// A fresh folder that goes with everything in it. Open to every user, so
// that a child running as other_user can reach what a test puts there.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "elutrix-fs-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        path_ = pattern;
        ::chmod(path_.c_str(), 0777);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    ~ScratchFolder() {
        // Folders a test made unwritable must be opened again to be emptied.
        std::error_code ignored;
        for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
            if (it->is_directory(ignored) && !it->is_symlink(ignored)) ::chmod(it->path().c_str(), 0777);
        }
        std::filesystem::remove_all(path_, ignored);
    }

    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<unreadable>";
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const std::string& bytes, mode_t mode = 0644) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    ::chmod(path.c_str(), mode);
}

// The names in a folder, hidden ones too.
inline std::set<std::string> entries(const std::filesystem::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.insert(entry.path().filename());
    return names;
}

struct Identity {
    ino_t inode = 0;
    nlink_t links = 0;
    uid_t owner = 0;
    gid_t group = 0;
    mode_t mode = 0;  // permission bits with set-user-ID, set-group-ID and sticky
    bool is_link = false;
};

inline Identity identity(const std::string& path) {
    struct stat st {};
    Identity id;
    if (::lstat(path.c_str(), &st) != 0) return id;
    id.is_link = S_ISLNK(st.st_mode);
    if (id.is_link && ::stat(path.c_str(), &st) != 0) return id;
    id.inode = st.st_ino;
    id.links = st.st_nlink;
    id.owner = st.st_uid;
    id.group = st.st_gid;
    id.mode = st.st_mode & 07777;
    return id;
}

// How a step runs in its child process.
struct ChildSetup {
    std::optional<uid_t> user;            // runs as this user (only root can)
    gid_t group = other_users_group;      // with this as its group
    std::vector<gid_t> extra_groups;      // and these beside it
    std::optional<rlim_t> file_size_limit;  // SIGXFSZ left at its default: the limit ends the child
    mode_t umask = 022;
};

// Runs step in a child process set up as asked and returns the exit status
// the step returned (0 to 125), or 128 + n when signal n ended the child.
inline int run_in_child(const ChildSetup& setup, const std::function<int()>& step) {
    const pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
        ::umask(setup.umask);
        if (setup.user) {
            if (::setgroups(setup.extra_groups.size(), setup.extra_groups.data()) != 0 ||
                ::setresgid(setup.group, setup.group, setup.group) != 0 ||
                ::setresuid(*setup.user, *setup.user, *setup.user) != 0) {
                ::_exit(90);
            }
        }
        if (setup.file_size_limit) {
            ::signal(SIGXFSZ, SIG_DFL);
            rlimit limit{};
            ::getrlimit(RLIMIT_FSIZE, &limit);
            limit.rlim_cur = *setup.file_size_limit;
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(91);
        }
        ::_exit(step());
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

}  // namespace elutrix::testing
