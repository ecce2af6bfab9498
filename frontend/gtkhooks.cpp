// GTK versions of the core's window hooks. Every hook body runs on the UI
// thread; a call from another thread is handed to the default main context and
// its caller waits on a condition variable until the body has run.
#include "frontend/gtkhooks.h"

#include "core/oshelper.h"
#include "core/zyl.h"
#include "frontend/frontendlog.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

GtkWindow *gOwner = nullptr;
std::thread::id gUiThread;

// One call handed to the UI thread; lives on the caller's stack until Done.
struct UiCall {
    const std::function<int()> *Work;
    int Result = 0;
    bool Done = false;
    std::mutex Lock;
    std::condition_variable Finished;
};

gboolean RunUiCall(gpointer data) {
    UiCall *call = static_cast<UiCall *>(data);
    int result = (*call->Work)();
    std::lock_guard<std::mutex> hold(call->Lock);
    call->Result = result;
    call->Done = true;
    call->Finished.notify_one();
    return G_SOURCE_REMOVE;
}

GtkWindow *OwnerOr(void *owner) {
    return owner != nullptr ? static_cast<GtkWindow *>(owner) : gOwner;
}

int CopyChosen(const char *path, char *chosen, int chosenSize, const char *hook) {
    if (static_cast<int>(std::strlen(path)) >= chosenSize) {
        Frontend_Log(FRONTEND_LOG_WARNING, "%s() chosen path too long [%.64s...]", hook, path);
        chosen[0] = 0;
        return 0;
    }
    Zyl_StrCopy(chosen, path, chosenSize);
    return 1;
}

int HookPump(void) {
    return GtkHooks_RunOnUiThread(GtkHooks_PumpMessages);
}

int HookMessageBox(void *owner, const char *text, const char *caption) {
    std::string body = text != nullptr ? text : "";
    std::string title = caption != nullptr ? caption : "";
    return GtkHooks_RunOnUiThread([&]() {
        GtkWidget *box =
            gtk_message_dialog_new(OwnerOr(owner), GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING,
                                   GTK_BUTTONS_OK, "%s", body.c_str());
        gtk_window_set_title(GTK_WINDOW(box), title.c_str());
        gtk_window_set_keep_above(GTK_WINDOW(box), TRUE);
        gtk_dialog_run(GTK_DIALOG(box));
        gtk_widget_destroy(box);
        return 1; // the OK button
    });
}

// The name with defaultExtension added when its last component has no '.'.
std::string WithExtension(const char *path, const char *defaultExtension) {
    std::string name = path;
    if (defaultExtension == nullptr || defaultExtension[0] == 0)
        return name;
    size_t slash = name.rfind('/');
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        name += std::string(".") + defaultExtension;
    return name;
}

int HookSaveFileDialog(void *owner, const char *title, const char *directory, const char *fileName,
                       int flags, int pairCount, const char *const *pairs,
                       const char *defaultExtension, char *chosen, int chosenSize) {
    return GtkHooks_RunOnUiThread([&]() {
        GtkWidget *dialog = gtk_file_chooser_dialog_new(
            title != nullptr ? title : "", OwnerOr(owner), GTK_FILE_CHOOSER_ACTION_SAVE, "_Cancel",
            GTK_RESPONSE_CANCEL, "_Save", GTK_RESPONSE_ACCEPT, nullptr);
        GtkFileChooser *chooser = GTK_FILE_CHOOSER(dialog);
        gtk_file_chooser_set_do_overwrite_confirmation(chooser,
                                                       (flags & ZYL_SAVE_NO_OVERWRITE_PROMPT) == 0);
        for (int i = 0; i < pairCount; i++) {
            GtkFileFilter *filter = gtk_file_filter_new();
            gtk_file_filter_set_name(filter, pairs[2 * i]);
            gtk_file_filter_add_pattern(filter, pairs[2 * i + 1]);
            gtk_file_chooser_add_filter(chooser, filter);
        }
        if (directory != nullptr && directory[0] != 0)
            gtk_file_chooser_set_current_folder(chooser, directory);
        if (fileName != nullptr && fileName[0] != 0)
            gtk_file_chooser_set_current_name(chooser, fileName);
        int result = 0;
        if (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
            char *path = gtk_file_chooser_get_filename(chooser);
            if (path != nullptr)
                result = CopyChosen(WithExtension(path, defaultExtension).c_str(), chosen,
                                    chosenSize, "SaveFileDialog");
            g_free(path);
        }
        gtk_widget_destroy(dialog);
        return result;
    });
}

int HookBrowseForFolder(void *owner, const char *title, const char *root, const char *start,
                        char *chosen, int chosenSize) {
    (void)root; // the chooser cannot be confined to a subtree
    return GtkHooks_RunOnUiThread([&]() {
        GtkWidget *dialog = gtk_file_chooser_dialog_new(
            title != nullptr ? title : "", OwnerOr(owner), GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER,
            "_Cancel", GTK_RESPONSE_CANCEL, "_Select", GTK_RESPONSE_ACCEPT, nullptr);
        if (start != nullptr && start[0] != 0)
            gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dialog), start);
        int result = 0;
        if (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
            char *path = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog));
            if (path != nullptr)
                result = CopyChosen(path, chosen, chosenSize, "BrowseForFolder");
            g_free(path);
        }
        gtk_widget_destroy(dialog);
        return result;
    });
}

int HookFindWindow(const char *className, const char *title, void **window) {
    return GtkHooks_RunOnUiThread([&]() {
        GList *all = gtk_window_list_toplevels();
        int found = 0;
        for (GList *each = all; each != nullptr && found == 0; each = each->next) {
            GtkWindow *candidate = GTK_WINDOW(each->data);
            const char *its = gtk_window_get_title(candidate);
            const char *program = gdk_get_program_class();
            if ((title != nullptr && its != nullptr && g_ascii_strcasecmp(its, title) == 0) ||
                (className != nullptr && program != nullptr &&
                 g_ascii_strcasecmp(program, className) == 0)) {
                *window = candidate;
                found = 1;
            }
        }
        g_list_free(all);
        return found;
    });
}

int HookBringToFront(void *window) {
    return GtkHooks_RunOnUiThread([&]() {
        GtkWindow *target = static_cast<GtkWindow *>(window);
        gtk_widget_show(GTK_WIDGET(target));
        gtk_window_deiconify(target);
        gtk_window_present(target);
        return 1;
    });
}

int HookGetScreenRect(int *left, int *top, int *width, int *height) {
    return GtkHooks_RunOnUiThread([&]() {
        GdkDisplay *display = gdk_display_get_default();
        if (display == nullptr)
            return 0;
        GdkRectangle all = {0, 0, 0, 0};
        int count = gdk_display_get_n_monitors(display);
        for (int i = 0; i < count; i++) {
            GdkRectangle one;
            gdk_monitor_get_geometry(gdk_display_get_monitor(display, i), &one);
            if (i == 0)
                all = one;
            else
                gdk_rectangle_union(&all, &one, &all);
        }
        *left = all.x;
        *top = all.y;
        *width = all.width;
        *height = all.height;
        return count > 0 ? 1 : 0;
    });
}

int HookGetWindowRect(void *window, int *x, int *y, int *width, int *height) {
    if (window == nullptr)
        return HookGetScreenRect(x, y, width, height);
    return GtkHooks_RunOnUiThread([&]() {
        GtkWindow *target = static_cast<GtkWindow *>(window);
        gtk_window_get_position(target, x, y);
        gtk_window_get_size(target, width, height);
        return 1;
    });
}

int HookMoveWindow(void *window, int x, int y, int width, int height, int resize) {
    return GtkHooks_RunOnUiThread([&]() {
        GtkWindow *target = static_cast<GtkWindow *>(window);
        gtk_window_move(target, x, y);
        if (resize == 1 && width > 0 && height > 0)
            gtk_window_resize(target, width, height);
        return 1;
    });
}

} // namespace

int GtkHooks_PumpMessages(void) {
    while (gtk_events_pending())
        gtk_main_iteration_do(FALSE);
    return 1;
}

int GtkHooks_IsUiThread(void) {
    return std::this_thread::get_id() == gUiThread ? 1 : 0;
}

int GtkHooks_RunOnUiThread(const std::function<int()> &work) {
    if (GtkHooks_IsUiThread() == 1)
        return work();
    UiCall call;
    call.Work = &work;
    // An idle source always runs from the UI thread's loop (invoking the
    // context would run the work here whenever the loop is between iterations).
    g_idle_add_full(G_PRIORITY_DEFAULT, RunUiCall, &call, nullptr);
    std::unique_lock<std::mutex> wait(call.Lock);
    call.Finished.wait(wait, [&]() { return call.Done; });
    return call.Result;
}

int GtkHooks_Install(GtkWindow *owner) {
    gOwner = owner;
    gUiThread = std::this_thread::get_id();
    ZylWindowHooks hooks;
    std::memset(&hooks, 0, sizeof(hooks));
    hooks.PumpMessages = HookPump;
    hooks.MessageBox = HookMessageBox;
    hooks.SaveFileDialog = HookSaveFileDialog;
    hooks.BrowseForFolder = HookBrowseForFolder;
    hooks.FindWindow = HookFindWindow;
    hooks.BringToFront = HookBringToFront;
    hooks.GetScreenRect = HookGetScreenRect;
    hooks.GetWindowRect = HookGetWindowRect;
    hooks.MoveWindow = HookMoveWindow;
    Zyl_SetWindowHooks(&hooks);
    return 1;
}

int GtkHooks_Remove(void) {
    Zyl_SetWindowHooks(nullptr);
    gOwner = nullptr;
    return 1;
}

int GtkHooks_SetOwner(GtkWindow *owner) {
    gOwner = owner;
    return 1;
}
