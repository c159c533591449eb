// Writing a whole file so that a failure never leaves half of it: the new
// content goes to a temporary file that takes the place of the old one only
// once every byte is written.
#pragma once

#include <functional>
#include <string>

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
bool replace_file(const std::string& path, const ContentProducer& content);

}  // namespace elutrix
