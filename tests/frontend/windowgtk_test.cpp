// The window and its dialogs in this process, on the virtual display: size,
// minimise, drag moving, the UI-thread hook runner, the licence agreement's
// Accept, the log's Copy through the CLIPBOARD selection and the folder picker.
#include <gtest/gtest.h>

#include <gdk/gdkx.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "frontend/dialogs.h"
#include "frontend/gtkhooks.h"
#include "frontend/language.h"
#include "frontend/launcherwindow.h"
#include "tests/frontend/xsession.h"
#include "tests/support/support.h"

namespace {

using xtest::X;

std::string XidOf(GtkWidget *widget) {
    return std::to_string(gdk_x11_window_get_xid(gtk_widget_get_window(widget)));
}

class WindowGtkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(xtest::StartDisplay(true));
        std::string path = std::string(PORTICO_SOURCE_DIR) + "/frontend/launcher.lang-en.xml";
        ASSERT_EQ(language.Load(path.c_str()), 1);
        GtkHooks_Install(nullptr);
    }
    void TearDown() override { GtkHooks_Remove(); }
    // Shows the window and waits until the window manager has mapped it.
    std::string ShowView(CLauncherView &view) {
        gtk_widget_show(GTK_WIDGET(view.GetWindow()));
        EXPECT_TRUE(xtest::WaitFor(
            [&] { return gtk_widget_get_mapped(GTK_WIDGET(view.GetWindow())) != 0; }, 120));
        std::string id = XidOf(GTK_WIDGET(view.GetWindow()));
        EXPECT_TRUE(xtest::WaitFor(
            [&] { return xtest::Property(id, "WM_STATE").find("Normal") != std::string::npos; },
            120));
        return id;
    }
    CLanguageModule language;
};

TEST_F(WindowGtkTest, SetWindowSizeIgnoresZeroAndClamps) {
    CLauncherView view(language);
    view.SetWindowSize(320, 200);
    std::string id = ShowView(view);
    EXPECT_TRUE(xtest::WaitFor(
        [&] {
            xtest::Geometry g = xtest::GeometryOf(id);
            return g.width == 320 && g.height == 200;
        },
        120));
    int width = 0, height = 0;
    view.SetWindowSize(0, 100);
    view.SetWindowSize(100, -5);
    gtk_widget_get_size_request(GTK_WIDGET(view.GetWebView()), &width, &height);
    EXPECT_EQ(width, 320);
    EXPECT_EQ(height, 200);
    view.SetWindowSize(100000, 9000);
    gtk_widget_get_size_request(GTK_WIDGET(view.GetWebView()), &width, &height);
    EXPECT_EQ(width, 8192);
    EXPECT_EQ(height, 8192);
}

TEST_F(WindowGtkTest, FramesOfEveryDepthShapeTheWindow) {
    testsupport::TempDir dir;
    for (int depth : {8, 24, 32}) {
        SCOPED_TRACE(depth);
        std::string path = dir.path() + "/frame" + std::to_string(depth) + ".bmp";
        xtest::WriteFrame(path, depth);
        CLauncherView view(language);
        view.SetWindowSize(400, 300);
        view.SetRegionEnabled(1);
        view.SetTransparencyColor(255, 0, 255);
        ASSERT_EQ(view.LoadBitmap(path.c_str()), 1);
        std::string id = ShowView(view);
        EXPECT_TRUE(xtest::WaitFor(
            [&] {
                std::string shape;
                X("xwininfo -shape -id " + id, &shape);
                return shape.find("Window shape extents:  380x280+10+10") != std::string::npos;
            },
            120));
    }
    // No image, or one over 8192 pixels a side: no bitmap, the whole window.
    testsupport::WriteFile(dir.path() + "/not.bmp", "BM not really");
    ASSERT_EQ(X("convert -size 8193x2 xc:'#00ff00' BMP:" + dir.path() + "/wide.bmp"), 0);
    for (const char *name : {"/not.bmp", "/wide.bmp", "/missing.bmp"}) {
        CLauncherView view(language);
        view.SetRegionEnabled(1);
        EXPECT_EQ(view.LoadBitmap((dir.path() + name).c_str()), 0) << name;
        EXPECT_EQ(view.HasBitmap(), 0);
    }
}

TEST_F(WindowGtkTest, MinimiseIconifiesAndRestoreBringsItBack) {
    for (int tray : {0, 1}) {
        SCOPED_TRACE(tray);
        CLauncherView view(language);
        view.SetMinimizeToTray(tray); // no tray runs here: iconified either way
        view.SetWindowSize(200, 150);
        std::string id = ShowView(view);
        view.Minimize();
        EXPECT_TRUE(xtest::WaitFor(
            [&] { return xtest::Property(id, "WM_STATE").find("Iconic") != std::string::npos; },
            120));
        view.Restore();
        EXPECT_TRUE(xtest::WaitFor(
            [&] { return xtest::Property(id, "WM_STATE").find("Normal") != std::string::npos; },
            120));
    }
}

TEST_F(WindowGtkTest, DragMovesTheWindowByThePointersOffset) {
    CLauncherView view(language);
    view.SetWindowSize(200, 150);
    std::string id = ShowView(view);
    xtest::Geometry before = xtest::GeometryOf(id);
    ASSERT_EQ(X("xdotool mousemove --sync " + std::to_string(before.x + 50) + " " +
                std::to_string(before.y + 40) + " mousedown 1"),
              0);
    xtest::WaitFor([] { return false; }, 0.3); // the press reaches the page
    view.BeginMoveWindow();
    ASSERT_EQ(view.IsDragging(), 1);
    X("xdotool mousemove_relative --sync 30 20");
    X("xdotool mousemove_relative --sync 40 25");
    X("xdotool mouseup 1");
    EXPECT_TRUE(xtest::WaitFor([&] { return view.IsDragging() == 0; }, 120));
    EXPECT_TRUE(xtest::WaitFor(
        [&] {
            xtest::Geometry after = xtest::GeometryOf(id);
            return after.x == before.x + 70 && after.y == before.y + 45;
        },
        30))
        << xtest::GeometryOf(id).x << "," << xtest::GeometryOf(id).y << " from " << before.x << ","
        << before.y;
}

TEST_F(WindowGtkTest, DragDoesNothingWhileAnotherGrabHoldsThePointer) {
    CLauncherView view(language);
    view.SetWindowSize(200, 150);
    ShowView(view);
    GtkWidget *other = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_widget_show(other);
    ASSERT_TRUE(xtest::WaitFor([&] { return gtk_widget_get_mapped(other) != 0; }, 120));
    GdkSeat *seat = gdk_display_get_default_seat(gdk_display_get_default());
    // The grab succeeds once the server shows the window.
    ASSERT_TRUE(xtest::WaitFor(
        [&] {
            return gdk_seat_grab(seat, gtk_widget_get_window(other),
                                 GDK_SEAT_CAPABILITY_ALL_POINTING, FALSE, nullptr, nullptr, nullptr,
                                 nullptr) == GDK_GRAB_SUCCESS;
        },
        120));
    view.BeginMoveWindow();
    EXPECT_EQ(view.IsDragging(), 0);
    gdk_seat_ungrab(seat);
    gtk_widget_destroy(other);
}

TEST_F(WindowGtkTest, HooksFromAnotherThreadRunOnTheUiThread) {
    std::thread::id ui = std::this_thread::get_id();
    int answer = -1;
    bool done = false;
    std::thread worker([&] {
        answer = GtkHooks_RunOnUiThread([&] { return std::this_thread::get_id() == ui ? 7 : 0; });
        done = true;
    });
    // The caller waits until the main context runs the work.
    EXPECT_TRUE(xtest::WaitFor([&] { return done; }, 120));
    worker.join();
    EXPECT_EQ(answer, 7);
    EXPECT_EQ(GtkHooks_RunOnUiThread([] { return GtkHooks_IsUiThread(); }), 1);
}

// --- licence agreement -------------------------------------------------------

// Shows the dialog without its own loop and waits for the first layout.
void ShowEula(CEULADlg &dialog) {
    gtk_widget_show(dialog.GetDialog());
    ASSERT_TRUE(
        xtest::WaitFor([&] { return gtk_widget_get_mapped(dialog.GetDialog()) != 0; }, 120));
    xtest::WaitFor([] { return false; }, 0.5);
}

TEST_F(WindowGtkTest, ShortAgreementCanBeAcceptedAtOnce) {
    testsupport::TempDir dir;
    std::string path = dir.path() + "/eula-en.txt";
    testsupport::WriteFile(path, "Short terms.\n");
    CEULADlg dialog(nullptr, language);
    EXPECT_FALSE(gtk_widget_get_sensitive(dialog.GetAcceptButton()));
    ASSERT_EQ(dialog.LoadAgreement(path.c_str()), 1);
    ShowEula(dialog);
    EXPECT_TRUE(xtest::WaitFor(
        [&] { return gtk_widget_get_sensitive(dialog.GetAcceptButton()) != 0; }, 120));
}

TEST_F(WindowGtkTest, LongAgreementOnlyAfterItsEndIsShown) {
    testsupport::TempDir dir;
    std::string path = dir.path() + "/eula-en.txt";
    std::string text;
    for (int i = 0; i < 400; i++)
        text += "Clause " + std::to_string(i) + " of the terms.\n";
    testsupport::WriteFile(path, text);
    CEULADlg dialog(nullptr, language);
    ASSERT_EQ(dialog.LoadAgreement(path.c_str()), 1);
    ShowEula(dialog);
    EXPECT_FALSE(gtk_widget_get_sensitive(dialog.GetAcceptButton()));
    std::string id = XidOf(dialog.GetDialog());
    X("xdotool windowactivate --sync " + id + " key --window " + id + " ctrl+End");
    EXPECT_TRUE(xtest::WaitFor(
        [&] { return gtk_widget_get_sensitive(dialog.GetAcceptButton()) != 0; }, 120));
}

TEST_F(WindowGtkTest, AgreementResponses) {
    for (int response :
         {(int)EULA_RESPONSE_ACCEPT, (int)EULA_RESPONSE_DECLINE, (int)GTK_RESPONSE_DELETE_EVENT}) {
        CEULADlg dialog(nullptr, language);
        std::pair<CEULADlg *, int> answer(&dialog, response);
        g_timeout_add(
            100,
            [](gpointer data) -> gboolean {
                auto *pair = static_cast<std::pair<CEULADlg *, int> *>(data);
                gtk_dialog_response(GTK_DIALOG(pair->first->GetDialog()), pair->second);
                return G_SOURCE_REMOVE;
            },
            &answer);
        EXPECT_EQ(dialog.Run(), response == EULA_RESPONSE_ACCEPT ? 1 : 0) << response;
    }
}

// --- log window --------------------------------------------------------------

TEST_F(WindowGtkTest, CopyPutsTheLinesOnTheClipboard) {
    const std::vector<std::vector<std::string>> cases = {{"12:00:01 first", "12:00:02 second"}, {}};
    for (const std::vector<std::string> &lines : cases) {
        testsupport::TempDir dir;
        CLogDlg dialog(nullptr, language, lines);
        dialog.Copy();
        // xclip asks this process for the selection: serve it while waiting.
        std::string out = dir.path() + "/clip";
        pid_t reader = testsupport::SpawnLogged(
            {"/bin/sh", "-c", "xclip -o -selection clipboard > " + out}, dir.path() + "/log");
        int status = -1;
        EXPECT_TRUE(xtest::WaitFor(
            [&] {
                int raw = 0;
                if (waitpid(reader, &raw, WNOHANG) != reader)
                    return false;
                status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
                return true;
            },
            120));
        std::string expected = LogDlg_Text(lines);
        // An empty selection is reported by xclip as an error with no output.
        if (!expected.empty()) {
            EXPECT_EQ(status, 0);
        }
        EXPECT_EQ(testsupport::ReadFile(out), expected);
    }
}

TEST_F(WindowGtkTest, LogWindowShowsTheLastLine) {
    std::vector<std::string> lines;
    for (int i = 0; i < 500; i++)
        lines.push_back("line " + std::to_string(i));
    CLogDlg dialog(nullptr, language, lines);
    gtk_widget_show(dialog.GetDialog());
    EXPECT_TRUE(xtest::WaitFor(
        [&] {
            GtkTreePath *start = nullptr, *end = nullptr;
            if (!gtk_tree_view_get_visible_range(GTK_TREE_VIEW(dialog.GetList()), &start, &end))
                return false;
            int last = gtk_tree_path_get_indices(end)[0];
            gtk_tree_path_free(start);
            gtk_tree_path_free(end);
            return last == 499;
        },
        120));
}

// --- folder picker -----------------------------------------------------------

// Shows the picker and waits until its folder has loaded and the selection is
// the folder expected (the chooser selects asynchronously).
void Settle(CFolderPicker &picker, const std::string &expected) {
    gtk_widget_show(picker.GetDialog());
    EXPECT_TRUE(xtest::WaitFor(
        [&] {
            char *path = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(picker.GetDialog()));
            bool selected = path != nullptr && expected == path;
            g_free(path);
            return selected;
        },
        120));
}

TEST_F(WindowGtkTest, FolderPickerAnswers) {
    testsupport::TempDir dir;
    std::string folder = dir.path() + "/games";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(symlink(folder.c_str(), (dir.path() + "/link").c_str()), 0);
    std::string deep = dir.path();
    while (deep.size() <= FOLDER_ANSWER_MAX) {
        deep += "/" + std::string(60, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    struct Case {
        std::string initial;
        int response;
        int result;
        std::string answer;
    };
    const Case cases[] = {
        {folder, GTK_RESPONSE_ACCEPT, 1, folder},
        {folder, GTK_RESPONSE_CANCEL, 0, ""},
        {dir.path() + "/link", GTK_RESPONSE_ACCEPT, 1, dir.path() + "/link"},
        {deep, GTK_RESPONSE_ACCEPT, 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.initial);
        CFolderPicker picker(nullptr, c.initial.c_str());
        Settle(picker, c.initial);
        char answer[320] = "unchanged";
        EXPECT_EQ(picker.Finish(c.response, answer, sizeof(answer)), c.result);
        EXPECT_EQ(std::string(answer), c.answer);
    }
    // A folder gone since it was chosen is no folder: the picker stays open.
    std::string gone = dir.path() + "/gone";
    ASSERT_EQ(mkdir(gone.c_str(), 0755), 0);
    CFolderPicker picker(nullptr, gone.c_str());
    Settle(picker, gone);
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    char answer[320] = "";
    EXPECT_EQ(picker.Finish(GTK_RESPONSE_ACCEPT, answer, sizeof(answer)), -1);
    EXPECT_EQ(std::string(answer), "");
}

} // namespace
