#pragma once
// A folder of the process's own for the files a target writes (images,
// packages, dumps): on /dev/shm when it can be used, so that thousands of
// runs a second do not wear a disk, else under $TMPDIR or /tmp. It is removed
// with everything in it when the process ends.

#include <cstdint>
#include <string>
#include <vector>

namespace fuzzsupport {

// The folder; made on first use.
const std::string& ScratchDir();
// ScratchDir() + "/" + name.
std::string ScratchPath(const std::string& name);
// Writes the bytes as the whole file; false when it cannot.
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
// The whole file; false when it cannot be read.
bool ReadFileBytes(const std::string& path, std::vector<uint8_t>& bytes);
bool FileExists(const std::string& path);
// Removes the files and folders below the scratch folder, keeping it.
void ClearScratch();

}  // namespace fuzzsupport
