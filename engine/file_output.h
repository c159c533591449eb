// Writing a whole file so that a failure never leaves half of it: the new
// content goes to a temporary file that takes the place of the old one only
// once every byte is written, and the new file keeps what the old one had.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <system_error>

#include "engine/xy_file.h"

namespace elutrix {

// Produces a file's content through the sink it is given, in order; returns
// false when the sink failed. It may be called more than once for one file
// (for instance once to learn the size), and must give the same bytes each
// time.
using ContentProducer = std::function<bool(const ByteSink& sink)>;

// Creates or replaces the file at path with the content. Returns false on any
// failure, and the old file, if there was one, is then left as it was
// wherever the file system allows.
//
// - A symbolic link is followed to the file it names, which is replaced (or
//   created) in its own folder; the link stays a link.
// - An existing file is replaced by a new file in the same folder that has
//   its owner, group, mode (set-user-ID, set-group-ID and sticky bits too,
//   where the system permits) and extended attributes. A new file gets mode
//   0666 less the umask (or the folder's default access list).
// - Where no such replacement is possible, the file is rewritten in place:
//   when its folder takes no new files, when it has several hard links (so
//   that all its names see the new content), or when its owner or group
//   could not be given to a new file. Room for the whole new content is
//   reserved first, so that a full disk fails before any old byte changes;
//   then the content is written and the file cut to its new length. A kill
//   or a device error during that writing leaves the file partly rewritten.
// - A device or a pipe is written to as it is; a pipe with no reader fails at
//   once instead of waiting for one.
// - A file that may not be written to, a folder, or a path under something
//   that is not a folder fails.
//
// The data reaches the storage device before the call returns true, unless
// a DeferredFileSync of the calling thread is alive.
bool replace_file(const std::string& path, const ContentProducer& content);

// The same, with the reason of a failure in error (cleared on success):
// the system's error number, std::errc::not_enough_memory when memory ran
// out, or std::errc::operation_canceled when the producer gave up without a
// failed write.
bool replace_file(const std::string& path, const ContentProducer& content, std::error_code& error);

// While it lives, the replace_file calls of this thread share one quieting
// of SIGPIPE and SIGXFSZ instead of each starting its own: for a run that
// writes several files.
class QuietFileWrites {
public:
    QuietFileWrites();
    ~QuietFileWrites();
    QuietFileWrites(const QuietFileWrites&) = delete;
    QuietFileWrites& operator=(const QuietFileWrites&) = delete;

private:
    struct Quiet;
    std::unique_ptr<Quiet> quiet_;
};

// While it lives, the replace_file calls of this thread that make a new
// file or replace one leave their data and their folder's entry to be
// synced later, by sync_file_system: for a batch of many files, which then
// reach the storage device together instead of one by one. A file still
// takes its name only when complete, so a killed program never leaves half
// of one; after a power cut a file not yet synced may be empty or missing.
class DeferredFileSync {
public:
    DeferredFileSync();
    ~DeferredFileSync();
    DeferredFileSync(const DeferredFileSync&) = delete;
    DeferredFileSync& operator=(const DeferredFileSync&) = delete;

private:
    bool outer_;
};

// Waits until every file written so far on the file system that holds the
// folder has reached the storage device. False, with the reason in error,
// when that could not be done.
bool sync_file_system(const std::string& folder, std::error_code& error);

}  // namespace elutrix
