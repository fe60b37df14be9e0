#pragma once
// The packaging step: a copy of the program followed by the EBOOT and PDA
// regions and the container trailer, and a readable account of a packed file.

#include <cstdint>
#include <string>

#include "fleet/images/container.h"

namespace fleet {

struct PackRequest {
    std::string strProgram;
    std::string strEboot;  // empty: the container carries no EBOOT image
    std::string strPda;
    std::string strOut;
    uint32_t nProfile = 0;
};

// Writes the packed program under strOut (through a temporary file in the
// same folder, so a failed run leaves no half-written program), executable.
// False with the reason; the trailer written is handed back.
bool PackProgram(const PackRequest& request, ContainerTrailer& written, std::string& strError);

// The container of a file in lines of text, naming the file strShownName (or
// strPath); false (with the text saying why) when the file has no container,
// an inconsistent one, or a profile index the program would refuse.
bool InspectContainer(const std::string& strPath, std::string& strReport,
                      const std::string& strShownName = {});

}  // namespace fleet
