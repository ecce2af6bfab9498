// Firewall rules for the download client: the program's listen port opened and
// the program authorised, and both taken back. This system has no per-user
// firewall interface a program may drive: WinXPFW_Create reports that and gives
// 0, so the rule steps log their lines and go on; nothing touches the system's
// firewall.
#pragma once

struct WinXPFW;

// Protocols of the port calls.
enum { WINXPFW_PROTOCOL_TCP = 1, WINXPFW_PROTOCOL_UDP = 2 };
enum { WINXPFW_PATH_SIZE = 320 };

// Each returns 1 for success and 0 for failure; each failure prints one line to
// the core log. Create gives 0 here ("Failed to get firewall manager ...").
int WinXPFW_Create(WinXPFW **firewall);
// Frees and clears *firewall; accepts null. Returns 1.
int WinXPFW_Destroy(WinXPFW **firewall);
int WinXPFW_IsAppAuthorised(WinXPFW *firewall, const char *programPath);
int WinXPFW_AddApp(WinXPFW *firewall, const char *programPath, const char *name);
int WinXPFW_RemoveApp(WinXPFW *firewall, const char *programPath);
int WinXPFW_IsPortOpen(int protocol, WinXPFW *firewall, int port);
int WinXPFW_OpenPort(WinXPFW *firewall, int protocol, const char *name, int port);
int WinXPFW_ClosePort(WinXPFW *firewall, int protocol, int port);

// The download client's rule steps for its listen port: only when configure
// (the options' firewall word) is 1. Add opens the port for TCP and UDP and
// authorises the running program, both named "Launcher"; Remove takes them
// back. A firewall that cannot be reached ends the step after its line. Return 1.
int Firewall_AddRules(int configure, int listenPort);
int Firewall_RemoveRules(int configure, int listenPort);
