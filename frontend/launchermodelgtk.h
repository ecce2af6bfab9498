// The model's Linux services: the program's folder as working directory,
// processes started with posix_spawn (the game watched through a pidfd, every
// other child reaped in the background), addresses opened with xdg-open, the
// outside library's binding and the page's facade.
#pragma once

#include "frontend/launchermodel.h"

class CLauncherModelGtk : public CLauncherModelScriptable {
  public:
    // programFolder: the folder the program runs from (with or without a
    // trailing '/'); null or empty: the running program's own folder.
    explicit CLauncherModelGtk(const char *programFolder = nullptr);
    ~CLauncherModelGtk() override;

    int Initialize(ILauncherView *view) override;
    int CreatePlatformObjects() override;
    int Play() override;
    int GetWorkingDirectory(char *buffer, int size) override;
    int SetCurrentDirectory(const char *path) override;
    int OpenExternalUrl(const char *text) override;
    int LaunchProcess(const char *commandLine, int show) override;
    int Tick() override;
    virtual int OnNavigateComplete();

    // The page's facade, made at CreatePlatformObjects (null: no page; the
    // window's code and tests provide one).
    virtual ScriptFacade *CreateScriptFacade() { return nullptr; }
    // Splits commandLine, finds the program (the program's folder first for a
    // bare name, then PATH) and starts it shown or hidden in a session of its
    // own. 1 with *pid set; 0 with *pid -1, logged as "ProcessLaunch [%s] fails
    // with error '%s'" (the error text also in error, size bytes, when given).
    int ProcessLaunch(int show, int *pid, const char *commandLine, char *error = nullptr,
                      int size = 0);
    int IsPlaying() const { return Playing; }
    int GetGamePid() const { return GamePid; }

  private:
    char WorkingDirectory[MODEL_PATH_SIZE] = "";
    int32_t Playing = 0;
    int GamePid = -1; // the game while it is watched, else -1
};
