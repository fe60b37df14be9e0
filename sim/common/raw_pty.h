#pragma once
// The pseudo-terminal a simulated handset answers on.

#include <string>

namespace simcommon {

// Opens a pseudo-terminal whose slave side is raw from the start (with echo
// on, bytes sent while nobody has the slave open would come straight back)
// and returns its master, non-blocking and closed on exec; strSlave gets the
// slave's path. -1 with the reason in error when it cannot.
int OpenRawPty(std::string& strSlave, std::string& error);

}  // namespace simcommon
