// The main window in GTK 3: shape from the frame bitmap, the web view, drag
// moving through a pointer grab (no window manager needed), the tray icon, the
// timer and the bring-forward watch.
#include "frontend/launcherwindow.h"

#include "core/oshelper.h"
#include "core/zyl.h"
#include "frontend/bitmapregion.h"
#include "frontend/dialogs.h"
#include "frontend/frontendlog.h"
#include "frontend/language.h"
#include "frontend/launchermodelgtk.h"

#include <glib-unix.h>
#include <string>

// ---------------------------------------------------------------------------
// CBitmapView
// ---------------------------------------------------------------------------

CBitmapView::CBitmapView() {
    Window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    g_object_ref_sink(Window);
    gtk_window_set_decorated(GTK_WINDOW(Window), FALSE);
    gtk_window_set_resizable(GTK_WINDOW(Window), FALSE);
    // The bitmap is painted in place of the theme's background.
    gtk_widget_set_app_paintable(Window, TRUE);
    g_signal_connect(Window, "draw", G_CALLBACK(OnDraw), this);
    g_signal_connect(Window, "size-allocate", G_CALLBACK(OnSizeAllocate), this);
}

CBitmapView::~CBitmapView() {
    if (Bitmap != nullptr)
        g_object_unref(Bitmap);
    Bitmap = nullptr;
    if (Window != nullptr) {
        g_signal_handlers_disconnect_by_data(Window, this);
        gtk_widget_destroy(Window);
        g_object_unref(Window);
    }
    Window = nullptr;
}

int CBitmapView::LoadBitmap(const char *path) {
    if (Bitmap != nullptr)
        g_object_unref(Bitmap);
    Bitmap = nullptr;
    int width = 0, height = 0;
    // The size first, so a huge image is refused before it is decoded.
    if (gdk_pixbuf_get_file_info(path, &width, &height) == nullptr) {
        Frontend_Log(FRONTEND_LOG_WARNING, "CBitmapView::LoadBitmap() [%s] is not an image", path);
        ApplyRegion();
        return 0;
    }
    if (width <= 0 || height <= 0 || width > BITMAPREGION_SIDE_MAX ||
        height > BITMAPREGION_SIDE_MAX) {
        Frontend_Log(FRONTEND_LOG_WARNING, "CBitmapView::LoadBitmap() [%s] is %dx%d, over %dx%d",
                     path, width, height, (int)BITMAPREGION_SIDE_MAX, (int)BITMAPREGION_SIDE_MAX);
        ApplyRegion();
        return 0;
    }
    GError *error = nullptr;
    GdkPixbuf *loaded = gdk_pixbuf_new_from_file(path, &error);
    if (loaded == nullptr) {
        Frontend_Log(FRONTEND_LOG_WARNING, "CBitmapView::LoadBitmap() [%s] fails: %s", path,
                     error != nullptr ? error->message : "unknown error");
        g_clear_error(&error);
        ApplyRegion();
        return 0;
    }
    if (gdk_pixbuf_get_bits_per_sample(loaded) != 8 ||
        gdk_pixbuf_get_colorspace(loaded) != GDK_COLORSPACE_RGB) {
        Frontend_Log(FRONTEND_LOG_WARNING, "CBitmapView::LoadBitmap() [%s] has no 8-bit RGB", path);
        g_object_unref(loaded);
        ApplyRegion();
        return 0;
    }
    Bitmap = loaded;
    ShapeWidth = ShapeHeight = -1;
    ApplyRegion();
    gtk_widget_queue_draw(Window);
    return 1;
}

void CBitmapView::SetRegionEnabled(int enabled) {
    RegionEnabled = enabled;
    ShapeWidth = ShapeHeight = -1;
}

void CBitmapView::SetTransparencyColor(int red, int green, int blue) {
    Transparency[0] = static_cast<uint8_t>(red);
    Transparency[1] = static_cast<uint8_t>(green);
    Transparency[2] = static_cast<uint8_t>(blue);
    ShapeWidth = ShapeHeight = -1;
}

int CBitmapView::ApplyRegion() {
    int width = 0, height = 0;
    gtk_window_get_size(GTK_WINDOW(Window), &width, &height);
    if (width == ShapeWidth && height == ShapeHeight)
        return 1;
    ShapeWidth = width;
    ShapeHeight = height;
    if (Bitmap == nullptr || RegionEnabled != 1) {
        gtk_widget_shape_combine_region(Window, nullptr);
        return 1;
    }
    BitmapRegionPixels pixels = {gdk_pixbuf_read_pixels(Bitmap), gdk_pixbuf_get_width(Bitmap),
                                 gdk_pixbuf_get_height(Bitmap), gdk_pixbuf_get_rowstride(Bitmap),
                                 gdk_pixbuf_get_n_channels(Bitmap)};
    cairo_region_t *region = BitmapRegion_Create(pixels, Transparency, width, height);
    gtk_widget_shape_combine_region(Window, region);
    if (region != nullptr)
        cairo_region_destroy(region);
    return 1;
}

gboolean CBitmapView::OnDraw(GtkWidget *, cairo_t *cr, gpointer self) {
    CBitmapView *view = static_cast<CBitmapView *>(self);
    if (view->Bitmap != nullptr) {
        gdk_cairo_set_source_pixbuf(cr, view->Bitmap, 0, 0);
        cairo_paint(cr);
    }
    return FALSE; // the page is drawn over it
}

void CBitmapView::OnSizeAllocate(GtkWidget *, GdkRectangle *, gpointer self) {
    static_cast<CBitmapView *>(self)->ApplyRegion();
}

// ---------------------------------------------------------------------------
// CLauncherView
// ---------------------------------------------------------------------------

CLauncherView::CLauncherView(const CLanguageModule &language, WebKitWebView *view)
    : Language(language), Browser(view != nullptr ? view : WEBKIT_WEB_VIEW(webkit_web_view_new())) {
    WebKitWebView *web = Browser.GetWebView();
    // The frame shows through the page until its first load completes.
    GdkRGBA clear = {0, 0, 0, 0};
    webkit_web_view_set_background_color(web, &clear);
    gtk_container_add(GTK_CONTAINER(Window), GTK_WIDGET(web));
    gtk_widget_add_events(Window, GDK_POINTER_MOTION_MASK | GDK_BUTTON_RELEASE_MASK);
    g_signal_connect(Window, "delete-event", G_CALLBACK(OnDelete), this);
    g_signal_connect(Window, "motion-notify-event", G_CALLBACK(OnMotion), this);
    g_signal_connect(Window, "button-release-event", G_CALLBACK(OnButtonRelease), this);
    g_signal_connect(Window, "grab-broken-event", G_CALLBACK(OnGrabBroken), this);
    g_signal_connect(web, "load-changed", G_CALLBACK(OnLoadChanged), this);
    gtk_widget_show(GTK_WIDGET(web));
}

CLauncherView::~CLauncherView() {
    StopTimer();
    if (InstanceWatch != 0)
        g_source_remove(InstanceWatch);
    InstanceWatch = 0;
    if (Dragging == 1)
        EndMove();
    if (Tray != nullptr) {
        g_signal_handlers_disconnect_by_data(Tray, this);
        g_object_unref(Tray);
    }
    Tray = nullptr;
    g_signal_handlers_disconnect_by_data(Browser.GetWebView(), this);
    g_signal_handlers_disconnect_by_data(Window, this);
}

int CLauncherView::RunLoop() {
    if (Closing == 1)
        return 1;
    Loop = g_main_loop_new(nullptr, FALSE);
    g_main_loop_run(Loop);
    g_main_loop_unref(Loop);
    Loop = nullptr;
    return 1;
}

int CLauncherView::Close() {
    // The loop ends when control returns to it, so a tick, page call or dialog
    // running now finishes first.
    Closing = 1;
    if (Loop != nullptr)
        g_main_loop_quit(Loop);
    return 1;
}

gboolean CLauncherView::OnTick(gpointer self) {
    CLauncherView *view = static_cast<CLauncherView *>(self);
    if (view->Model != nullptr && view->Closing == 0)
        view->Model->Tick();
    return G_SOURCE_CONTINUE;
}

int CLauncherView::StartTimer() {
    if (Timer == 0)
        Timer = g_timeout_add(1000, OnTick, this);
    return 1;
}

void CLauncherView::StopTimer() {
    if (Timer != 0)
        g_source_remove(Timer);
    Timer = 0;
}

gboolean CLauncherView::OnDelete(GtkWidget *, GdkEvent *, gpointer self) {
    static_cast<CLauncherView *>(self)->Close();
    return TRUE; // the window stays until the loop has ended
}

int CLauncherView::Navigate(const char *address) {
    std::string uri = address;
    if (address[0] == '/') {
        char *made = g_filename_to_uri(address, nullptr, nullptr);
        if (made == nullptr) {
            Frontend_Log(FRONTEND_LOG_WARNING, "CLauncherView::Navigate() bad path [%s]", address);
            return 1;
        }
        uri = made;
        g_free(made);
    }
    webkit_web_view_load_uri(Browser.GetWebView(), uri.c_str());
    return 1;
}

void CLauncherView::OnLoadChanged(WebKitWebView *web, WebKitLoadEvent event, gpointer self) {
    CLauncherView *view = static_cast<CLauncherView *>(self);
    if (event != WEBKIT_LOAD_FINISHED)
        return;
    if (view->Loads++ == 0) {
        GdkRGBA white = {1, 1, 1, 1};
        webkit_web_view_set_background_color(web, &white);
    }
}

int CLauncherView::SetWindowSize(int width, int height) {
    if (width <= 0 || height <= 0)
        return 1;
    if (width > WINDOW_SIDE_MAX)
        width = WINDOW_SIDE_MAX;
    if (height > WINDOW_SIDE_MAX)
        height = WINDOW_SIDE_MAX;
    gtk_widget_set_size_request(GTK_WIDGET(Browser.GetWebView()), width, height);
    gtk_window_resize(GTK_WINDOW(Window), width, height);
    return 1;
}

// --- minimise, restore, tray ------------------------------------------------

int CLauncherView::Minimize() {
    if (MinimizeToTray == 1) {
        if (Tray == nullptr) {
            G_GNUC_BEGIN_IGNORE_DEPRECATIONS
            Tray = gtk_status_icon_new_from_icon_name("system-software-update");
            G_GNUC_END_IGNORE_DEPRECATIONS
            g_signal_connect(Tray, "activate", G_CALLBACK(OnTrayActivate), this);
            g_signal_connect(Tray, "notify::embedded", G_CALLBACK(OnTrayEmbedded), this);
        }
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        gtk_status_icon_set_visible(Tray, TRUE);
        InTray = 1;
        // Hidden only behind an icon that a tray shows: a hidden window
        // without one could never come back.
        if (gtk_status_icon_is_embedded(Tray)) {
            gtk_widget_hide(Window);
            return 1;
        }
        G_GNUC_END_IGNORE_DEPRECATIONS
    }
    gtk_window_iconify(GTK_WINDOW(Window));
    return 1;
}

void CLauncherView::OnTrayEmbedded(GObject *, GParamSpec *, gpointer self) {
    CLauncherView *view = static_cast<CLauncherView *>(self);
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    int embedded = gtk_status_icon_is_embedded(view->Tray);
    G_GNUC_END_IGNORE_DEPRECATIONS
    if (view->InTray == 1 && embedded)
        gtk_widget_hide(view->Window);
    else if (view->InTray == 1 && !gtk_widget_get_visible(view->Window))
        view->Restore(); // the tray went away: the window must not stay hidden
}

void CLauncherView::OnTrayActivate(GtkStatusIcon *, gpointer self) {
    static_cast<CLauncherView *>(self)->Restore();
}

int CLauncherView::Restore() {
    if (Tray != nullptr) {
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        gtk_status_icon_set_visible(Tray, FALSE);
        G_GNUC_END_IGNORE_DEPRECATIONS
    }
    InTray = 0;
    return BringForward();
}

int CLauncherView::BringForward() {
    gtk_widget_show(Window);
    gtk_window_deiconify(GTK_WINDOW(Window));
    gtk_window_present(GTK_WINDOW(Window));
    return 1;
}

// --- moving by drag -----------------------------------------------------------

int CLauncherView::BeginMoveWindow() {
    GdkWindow *window = gtk_widget_get_window(Window);
    GdkDisplay *display = gtk_widget_get_display(Window);
    GdkSeat *seat = gdk_display_get_default_seat(display);
    GdkDevice *pointer = gdk_seat_get_pointer(seat);
    if (window == nullptr || pointer == nullptr || Dragging == 1)
        return 1;
    // Another explicit grab (a menu, another drag) keeps the pointer.
    if (gdk_display_device_is_grabbed(display, pointer))
        return 1;
    GdkGrabStatus status = gdk_seat_grab(seat, window, GDK_SEAT_CAPABILITY_ALL_POINTING, FALSE,
                                         nullptr, nullptr, nullptr, nullptr);
    if (status != GDK_GRAB_SUCCESS) {
        Frontend_Log(FRONTEND_LOG_INFO, "CLauncherView::BeginMoveWindow() grab refused (%d)",
                     (int)status);
        return 1;
    }
    gdk_device_get_position(pointer, nullptr, &DragRootX, &DragRootY);
    gtk_window_get_position(GTK_WINDOW(Window), &DragWindowX, &DragWindowY);
    Dragging = 1;
    return 1;
}

void CLauncherView::EndMove() {
    Dragging = 0;
    GdkSeat *seat = gdk_display_get_default_seat(gtk_widget_get_display(Window));
    gdk_seat_ungrab(seat);
}

gboolean CLauncherView::OnMotion(GtkWidget *, GdkEventMotion *event, gpointer self) {
    CLauncherView *view = static_cast<CLauncherView *>(self);
    if (view->Dragging != 1)
        return FALSE;
    // The release may have gone to another client before the grab.
    if ((event->state & GDK_BUTTON1_MASK) == 0) {
        view->EndMove();
        return TRUE;
    }
    int x = view->DragWindowX + static_cast<int>(event->x_root) - view->DragRootX;
    int y = view->DragWindowY + static_cast<int>(event->y_root) - view->DragRootY;
    gtk_window_move(GTK_WINDOW(view->Window), x, y);
    return TRUE;
}

gboolean CLauncherView::OnButtonRelease(GtkWidget *, GdkEventButton *event, gpointer self) {
    CLauncherView *view = static_cast<CLauncherView *>(self);
    if (view->Dragging != 1 || event->button != 1)
        return FALSE;
    int x = view->DragWindowX + static_cast<int>(event->x_root) - view->DragRootX;
    int y = view->DragWindowY + static_cast<int>(event->y_root) - view->DragRootY;
    gtk_window_move(GTK_WINDOW(view->Window), x, y);
    view->EndMove();
    return TRUE;
}

gboolean CLauncherView::OnGrabBroken(GtkWidget *, GdkEvent *, gpointer self) {
    CLauncherView *view = static_cast<CLauncherView *>(self);
    view->Dragging = 0;
    return FALSE;
}

// --- dialogs and the bring-forward watch -------------------------------------

int CLauncherView::OpenNativeLogPage() {
    std::vector<std::string> lines;
    if (Model != nullptr)
        lines = Model->GetLogLines();
    CLogDlg dialog(GTK_WINDOW(Window), Language, lines);
    dialog.Run();
    return 1;
}

int CLauncherView::OpenNativeDirectoryBrowserPage(const char *initial, char *answer, int size) {
    CFolderPicker picker(GTK_WINDOW(Window), initial);
    return picker.Run(answer, size);
}

gboolean CLauncherView::OnInstanceMessage(gint, GIOCondition, gpointer self) {
    char message[64];
    while (Zyl_PollSingleInstanceMessage(message, sizeof(message)) == 1) {
        if (Zyl_StrEqual(message, ZYL_INSTANCE_BRING_FORWARD))
            static_cast<CLauncherView *>(self)->Restore();
    }
    return G_SOURCE_CONTINUE;
}

int CLauncherView::WatchInstanceSocket() {
    int fd = Zyl_GetSingleInstanceSocket();
    if (fd >= 0 && InstanceWatch == 0)
        InstanceWatch = g_unix_fd_add(fd, G_IO_IN, OnInstanceMessage, this);
    return 1;
}
