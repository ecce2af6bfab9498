// Records the download engine's Alert lines so tests can check the exact text a
// failure logs. The Alert log is created once for the whole test program.
#pragma once

#include <string>
#include <vector>

namespace enginetest {

// Starts recording (and forgets earlier lines).
void CaptureAlerts();
// Lines recorded since CaptureAlerts, each as "<kind>:<text>".
const std::vector<std::string> &CapturedAlerts();
// True when a recorded line contains part.
bool AlertSeen(const std::string &part);
// All recorded lines, one per line, for failure messages.
std::string AlertText();

} // namespace enginetest
