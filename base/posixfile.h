// Small POSIX file helpers shared by the writers that replace a file in one
// step (the settings file and "Rx.nc").
#pragma once

#include <cstddef>
#include <string>

namespace kelv::posixfile {

// Writes all `size` bytes, going on after short writes and EINTR.
bool WriteAll(int fd, const char* data, size_t size);

// Makes a rename inside the directory of `path` durable. Best effort: the file
// is in place whether or not this succeeds.
void SyncDirectoryOf(const std::string& path);

}  // namespace kelv::posixfile
