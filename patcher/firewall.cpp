// The firewall layer and the download client's rule steps. There is no firewall
// interface for a user's program here (changing the system's filter needs root,
// and desktops rarely filter inbound ports), so the object is never made and
// the steps stop after their first line; the calls keep their checks and lines.
#include "patcher/firewall.h"

#include "core/alert.h"
#include "core/zyl.h"
#include "platform/shfolder.h"

#include <cerrno>

static const char kWinXPFWTag[] = "WinXPFW";
static const char kRuleName[] = "Launcher";

struct WinXPFW {
    const char *Tag;
    void *Profile; // the current profile; none exists here
};

// The line of a failed firewall call, with the error twice as the callers read it.
static int WinXPFW_InternalFail(const char *what) {
    Zyl_Print("%s (%d:%.8X)\n", what, ENOTSUP, (unsigned)ENOTSUP);
    return 0;
}

static int WinXPFW_InternalProtocol(int protocol) {
    if (protocol == WINXPFW_PROTOCOL_TCP || protocol == WINXPFW_PROTOCOL_UDP)
        return 1;
    Zyl_Print("Invalid protocol (%d)\n", protocol);
    return 0;
}

int WinXPFW_Create(WinXPFW **firewall) {
    ZYL_CHECK_PTR(firewall);
    *firewall = nullptr;
    return WinXPFW_InternalFail("Failed to get firewall manager");
}

int WinXPFW_Destroy(WinXPFW **firewall) {
    ZYL_CHECK_PTR(firewall);
    WinXPFW *fw = *firewall;
    if (fw == nullptr)
        return 1;
    ZYL_CHECK_TAG(fw, kWinXPFWTag);
    fw->Tag = Zyl_DeadTag;
    ZYL_FREE(fw, sizeof(WinXPFW));
    *firewall = nullptr;
    return 1;
}

int WinXPFW_IsAppAuthorised(WinXPFW *fw, const char *programPath) {
    ZYL_CHECK_TAG(fw, kWinXPFWTag);
    ZYL_CHECK_PTR(programPath);
    return WinXPFW_InternalFail("Failed to get firewall authorized apps");
}

int WinXPFW_AddApp(WinXPFW *fw, const char *programPath, const char *name) {
    ZYL_CHECK_TAG(fw, kWinXPFWTag);
    ZYL_CHECK_PTR(programPath);
    ZYL_CHECK_PTR(name);
    if (WinXPFW_IsAppAuthorised(fw, programPath)) {
        Zyl_Print("Application is already in the system (%s)\n", programPath);
        return 0;
    }
    return WinXPFW_InternalFail("Failed to create firewall authorized app");
}

int WinXPFW_RemoveApp(WinXPFW *fw, const char *programPath) {
    ZYL_CHECK_TAG(fw, kWinXPFWTag);
    ZYL_CHECK_PTR(programPath);
    if (!WinXPFW_IsAppAuthorised(fw, programPath)) {
        Zyl_Print("Application is not in the system (%s)\n", programPath);
        return 0;
    }
    return WinXPFW_InternalFail("Failed to remove firewall apps");
}

int WinXPFW_IsPortOpen(int protocol, WinXPFW *fw, int port) {
    ZYL_CHECK_TAG(fw, kWinXPFWTag);
    if (!WinXPFW_InternalProtocol(protocol) || port <= 0)
        return 0;
    return WinXPFW_InternalFail("Failed to get firewall open ports");
}

int WinXPFW_OpenPort(WinXPFW *fw, int protocol, const char *name, int port) {
    ZYL_CHECK_TAG(fw, kWinXPFWTag);
    ZYL_CHECK_PTR(name);
    if (!WinXPFW_InternalProtocol(protocol))
        return 0;
    if (WinXPFW_IsPortOpen(protocol, fw, port)) {
        Zyl_Print("Port is already in the system (%s)\n", name);
        return 0;
    }
    return WinXPFW_InternalFail("Failed to create firewall open port");
}

int WinXPFW_ClosePort(WinXPFW *fw, int protocol, int port) {
    ZYL_CHECK_TAG(fw, kWinXPFWTag);
    if (!WinXPFW_InternalProtocol(protocol))
        return 0;
    if (!WinXPFW_IsPortOpen(protocol, fw, port)) {
        Zyl_Print("Port is not in the system (%d)\n", port);
        return 0;
    }
    return WinXPFW_InternalFail("Failed to add firewall open port");
}

int Firewall_AddRules(int configure, int listenPort) {
    if (configure != 1)
        return 1;
    char path[WINXPFW_PATH_SIZE];
    ShFolder_GetProgramPath(path, WINXPFW_PATH_SIZE);
    WinXPFW *fw = nullptr;
    if (!WinXPFW_Create(&fw))
        return 1;
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Add port [%d] to windows firewall\n",
              listenPort);
    WinXPFW_OpenPort(fw, WINXPFW_PROTOCOL_TCP, kRuleName, listenPort);
    WinXPFW_OpenPort(fw, WINXPFW_PROTOCOL_UDP, kRuleName, listenPort);
    if (!WinXPFW_IsAppAuthorised(fw, path)) {
        if (WinXPFW_AddApp(fw, path, kRuleName))
            Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                      "Successfully added [%s,%s] to windows firewall\n", path, kRuleName);
        else
            Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL,
                      "Unable to add [%s,%s] to windows firewall\n", path, kRuleName);
    }
    WinXPFW_Destroy(&fw);
    return 1;
}

int Firewall_RemoveRules(int configure, int listenPort) {
    if (configure != 1)
        return 1;
    char path[WINXPFW_PATH_SIZE];
    ShFolder_GetProgramPath(path, WINXPFW_PATH_SIZE);
    WinXPFW *fw = nullptr;
    if (!WinXPFW_Create(&fw))
        return 1;
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Removing port [%d] from windows firewall\n",
              listenPort);
    WinXPFW_ClosePort(fw, WINXPFW_PROTOCOL_TCP, listenPort);
    WinXPFW_ClosePort(fw, WINXPFW_PROTOCOL_UDP, listenPort);
    if (WinXPFW_IsAppAuthorised(fw, path)) {
        if (WinXPFW_RemoveApp(fw, path))
            Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                      "Successfully removed [%s] to windows firewall\n", path);
        else
            Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL,
                      "Unable to remove [%s] from windows firewall\n", path);
    }
    WinXPFW_Destroy(&fw);
    return 1;
}
