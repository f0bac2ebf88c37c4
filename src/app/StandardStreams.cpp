#include "app/StandardStreams.h"
#include "app/Protocol.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace corvena {

void separateProtocolOutput() {
    // A front end that goes away must not kill the process before a take is finalised.
    std::signal(SIGPIPE, SIG_IGN);
    const int fd = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) return; // keep writing to descriptor 1 itself
    setProtocolOutput(fd);
    std::fflush(stdout);
    ::dup2(2, 1);
}

} // namespace corvena
