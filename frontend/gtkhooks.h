// The core's window hooks for GTK: message box, message pump, save and folder
// dialogs, window search, raising and placement. The hooks belong to the UI
// thread (the one that called GtkHooks_Install); called from another thread, a
// hook is run on the UI thread while its caller waits for the answer.
#pragma once

#include <functional>
#include <gtk/gtk.h>

// Installs the hooks with owner as the default parent of dialogs (may be null)
// and the calling thread as the UI thread. Returns 1.
int GtkHooks_Install(GtkWindow *owner);
// Restores the core's defaults. Returns 1.
int GtkHooks_Remove(void);
// Sets the parent of dialogs (may be null). Returns 1.
int GtkHooks_SetOwner(GtkWindow *owner);
// 1 on the UI thread.
int GtkHooks_IsUiThread(void);
// Runs work on the UI thread and returns its answer: at once on the UI thread,
// else through the default main context while the caller waits. The main loop
// must be running (or be run later) for the caller to go on.
int GtkHooks_RunOnUiThread(const std::function<int()> &work);
// Runs the pending UI events without blocking. Returns 1.
int GtkHooks_PumpMessages(void);
