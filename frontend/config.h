// The deployment's description of the launcher, "launcher.config.xml" beside the
// program: application name and registry key, the launcher's own package, the
// package list or download kept up to date after it, the game, the port range,
// rate limits, and the page and skin. Read once at start-up; never written.
#pragma once

#include <cstdint>

enum {
    CONFIG_TEXT_SIZE = 320, // every text field: at most 319 bytes
    CONFIG_URL_SIZE = 4096, // the page address field, which macro expansion works in
    CONFIG_MODE_PACKAGE_LIST = 0,
    CONFIG_MODE_DOWNLOAD = 1,
    CONFIG_PLAY_CLOSE = 0,    // OptionalPatchDownload: close the launcher when the game starts
    CONFIG_PLAY_RESUME = 1,   // pause updating while the game runs, resume afterwards
    CONFIG_PLAY_CONTINUE = 2, // keep updating while the game runs
};

// The launcher's own package; present only when both texts are set.
class CPackageInfo {
  public:
    virtual ~CPackageInfo() {}
    int IsPresent() const { return PackageName[0] != 0 && Url[0] != 0; }

    char PackageName[CONFIG_TEXT_SIZE] = "";
    char Url[CONFIG_TEXT_SIZE] = "";
};

// What is kept up to date after the launcher: a package list (mode 0, Target is
// the list's address) or one download (mode 1). Present when Target is set.
class CUpdaterInfo {
  public:
    virtual ~CUpdaterInfo() {}
    int IsPresent() const { return Target[0] != 0; }

    int32_t Mode = CONFIG_MODE_PACKAGE_LIST;
    char Target[CONFIG_TEXT_SIZE] = "";
    char AuthorizationUrl[CONFIG_TEXT_SIZE] = "";
    char OutputPath[CONFIG_TEXT_SIZE] = "";
};

// One configured rate: the user settings' default and their upper bound, in
// bytes per second (Max is never below 0).
struct CConfigRate {
    int64_t Default = 0;
    int64_t Max = 0;
};

class CConfig {
  public:
    virtual ~CConfig() {}
    // Back to the defaults below.
    void Reset();
    // Resets, then reads the file at path. 1 when it was loaded and has a root
    // element; 0 (logged, defaults kept) when it is missing or not XML.
    int Read(const char *path);

    char AppName[CONFIG_TEXT_SIZE] = "";
    char AppRegistryPath[CONFIG_TEXT_SIZE] = "";
    CPackageInfo Launcher;
    char OnPlayRelativePath[CONFIG_TEXT_SIZE] = ""; // the command line "play" starts
    int32_t RandomPortMin = 0;                      // never negative
    int32_t RandomPortMax = 0;
    int32_t RateLimitEnabled = 0;
    CConfigRate UploadRate;
    CConfigRate DownloadRate;
    char GlobalSettingsUrl[CONFIG_TEXT_SIZE] = "";
    int32_t ConfigureFirewall = 1;
    int32_t MinimizeToTray = 0;
    int32_t DisplayEULA = 1;
    int32_t OptionalPatchDownloadDefault = CONFIG_PLAY_CLOSE;
    int32_t MiniDumpType = 1; // 0 full-memory dumps, 1 normal
    char LayoutUrl[CONFIG_URL_SIZE] = "";
    int32_t LayoutWidth = 0; // never negative
    int32_t LayoutHeight = 0;
    char FrameBitmap[CONFIG_TEXT_SIZE] = "";
    int32_t TransparencyColor[3] = {0, 0, 0}; // red, green, blue
    CUpdaterInfo Updater;
};
