#pragma once

namespace corvena {

class Engine;

// Called by the disk-writer thread before each pass over the rings. The
// engine's own build carries an empty, weak definition. It is the one fault
// injection point of the engine: no request or file can make a disk stop
// answering for a while, so a test binary defines this function itself to
// hold the writer back as a stalled disk would.
void beforeDiskWriterPass(Engine& engine);

} // namespace corvena
