#pragma once
// The program's own file: where the image container is read from, and the
// name the window shows in its title.

#include <string>

namespace fleet {

// The path the container is read through. It names the running image itself,
// so a program file replaced on disk while the program runs is still read
// as it was started.
std::string ProgramFilePath();
// The program file's name as the system knows it; empty when unknown.
std::string ProgramFileName();
// The text after the last '/' of ProgramFileName().
std::string ProgramBaseName();

}  // namespace fleet
