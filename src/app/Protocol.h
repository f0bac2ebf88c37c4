#pragma once
#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>

namespace corvena {

using json = nlohmann::json;

// Parse one request line, dispatch it and write its single reply.
void handleRequest(const std::string& line);

// Serialise one object compactly (keys sorted, UTF-8 as is) and write it as one line.
void writeLine(const json& object);

// Build and write one level event from the engine's meters.
void writeLevelEvent();

// Write what a running re-amp render has to tell (progress, its end), if anything.
void writeReampEvent();

// The text of one protocol line, without its line feed. Invalid UTF-8 in strings
// is replaced by U+FFFD so that a line can always be written.
std::string serializeLine(const json& object);

// Where protocol lines go: a descriptor of our own, so that nothing else printed
// by the process (libraries, plug-ins) can end up between them.
void setProtocolOutput(int fd);

// Writes all of it to a descriptor, again after an interrupted write; false
// once a write fails (a full non-blocking pipe, a reader gone).
bool writeAll(int fd, const char* data, size_t size);

// True once a protocol line could not be written (the reader went away).
bool protocolOutputFailed();

} // namespace corvena
