#pragma once

#include <string>
#include <vector>

// Helpers for the private CUPS scheduler the tests and the benchmark run against.
namespace cupsrig {

// True when a private scheduler is reachable through CUPS_SERVER.
bool Available();

// Runs a CUPS command line tool; throws with its exit status when it fails.
void Run(const std::vector<std::string>& argv);

// A raw queue (no driver) that sends its jobs to deviceUri.
void AddRawQueue(const std::string& name, const std::string& deviceUri);
void RemoveQueue(const std::string& name);
// Removes every queue of the server, so that a test sees only its own.
void RemoveAllQueues();

std::string ReadFile(const std::string& path, bool* exists = nullptr);
void WriteFile(const std::string& path, const std::string& bytes);

} // namespace cupsrig
