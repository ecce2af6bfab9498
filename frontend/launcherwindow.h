// The main window: one undecorated GtkWindow shaped by the skin's frame bitmap
// (CBitmapView), the page's web view filling it (CWebBrowser), and the view
// interface the model and the page use (CLauncherView): size, drag moving,
// minimise to the taskbar or the tray, the log window and the folder picker.
// Everything here runs on the UI thread.
#pragma once

#include <cstdint>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include "frontend/launcherview.h"

class CLanguageModule;
class CLauncherModelGtk;

enum {
    WINDOW_SIDE_MAX = 8192, // largest window side, pixels
};

// The skin window: the frame bitmap, painted behind the page while it loads,
// whose non-transparent pixels make the window's bounding shape.
class CBitmapView {
  public:
    CBitmapView();
    virtual ~CBitmapView();
    CBitmapView(const CBitmapView &) = delete;
    CBitmapView &operator=(const CBitmapView &) = delete;

    // Loads the frame (BMP of any depth, PNG, ...), replacing the previous one.
    // 1 when loaded; 0 (logged, no bitmap, whole window) when it cannot be read
    // or a side exceeds 8192 pixels.
    int LoadBitmap(const char *path);
    void SetRegionEnabled(int enabled);
    void SetTransparencyColor(int red, int green, int blue);
    // Sets the shape from the bitmap over min(bitmap, window): the whole window
    // without a bitmap or with the region off. Returns 1.
    int ApplyRegion();
    GtkWindow *GetWindow() const { return GTK_WINDOW(Window); }
    int HasBitmap() const { return Bitmap != nullptr; }

  protected:
    static gboolean OnDraw(GtkWidget *widget, cairo_t *cr, gpointer self);
    static void OnSizeAllocate(GtkWidget *widget, GdkRectangle *allocation, gpointer self);

    GtkWidget *Window = nullptr; // owned; destroyed with the view
    GdkPixbuf *Bitmap = nullptr; // owned, may be null
    int32_t RegionEnabled = 0;
    uint8_t Transparency[3] = {0, 0, 0};
    int ShapeWidth = -1; // the window size the shape was made for
    int ShapeHeight = -1;
};

// The page's browser: a WebKitWebView in the window.
class CWebBrowser : public IBrowserControl {
  public:
    explicit CWebBrowser(WebKitWebView *view) : View(view) {}
    WebKitWebView *GetWebView() const { return View; }

  private:
    WebKitWebView *View; // owned by the window
};

class CLauncherView : public CBitmapView, public ILauncherView {
  public:
    // view: the web view to show (a new one when null); the window takes it.
    CLauncherView(const CLanguageModule &language, WebKitWebView *view = nullptr);
    ~CLauncherView() override;

    void SetModel(CLauncherModelGtk *model) { Model = model; }
    void SetMinimizeToTray(int enabled) { MinimizeToTray = enabled; }
    // Runs the main loop until Close. Returns at once when Close came first.
    int RunLoop();
    int IsClosing() const { return Closing; }
    // Shows, deiconifies and raises the window (the second instance's message).
    int BringForward();
    // The once-a-second tick of the model from now on. Returns 1.
    int StartTimer();
    void StopTimer();
    // Watches the single-instance socket for bring-forward messages. Returns 1.
    int WatchInstanceSocket();

    IBrowserControl *GetBrowserControl() override { return &Browser; }
    int Navigate(const char *address) override;
    int Close() override;
    int Minimize() override;
    int Restore() override;
    int BeginMoveWindow() override;
    int SetWindowSize(int width, int height) override;
    int OpenNativeLogPage() override;
    int OpenNativeDirectoryBrowserPage(const char *initial, char *answer, int size) override;

    WebKitWebView *GetWebView() const { return Browser.GetWebView(); }
    int IsDragging() const { return Dragging; }
    int LoadsFinished() const { return Loads; }

  private:
    static gboolean OnTick(gpointer self);
    static gboolean OnDelete(GtkWidget *, GdkEvent *, gpointer self);
    static gboolean OnMotion(GtkWidget *, GdkEventMotion *event, gpointer self);
    static gboolean OnButtonRelease(GtkWidget *, GdkEventButton *event, gpointer self);
    static gboolean OnGrabBroken(GtkWidget *, GdkEvent *, gpointer self);
    static void OnLoadChanged(WebKitWebView *, WebKitLoadEvent event, gpointer self);
    static void OnTrayActivate(GtkStatusIcon *, gpointer self);
    static void OnTrayEmbedded(GObject *, GParamSpec *, gpointer self);
    static gboolean OnInstanceMessage(gint fd, GIOCondition condition, gpointer self);
    void EndMove();

    const CLanguageModule &Language;
    CWebBrowser Browser;
    CLauncherModelGtk *Model = nullptr; // not owned
    GMainLoop *Loop = nullptr;          // while RunLoop runs
    guint Timer = 0;
    guint InstanceWatch = 0;
    GtkStatusIcon *Tray = nullptr; // owned, made at the first minimise to the tray
    int32_t MinimizeToTray = 0;
    int32_t InTray = 0; // minimised to the tray: hidden once the tray shows the icon
    int32_t Closing = 0;
    int32_t Dragging = 0;
    int32_t Loads = 0; // completed page loads
    int DragRootX = 0, DragRootY = 0, DragWindowX = 0, DragWindowY = 0;
};
