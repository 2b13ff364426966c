// The floor of this tracing design on this machine: a debug loop that does only what one
// traced call needs (entry 0xCC, one single step to re-arm it, return 0xCC), without reading
// parameters, logging or any of the engine's bookkeeping.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

// Runs the command line under the loop, with the entry breakpoint on the export `function`
// of the DLL whose export directory names `module`, until the program ends. Returns the
// number of entry hits (calls traced). With holdOtherThreads the other threads are suspended
// while one steps over an instruction whose byte is out, one step at a time, as a tracer
// must when several threads call the function (else the calls made meanwhile go unseen); a
// program of one calling thread is measured without.
int64_t RunMinimalDebugLoop(const std::wstring& commandLine, const std::string& module,
                            const std::string& function, bool holdOtherThreads = false);
