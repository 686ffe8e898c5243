// The small readings of sysfs, /dev and /proc that the serial layer (what
// the kernel says of a terminal), the port list and the holder search
// share. Each gives the empty answer where the file or the folder is not
// there: the kernel leaves out what a device does not have. POSIX only.
#pragma once

#include <string>
#include <vector>

// The names in `folder`, less "." and "..", in the order the system gives.
std::vector<std::string> FolderEntries(const std::string& folder);

// `path` with every link followed, absolute; empty where it leads nowhere.
std::string ResolvedPath(const std::string& path);

// The last part of `path`.
std::string BaseName(const std::string& path);

// The first line of the file at `path`, without its line end.
std::string FirstLine(const std::string& path);
