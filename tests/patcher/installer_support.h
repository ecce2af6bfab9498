// Shared fixture of the installer tests: every folder the commands touch (home,
// XDG folders, the registry store, program files, the current folder) points
// into a TempDir, and the patch engine's log lines and errors are captured.
#pragma once

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "core/oshelper.h"
#include "core/stopflag.h"
#include "core/xml.h"
#include "core/zyl.h"
#include "patcher/installer/installer.h"
#include "patcher/patcherlog.h"
#include "tests/patcher/log_capture.h"
#include "tests/support/support.h"

namespace installertest {

class InstallerTest : public ::testing::Test, protected patchertest::PatcherLogCapture {
  protected:
    void SetUp() override {
        for (const char *name : kNames) {
            const char *old = getenv(name);
            saved_.emplace_back(old != nullptr, old ? old : "");
        }
        home = dir_ / "home";
        work = dir_ / "work";
        programs = dir_ / "programs";
        for (const std::string &folder : {home, work, programs})
            Zyl_CreateDirectory(folder.c_str(), 0, 0);
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
        setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
        setenv("XDG_CACHE_HOME", (home + "/.cache").c_str(), 1);
        Zyl_SetInstallRoot(programs.c_str());
        char cwd[4096];
        oldCwd_ = getcwd(cwd, sizeof(cwd)) ? cwd : "/";
        ASSERT_EQ(0, chdir(work.c_str()));
        StartCapture();
    }
    void TearDown() override {
        StopCapture();
        Zyl_SetInstallRoot(nullptr);
        if (chdir(oldCwd_.c_str()) != 0)
            ADD_FAILURE() << "cannot return to " << oldCwd_;
        for (size_t i = 0; i < saved_.size(); i++) {
            if (saved_[i].first)
                setenv(kNames[i], saved_[i].second.c_str(), 1);
            else
                unsetenv(kNames[i]);
        }
    }

    // Number of captured log lines or errors equal to text.
    int LogCount(const std::string &text) const { return Count(logs, text); }
    int ErrorCount(const std::string &text) const { return Count(errors, text); }
    std::string Dump() const { return DumpLogs(); }

    // Parses the list element (the document's first element) into list.
    int ParseList(InstallerCommandList *list, const std::string &text) {
        XmlStruct *xml = nullptr;
        Xml_Create(&xml);
        Xml_ParseBuffer(xml, text.c_str());
        XmlNodeStruct *root = nullptr;
        Xml_GetRoot(xml, &root);
        int result = root ? Installer_ParseCommands(list, xml, root) : 0;
        Xml_Destroy(&xml);
        return result;
    }
    // The list written under an element "List".
    static std::string WriteList(InstallerCommandList *list) {
        XmlStruct *xml = nullptr;
        Xml_Create(&xml);
        XmlNodeStruct *root = nullptr;
        Xml_AddElement(xml, nullptr, nullptr, &root, "List");
        Installer_SerializeCommands(list, root, xml);
        int64_t size = 0;
        Xml_GetPrintSize(xml, &size);
        std::string text((size_t)size + 64, '\0'); // the printer keeps a margin
        int length = 0;
        Xml_PrintToBuffer(xml, text.data(), (int)text.size(), &length);
        text.resize((size_t)length);
        Xml_Destroy(&xml);
        return text;
    }
    // Runs a list given as XML with the paths of this fixture.
    int Run(const std::string &text, const StopFlag *stop = nullptr) {
        InstallerCommandList *list = nullptr;
        Installer_Create(&list);
        int result = ParseList(list, text) && Installer_Execute(root().c_str(), root().c_str(),
                                                                list, (dir_ / "output/").c_str(),
                                                                (dir_ / "process/").c_str(), stop);
        Installer_Destroy(&list);
        return result;
    }
    std::string root() const { return dir_ / "install/"; }

    testsupport::TempDir dir_;
    std::string home, work, programs;

  private:
    static constexpr const char *kNames[] = {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                                             "XDG_CACHE_HOME", "PATH"};
    std::vector<std::pair<bool, std::string>> saved_;
    std::string oldCwd_;
};

// One "Command" element of the given type with (name, value) children.
inline std::string Command(const std::string &type,
                           const std::vector<std::pair<std::string, std::string>> &properties) {
    std::string text = "<Command xsi:type=\"" + type + "\">";
    for (const auto &p : properties)
        text += "<" + p.first + ">" + p.second + "</" + p.first + ">";
    return text + "</Command>";
}

inline std::string List(const std::string &commands) {
    return "<List xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">" + commands + "</List>";
}

} // namespace installertest
