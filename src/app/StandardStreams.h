#pragma once

namespace corvena {

// Protocol lines get a handle of their own (setProtocolOutput); standard output
// itself then points at standard error, so whatever libraries or plug-ins print
// cannot corrupt the protocol. Each platform's unit defines it.
void separateProtocolOutput();

} // namespace corvena
