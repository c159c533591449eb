// Replacing a file on the real file system: the new file keeps what the old
// one had, a failure or a kill leaves the old one as it was, and every name,
// link, device and limit ends soundly. Steps that need another user or a file
// size limit run in a child process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/file_output.h"
#include "file_system_support.h"

namespace elutrix {
namespace {

using testing::ChildSetup;
using testing::entries;
using testing::identity;
using testing::read_file;
using testing::run_in_child;
using testing::running_as_root;
using testing::ScratchFolder;
using testing::write_file;

// Hands the content to the sink in pieces.
ContentProducer producer_of(std::string content) {
    return [content = std::move(content)](const ByteSink& sink) {
        constexpr std::size_t piece = 4096;
        for (std::size_t at = 0; at < content.size(); at += piece) {
            if (!sink(content.data() + at, std::min(piece, content.size() - at))) return false;
        }
        return true;
    };
}

// A child's exit status for a call: 0 on success, else the error number.
int status_of(bool written, const std::error_code& error) {
    if (written) return error ? 126 : 0;
    const bool plain = error.category() == std::generic_category() && error.value() > 0 && error.value() < 126;
    return plain ? error.value() : 127;
}

int replace_in_child(const ChildSetup& setup, const std::string& path, const ContentProducer& content) {
    return run_in_child(setup, [&] {
        std::error_code error;
        const bool written = replace_file(path, content, error);
        return status_of(written, error);
    });
}

int replace_in_child(const ChildSetup& setup, const std::string& path, const std::string& content) {
    return replace_in_child(setup, path, producer_of(content));
}

// A user that the folder and file permissions hold: other_user when the tests
// run as root (root passes every permission check), else the test's own.
ChildSetup unprivileged() {
    ChildSetup setup;
    if (running_as_root()) setup.user = testing::other_user;
    return setup;
}

// Hands a file or folder to the user of unprivileged().
void give_to_unprivileged(const std::string& path) {
    if (running_as_root()) {
        ASSERT_EQ(::lchown(path.c_str(), testing::other_user, testing::other_users_group), 0);
    }
}

std::string lines(std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += std::to_string(i) + ",0.5\r\n";
    return text;
}

TEST(ReplaceFile, NewAndReplacedFilesGetTheRightMode) {
    struct Case {
        const char* name;
        std::optional<std::string> old;  // none: a new file
        mode_t old_mode;
        mode_t umask;
        std::string content;
        mode_t expected_mode;
    };
    const Case cases[] = {
        {"new file, umask 022", std::nullopt, 0, 022, "1,2\r\n", 0644},
        {"new file, umask 077", std::nullopt, 0, 077, "1,2\r\n", 0600},
        {"new file, umask 002", std::nullopt, 0, 002, lines(50000), 0664},
        {"new empty file", std::nullopt, 0, 022, "", 0644},
        {"longer than the old file", "a,b\r\n", 0640, 022, lines(1000), 0640},
        {"shorter than the old file", std::string(100000, 'x'), 0600, 077, "1,2\r\n", 0600},
        {"empty over a file", "x", 0604, 022, "", 0604},
        {"set-user-ID and set-group-ID", "x", 06755, 022, "1,2\r\n", 06755},
        {"sticky bit", "x", 01644, 022, "1,2\r\n", 01644},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ScratchFolder folder;
        const std::string path = folder / "run.xy";
        if (c.old) write_file(path, *c.old, c.old_mode);
        const ino_t old_inode = identity(path).inode;
        ChildSetup setup;
        setup.umask = c.umask;
        EXPECT_EQ(replace_in_child(setup, path, c.content), 0);
        EXPECT_EQ(read_file(path), c.content);
        EXPECT_EQ(identity(path).mode, c.expected_mode);
        EXPECT_EQ(entries(folder.path()), std::set<std::string>{"run.xy"});
        // An ordinary file is replaced as a whole, not rewritten.
        if (c.old) {
            EXPECT_NE(identity(path).inode, old_inode);
        }
    }
}

TEST(ReplaceFile, EveryValidNameLengthWorks) {
    for (std::size_t length = 249; length <= 256; ++length) {
        for (const bool existing : {false, true}) {
            SCOPED_TRACE(::testing::Message() << length << (existing ? " bytes, existing" : " bytes, new"));
            const ScratchFolder folder;
            const std::string name = std::string(length - 3, 'n') + ".xy";
            const std::string path = folder / name;
            if (existing && length <= 255) write_file(path, "old\r\n");
            const std::set<std::string> before = entries(folder.path());
            const int status = replace_in_child({}, path, "1,2\r\n");
            if (length <= 255) {
                EXPECT_EQ(status, 0);
                EXPECT_EQ(read_file(path), "1,2\r\n");
                EXPECT_EQ(entries(folder.path()), std::set<std::string>{name});
            } else {
                EXPECT_EQ(status, ENAMETOOLONG);
                EXPECT_EQ(entries(folder.path()), before);
            }
        }
    }
}

// Where a replacement is impossible the file is rewritten in place; a full
// disk must still fail before any old byte changes. The replacement in a
// writable folder is held to the same.
TEST(ReplaceFile, InPlaceWhereNoReplacementIsPossible) {
    enum class Place { unwritable_folder, second_hard_link, writable_folder };
    struct Case {
        const char* name;
        Place place;
        std::string content;
        bool disk_full;  // the file may grow by only 100 bytes
    };
    const std::string old = lines(300);
    const Case cases[] = {
        {"unwritable folder, longer", Place::unwritable_folder, lines(5000), false},
        {"unwritable folder, shorter", Place::unwritable_folder, "1,2\r\n", false},
        {"unwritable folder, emptied", Place::unwritable_folder, "", false},
        {"unwritable folder, disk full", Place::unwritable_folder, lines(5000), true},
        {"second hard link, longer", Place::second_hard_link, lines(5000), false},
        {"second hard link, shorter", Place::second_hard_link, "1,2\r\n", false},
        {"second hard link, disk full", Place::second_hard_link, lines(5000), true},
        {"writable folder, disk full", Place::writable_folder, lines(5000), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ScratchFolder scratch;
        const std::string folder = scratch / "data";
        ASSERT_EQ(::mkdir(folder.c_str(), 0777), 0);
        ::chmod(folder.c_str(), 0777);
        const std::string path = folder + "/run.xy";
        const std::string other_name = folder + "/same.xy";
        write_file(path, old, 0640);
        give_to_unprivileged(path);
        if (c.place == Place::second_hard_link) {
            ASSERT_EQ(::link(path.c_str(), other_name.c_str()), 0);
        }
        if (c.place == Place::unwritable_folder) ::chmod(folder.c_str(), 0555);
        const testing::Identity before = identity(path);
        const std::set<std::string> names = entries(folder);

        ChildSetup setup = unprivileged();
        if (c.disk_full) setup.file_size_limit = old.size() + 100;
        const int status = replace_in_child(setup, path, c.content);

        const testing::Identity after = identity(path);
        if (c.disk_full) {
            EXPECT_EQ(status, EFBIG);  // and not ended by SIGXFSZ
            EXPECT_TRUE(read_file(path) == old);
        } else {
            EXPECT_EQ(status, 0);
            EXPECT_TRUE(read_file(path) == c.content);
            EXPECT_EQ(after.inode, before.inode);
        }
        EXPECT_EQ(after.mode, 0640);
        EXPECT_EQ(after.links, before.links);
        EXPECT_EQ(entries(folder), names);
        if (c.place == Place::second_hard_link) {
            EXPECT_TRUE(read_file(other_name) == read_file(path));
        }
    }
}

TEST(ReplaceFile, OwnerAndGroupStay) {
    if (!running_as_root()) GTEST_SKIP() << "needs root to hand files to a second user and group";
    using testing::lab_group;
    using testing::other_user;
    using testing::other_users_group;
    using testing::third_user;
    struct Case {
        const char* name;
        uid_t owner;
        gid_t group;
        mode_t mode;
        std::optional<uid_t> writer;  // none: root
        bool writer_in_lab;
        bool rewritten_in_place;  // a new file could not have had that owner and group
    };
    const Case cases[] = {
        {"root writes a user's lab file", other_user, lab_group, 0640, std::nullopt, false, false},
        {"root writes a set-group-ID lab file", other_user, lab_group, 02770, std::nullopt, false, false},
        {"root writes a user's set-user-ID file", other_user, other_users_group, 04755, std::nullopt, false, false},
        {"root writes a sticky file", other_user, lab_group, 01664, std::nullopt, false, false},
        {"user writes own lab file", other_user, lab_group, 0640, other_user, true, false},
        {"user writes own set-group-ID lab file", other_user, lab_group, 02660, other_user, true, false},
        {"user writes a colleague's lab file", third_user, lab_group, 0660, other_user, true, true},
        {"user writes own file of a group not theirs", other_user, lab_group, 0640, other_user, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ScratchFolder folder;
        const std::string path = folder / "run.xy";
        write_file(path, lines(100));
        ASSERT_EQ(::chown(path.c_str(), c.owner, c.group), 0);
        ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
        const ino_t old_inode = identity(path).inode;
        ChildSetup setup;
        setup.user = c.writer;
        if (c.writer_in_lab) setup.extra_groups = {lab_group};
        EXPECT_EQ(replace_in_child(setup, path, "1,2\r\n"), 0);
        const testing::Identity after = identity(path);
        EXPECT_EQ(read_file(path), "1,2\r\n");
        EXPECT_EQ(after.owner, c.owner);
        EXPECT_EQ(after.group, c.group);
        // A user's own writing clears set-user-ID and set-group-ID in place,
        // as the system does for every write.
        const bool privileges_cleared = c.rewritten_in_place && c.writer;
        EXPECT_EQ(after.mode, privileges_cleared ? (c.mode & 01777) : c.mode);
        EXPECT_EQ(after.inode == old_inode, c.rewritten_in_place);
        EXPECT_EQ(entries(folder.path()), std::set<std::string>{"run.xy"});
    }
}

TEST(ReplaceFile, ExtendedAttributesStay) {
    const ScratchFolder folder;
    const std::string path = folder / "run.xy";
    write_file(path, "old\r\n");
    const std::string note = "lab notebook 7";
    if (::setxattr(path.c_str(), "user.elutrix_note", note.data(), note.size(), 0) != 0) {
        GTEST_SKIP() << "no extended attributes here: " << std::strerror(errno);
    }
    ASSERT_TRUE(replace_file(path, producer_of("1,2\r\n")));
    char kept[64] = {};
    const ssize_t size = ::getxattr(path.c_str(), "user.elutrix_note", kept, sizeof kept);
    EXPECT_EQ(std::string(kept, static_cast<std::size_t>(std::max<ssize_t>(size, 0))), note);
}

// Links are followed to the file they name; the file is judged by its own
// folder, and the links stay links.
TEST(ReplaceFile, SymbolicLinksAreFollowed) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> links;  // link name in links/, what it points to
        std::string written;                                     // where the content must land
        int status;
    };
    const Case cases[] = {
        {"to a file in an unwritable folder", {{"a", "../locked/data.xy"}}, "locked/data.xy", 0},
        {"to a file in a writable folder", {{"a", "@/open/data.xy"}}, "open/data.xy", 0},
        {"through a chain of links", {{"a", "b"}, {"b", "../open/c"}}, "open/data.xy", 0},
        {"to a file not there yet", {{"a", "../open/new.xy"}}, "open/new.xy", 0},
        {"in a loop", {{"a", "b"}, {"b", "a"}}, "", ELOOP},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ScratchFolder scratch;
        for (const char* folder : {"locked", "open", "links"}) {
            ASSERT_EQ(::mkdir((scratch / folder).c_str(), 0777), 0);
            ::chmod((scratch / folder).c_str(), 0777);
        }
        write_file(scratch / "locked/data.xy", "old\r\n", 0640);
        write_file(scratch / "open/data.xy", "old\r\n", 0640);
        give_to_unprivileged(scratch / "locked/data.xy");
        give_to_unprivileged(scratch / "open/data.xy");
        ASSERT_EQ(::symlink("data.xy", (scratch / "open/c").c_str()), 0);
        for (const auto& [name, target] : c.links) {
            const std::string resolved = target[0] == '@' ? scratch.path().string() + target.substr(1) : target;
            ASSERT_EQ(::symlink(resolved.c_str(), (scratch / ("links/" + name)).c_str()), 0);
        }
        ::chmod((scratch / "locked").c_str(), 0555);
        const ino_t locked_inode = identity(scratch / "locked/data.xy").inode;

        EXPECT_EQ(replace_in_child(unprivileged(), scratch / "links/a", "1,2\r\n"), c.status);
        for (const auto& [name, target] : c.links) EXPECT_TRUE(identity(scratch / ("links/" + name)).is_link);
        for (const char* file : {"locked/data.xy", "open/data.xy"}) {
            EXPECT_EQ(read_file(scratch / file), c.written == file ? "1,2\r\n" : "old\r\n") << file;
        }
        EXPECT_EQ(std::filesystem::exists(scratch / "open/new.xy"), c.written == "open/new.xy");
        EXPECT_EQ(identity(scratch / "locked/data.xy").inode, locked_inode);
        EXPECT_EQ(identity(scratch / "open/data.xy").mode, 0640);
        if (c.written == "open/new.xy") {
            EXPECT_EQ(identity(scratch / "open/new.xy").mode, 0644);
        }
    }
}

TEST(ReplaceFile, PathsThatCannotBeWrittenFailCleanly) {
    struct Case {
        const char* name;
        std::string path;  // inside the scratch folder
        int status;
    };
    const Case cases[] = {
        {"folder that does not exist", "missing/out.xy", ENOENT},
        {"the path is a folder", "folder", EISDIR},
        {"a name ending in a slash", "new/", EISDIR},
        {"under a file", "plain.xy/out.xy", ENOTDIR},
        {"a file nobody may write", "readonly.xy", EACCES},
        {"a new file in an unwritable folder", "locked/new.xy", EACCES},
        {"an empty path", "", ENOENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ScratchFolder scratch;
        ASSERT_EQ(::mkdir((scratch / "folder").c_str(), 0777), 0);
        ASSERT_EQ(::mkdir((scratch / "locked").c_str(), 0555), 0);
        write_file(scratch / "plain.xy", "keep\r\n");
        write_file(scratch / "readonly.xy", "keep\r\n", 0444);
        give_to_unprivileged(scratch / "readonly.xy");
        const std::set<std::string> before = entries(scratch.path());
        const std::string path = c.path.empty() ? "" : scratch / c.path;
        EXPECT_EQ(replace_in_child(unprivileged(), path, "1,2\r\n"), c.status);
        EXPECT_EQ(entries(scratch.path()), before);
        EXPECT_TRUE(entries(scratch.path() / "folder").empty());
        EXPECT_TRUE(entries(scratch.path() / "locked").empty());
        EXPECT_EQ(read_file(scratch / "plain.xy"), "keep\r\n");
        EXPECT_EQ(read_file(scratch / "readonly.xy"), "keep\r\n");
    }
}

TEST(ReplaceFile, DevicesAndPipesAreWrittenAsTheyAre) {
    for (const char* device : {"/dev/full", "/dev/null"}) {
        SCOPED_TRACE(device);
        struct stat st {};
        if (::stat(device, &st) != 0 || !S_ISCHR(st.st_mode)) GTEST_SKIP() << device << " is missing here";
        EXPECT_EQ(replace_in_child({}, device, lines(1000)), std::string(device) == "/dev/full" ? ENOSPC : 0);
        EXPECT_TRUE(::stat(device, &st) == 0 && S_ISCHR(st.st_mode));
    }

    const ScratchFolder scratch;
    const std::string pipe = scratch / "pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0666), 0);
    // No reader: refused at once instead of waiting for one.
    EXPECT_EQ(replace_in_child({}, pipe, "1,2\r\n"), ENXIO);

    // A reader that takes everything.
    const std::string content = lines(20000);
    std::string got;
    const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    std::thread reading([&] {
        char buffer[8192];
        ::fcntl(reader, F_SETFL, 0);
        for (;;) {
            const ssize_t n = ::read(reader, buffer, sizeof buffer);
            if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
            else if (n == 0 && !got.empty()) break;  // the writer has closed
            else if (n < 0 && errno != EINTR) break;
        }
    });
    EXPECT_TRUE(replace_file(pipe, producer_of(content)));
    reading.join();
    ::close(reader);
    EXPECT_TRUE(got == content);

    // A reader that goes away: an error, not the end of the program.
    const int status = run_in_child({}, [&] {
        int early_reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
        std::error_code error;
        const bool written = replace_file(pipe, [&](const ByteSink& sink) {
            ::close(early_reader);
            return sink(content.data(), content.size());
        }, error);
        return status_of(written, error);
    });
    EXPECT_EQ(status, EPIPE);
    struct stat st {};
    EXPECT_TRUE(::stat(pipe.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
}

// Whatever ends the writing of a replacement, the old file stays as it was
// and nothing is left under the file's name.
TEST(ReplaceFile, AnInterruptedReplacementKeepsTheOldFile) {
    struct Case {
        const char* name;
        int status;
        std::function<bool(const ByteSink&)> producer;
    };
    const std::string half = lines(100000);
    const Case cases[] = {
        {"the producer gives up", ECANCELED,
         [&](const ByteSink& sink) { return sink(half.data(), half.size()) && false; }},
        {"the producer runs out of memory", ENOMEM,
         [&](const ByteSink& sink) -> bool {
             sink(half.data(), half.size());
             throw std::bad_alloc();
         }},
        {"the program is killed", 128 + SIGKILL,
         [&](const ByteSink& sink) {
             sink(half.data(), half.size());
             std::raise(SIGKILL);
             return true;
         }},
    };
    for (const Case& c : cases) {
        for (const bool existing : {true, false}) {
            SCOPED_TRACE(::testing::Message() << c.name << (existing ? ", existing file" : ", new file"));
            const ScratchFolder folder;
            const std::string path = folder / "run.xy";
            if (existing) write_file(path, "old\r\n", 0640);
            EXPECT_EQ(replace_in_child({}, path, c.producer), c.status);
            if (existing) {
                EXPECT_EQ(read_file(path), "old\r\n");
                EXPECT_EQ(identity(path).mode, 0640);
            }
            // Only a kill on a file system without unnamed files could leave
            // a temporary file.
            std::set<std::string> left = entries(folder.path());
            left.erase("run.xy");
#if defined(O_TMPFILE)
            const int unnamed = ::open(folder.path().c_str(), O_TMPFILE | O_WRONLY, 0600);
            const bool kill_may_leave_one = unnamed < 0 && c.status == 128 + SIGKILL;
            if (unnamed >= 0) ::close(unnamed);
#else
            const bool kill_may_leave_one = c.status == 128 + SIGKILL;
#endif
            EXPECT_LE(left.size(), kill_may_leave_one ? 1u : 0u);
        }
    }
}

TEST(ReplaceFile, DeferredSyncStillReplacesWholeFilesAndSyncsTogether) {
    const ScratchFolder folder;
    const std::string path = folder / "run.xy";
    write_file(path, "old", 0640);
    const struct Case {
        const char* name;
        std::string path;
        std::string content;
    } cases[] = {{"replaced", path, lines(2000)}, {"new", folder / "new.xy", "1,2\r\n"}};
    {
        const DeferredFileSync outer;
        {
            const DeferredFileSync inner;  // nested: the outer one keeps deferring
        }
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            EXPECT_TRUE(replace_file(c.path, [&](const ByteSink& sink) { return sink(c.content.data(), c.content.size()); }));
            EXPECT_EQ(read_file(c.path), c.content);
        }
    }
    EXPECT_EQ(identity(path).mode, 0640);
    EXPECT_EQ(entries(folder.path()), (std::set<std::string>{"run.xy", "new.xy"}));
    std::error_code error;
    EXPECT_TRUE(sync_file_system(folder.path().string(), error)) << error.message();
    EXPECT_FALSE(sync_file_system(folder / "missing", error));
    EXPECT_EQ(error, std::errc::no_such_file_or_directory);
}

}  // namespace
}  // namespace elutrix
