#pragma once

namespace corvena {

class Engine;

// Called by the disk-writer thread before each pass over the rings. The
// engine's own build carries an empty, weak definition; a test binary may
// define this function itself to hold the writer back as a stalled disk would.
void beforeDiskWriterPass(Engine& engine);

} // namespace corvena
