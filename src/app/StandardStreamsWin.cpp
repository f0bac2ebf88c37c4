#include "app/StandardStreams.h"
#include "app/Protocol.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace corvena {

void separateProtocolOutput() {
    // Binary mode: protocol lines end in LF, and a Ctrl-Z byte on input is data, not the end.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    const int fd = _dup(_fileno(stdout));
    if (fd < 0) return; // keep writing to standard output itself
    _setmode(fd, _O_BINARY);
    setProtocolOutput(fd);
    std::fflush(stdout);
    // Both the C runtime's descriptor 1 and the Win32 standard output handle,
    // since plug-ins may write through either.
    _dup2(_fileno(stderr), _fileno(stdout));
    SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
}

} // namespace corvena
