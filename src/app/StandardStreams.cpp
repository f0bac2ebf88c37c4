#include "app/StandardStreams.h"
#include "app/Protocol.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <unistd.h>

namespace corvena {

namespace {
// std::cerr without a buffer: each insertion is written at once and its flush
// does nothing. RtAudio's JACK client thread prints as the server goes away and
// is then cancelled by the library's own closing thread; a cancellation that
// lands in a flush made by the stream's non-throwing clean-up ends the process.
// Written in the insertion instead, it only ends that thread.
class DirectStderr : public std::streambuf {
protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        const char ch = traits_type::to_char_type(c);
        xsputn(&ch, 1);
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        writeAll(2, s, static_cast<size_t>(n)); // a full relay pipe drops the rest, as it drops a burst
        return n;
    }
};
} // namespace

void separateProtocolOutput() {
    // A front end that goes away must not kill the process before a take is finalised.
    std::signal(SIGPIPE, SIG_IGN);
    std::cerr.rdbuf(new DirectStderr); // never freed: plug-ins may print until the very end
    std::cerr.unsetf(std::ios_base::unitbuf); // nothing to flush
    const int fd = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) return; // keep writing to descriptor 1 itself
    setProtocolOutput(fd);
    std::fflush(stdout);
    ::dup2(2, 1);
}

} // namespace corvena
