// The licence-agreement dialog, the log viewer and the folder picker in GTK.
// Accept follows the agreement's scroll adjustment, so wheel, keys and the bar
// all count, and a text that fits at once can be accepted at once.
#include "frontend/dialogs.h"

#include "core/zyl.h"
#include "frontend/frontendlog.h"
#include "frontend/language.h"

#include <cstring>
#include <fstream>
#include <sstream>

// ---------------------------------------------------------------------------
// Licence agreement
// ---------------------------------------------------------------------------

std::string EULA_ToUtf8(const std::string &bytes) {
    if (g_utf8_validate(bytes.data(), static_cast<gssize>(bytes.size()), nullptr))
        return bytes;
    gsize written = 0;
    char *converted = g_convert(bytes.data(), static_cast<gssize>(bytes.size()), "UTF-8",
                                "WINDOWS-1252", nullptr, &written, nullptr);
    if (converted == nullptr) {
        // Bytes 0x81, 0x8D, 0x8F, 0x90 and 0x9D have no Windows-1252 meaning.
        converted = g_convert_with_fallback(bytes.data(), static_cast<gssize>(bytes.size()),
                                            "UTF-8", "ISO-8859-1", "?", nullptr, &written, nullptr);
    }
    std::string text = converted != nullptr ? std::string(converted, written) : std::string();
    g_free(converted);
    return text;
}

namespace {

void OnEulaScroll(GtkAdjustment *, gpointer data) {
    static_cast<CEULADlg *>(data)->CheckEndVisible();
}

gboolean CheckEulaAfterLayout(gpointer data) {
    static_cast<CEULADlg *>(data)->CheckLaidOut();
    return G_SOURCE_REMOVE;
}

// The text view measures its lines in idle steps of its own: the end is
// judged once they are done, at a lower priority.
void OnEulaLayout(GtkWidget *, GdkRectangle *, gpointer data) {
    static_cast<CEULADlg *>(data)->ScheduleCheck();
}

void OnEulaLayoutChanged(GtkAdjustment *, gpointer data) {
    static_cast<CEULADlg *>(data)->ScheduleCheck();
}

} // namespace

CEULADlg::CEULADlg(GtkWindow *parent, const CLanguageModule &language) {
    Dialog = gtk_dialog_new();
    gtk_window_set_title(GTK_WINDOW(Dialog), language.Get(LANGUAGE_STRING_EULA_TITLE));
    gtk_window_set_transient_for(GTK_WINDOW(Dialog), parent);
    gtk_window_set_modal(GTK_WINDOW(Dialog), TRUE);
    gtk_window_set_default_size(GTK_WINDOW(Dialog), 600, 400);
    if (parent == nullptr)
        gtk_window_set_position(GTK_WINDOW(Dialog), GTK_WIN_POS_CENTER);
    GtkWidget *area = gtk_dialog_get_content_area(GTK_DIALOG(Dialog));
    gtk_container_set_border_width(GTK_CONTAINER(area), 8);
    gtk_box_set_spacing(GTK_BOX(area), 8);

    GtkWidget *heading = gtk_label_new(language.Get(LANGUAGE_STRING_EULA_HEADING));
    PangoAttrList *attributes = pango_attr_list_new();
    pango_attr_list_insert(attributes, pango_attr_family_new("Arial"));
    pango_attr_list_insert(attributes, pango_attr_size_new(14 * PANGO_SCALE));
    gtk_label_set_attributes(GTK_LABEL(heading), attributes);
    pango_attr_list_unref(attributes);
    gtk_label_set_xalign(GTK_LABEL(heading), 0);
    gtk_box_pack_start(GTK_BOX(area), heading, FALSE, FALSE, 0);

    Text = gtk_text_view_new();
    gtk_text_view_set_editable(GTK_TEXT_VIEW(Text), FALSE);
    gtk_text_view_set_cursor_visible(GTK_TEXT_VIEW(Text), FALSE);
    gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(Text), GTK_WRAP_WORD_CHAR);
    Scrolled = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(Scrolled), GTK_POLICY_NEVER,
                                   GTK_POLICY_ALWAYS);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(Scrolled), GTK_SHADOW_IN);
    gtk_container_add(GTK_CONTAINER(Scrolled), Text);
    gtk_box_pack_start(GTK_BOX(area), Scrolled, TRUE, TRUE, 0);

    GtkWidget *prompt = gtk_label_new(language.Get(LANGUAGE_STRING_EULA_PROMPT));
    gtk_label_set_line_wrap(GTK_LABEL(prompt), TRUE);
    gtk_label_set_xalign(GTK_LABEL(prompt), 0);
    gtk_box_pack_start(GTK_BOX(area), prompt, FALSE, FALSE, 0);

    gtk_dialog_add_button(GTK_DIALOG(Dialog), language.Get(LANGUAGE_STRING_EULA_DECLINE),
                          EULA_RESPONSE_DECLINE);
    Accept = gtk_dialog_add_button(GTK_DIALOG(Dialog), language.Get(LANGUAGE_STRING_EULA_ACCEPT),
                                   EULA_RESPONSE_ACCEPT);
    gtk_widget_set_sensitive(Accept, FALSE);

    // "changed" follows every layout of the text, "value-changed" every scroll.
    GtkAdjustment *scroll = GetScroll();
    g_signal_connect(scroll, "changed", G_CALLBACK(OnEulaLayoutChanged), this);
    g_signal_connect(scroll, "value-changed", G_CALLBACK(OnEulaScroll), this);
    g_signal_connect_after(Text, "size-allocate", G_CALLBACK(OnEulaLayout), this);
    gtk_widget_show_all(area);
}

CEULADlg::~CEULADlg() {
    if (PendingCheck != 0)
        g_source_remove(PendingCheck);
    PendingCheck = 0;
    if (Dialog != nullptr) {
        g_signal_handlers_disconnect_by_data(GetScroll(), this);
        g_signal_handlers_disconnect_by_data(Text, this);
        gtk_widget_destroy(Dialog);
    }
    Dialog = nullptr;
}

GtkAdjustment *CEULADlg::GetScroll() const {
    return gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(Scrolled));
}

int CEULADlg::LoadAgreement(const char *path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        Frontend_Log(FRONTEND_LOG_WARNING, "CEULADlg::LoadAgreement() cannot open [%s]", path);
        return 0;
    }
    std::ostringstream bytes;
    bytes << file.rdbuf();
    std::string text = EULA_ToUtf8(bytes.str());
    GtkTextBuffer *buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(Text));
    gtk_text_buffer_set_text(buffer, text.data(), static_cast<int>(text.size()));
    GtkTextIter start;
    gtk_text_buffer_get_start_iter(buffer, &start);
    gtk_text_buffer_place_cursor(buffer, &start);
    return 1;
}

void CEULADlg::ScheduleCheck() {
    if (PendingCheck == 0)
        PendingCheck =
            g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, CheckEulaAfterLayout, this, nullptr);
}

void CEULADlg::CheckLaidOut() {
    PendingCheck = 0;
    CheckEndVisible();
}

int CEULADlg::CheckEndVisible() {
    // Before the first layout the adjustment is still empty (page 0).
    GtkAdjustment *scroll = GetScroll();
    double value = gtk_adjustment_get_value(scroll);
    double page = gtk_adjustment_get_page_size(scroll);
    double upper = gtk_adjustment_get_upper(scroll);
    if (page <= 0 || value + page < upper - 1)
        return 0;
    OnScrolledToEnd();
    return 1;
}

void CEULADlg::OnScrolledToEnd() {
    gtk_widget_set_sensitive(Accept, TRUE);
}

int CEULADlg::Run() {
    int response = gtk_dialog_run(GTK_DIALOG(Dialog));
    gtk_widget_hide(Dialog);
    return response == EULA_RESPONSE_ACCEPT ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Log viewer
// ---------------------------------------------------------------------------

std::string LogDlg_Text(const std::vector<std::string> &lines) {
    std::string text;
    for (const std::string &line : lines)
        text += line + "\n";
    return text;
}

namespace {

gboolean ScrollLogToEnd(gpointer data) {
    GtkTreeView *list = GTK_TREE_VIEW(data);
    GtkTreeModel *model = gtk_tree_view_get_model(list);
    int count = gtk_tree_model_iter_n_children(model, nullptr);
    if (count > 0) {
        GtkTreePath *last = gtk_tree_path_new_from_indices(count - 1, -1);
        gtk_tree_view_scroll_to_cell(list, last, nullptr, FALSE, 0, 0);
        gtk_tree_path_free(last);
    }
    return G_SOURCE_REMOVE;
}

void OnLogMapped(GtkWidget *list, gpointer) {
    ScrollLogToEnd(list);
}

} // namespace

CLogDlg::CLogDlg(GtkWindow *parent, const CLanguageModule &language,
                 const std::vector<std::string> &lines)
    : Lines(lines) {
    Dialog = gtk_dialog_new();
    gtk_window_set_title(GTK_WINDOW(Dialog), language.Get(LANGUAGE_STRING_LOG_TITLE));
    gtk_window_set_transient_for(GTK_WINDOW(Dialog), parent);
    gtk_window_set_modal(GTK_WINDOW(Dialog), TRUE);
    gtk_window_set_default_size(GTK_WINDOW(Dialog), 800, 480);
    GtkListStore *store = gtk_list_store_new(1, G_TYPE_STRING);
    for (const std::string &line : Lines) {
        GtkTreeIter row;
        gtk_list_store_append(store, &row);
        // Lines come from many sources; the list shows only valid UTF-8.
        char *shown = g_utf8_make_valid(line.c_str(), static_cast<gssize>(line.size()));
        gtk_list_store_set(store, &row, 0, shown, -1);
        g_free(shown);
    }
    List = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store));
    g_object_unref(store);
    gtk_tree_view_set_headers_visible(GTK_TREE_VIEW(List), FALSE);
    gtk_tree_view_insert_column_with_attributes(GTK_TREE_VIEW(List), -1, "",
                                                gtk_cell_renderer_text_new(), "text", 0, nullptr);
    GtkWidget *scrolled = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_container_add(GTK_CONTAINER(scrolled), List);
    GtkWidget *area = gtk_dialog_get_content_area(GTK_DIALOG(Dialog));
    gtk_box_pack_start(GTK_BOX(area), scrolled, TRUE, TRUE, 0);
    gtk_dialog_add_button(GTK_DIALOG(Dialog), language.Get(LANGUAGE_STRING_LOG_COPY),
                          LOG_RESPONSE_COPY);
    gtk_dialog_add_button(GTK_DIALOG(Dialog), language.Get(LANGUAGE_STRING_LOG_OK),
                          GTK_RESPONSE_OK);
    g_signal_connect_after(List, "map", G_CALLBACK(OnLogMapped), nullptr);
    gtk_widget_show_all(area);
}

CLogDlg::~CLogDlg() {
    if (Dialog != nullptr)
        gtk_widget_destroy(Dialog);
    Dialog = nullptr;
}

int CLogDlg::Copy() {
    std::string text = LogDlg_Text(Lines);
    GtkClipboard *clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    gtk_clipboard_set_text(clipboard, text.data(), static_cast<int>(text.size()));
    gtk_clipboard_set_can_store(clipboard, nullptr, 0);
    gtk_clipboard_store(clipboard);
    return 1;
}

int CLogDlg::Run() {
    while (gtk_dialog_run(GTK_DIALOG(Dialog)) == LOG_RESPONSE_COPY)
        Copy();
    gtk_widget_hide(Dialog);
    return 1;
}

// ---------------------------------------------------------------------------
// Folder picker
// ---------------------------------------------------------------------------

CFolderPicker::CFolderPicker(GtkWindow *parent, const char *initial) {
    Dialog =
        gtk_file_chooser_dialog_new("", parent, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, "_Cancel",
                                    GTK_RESPONSE_CANCEL, "_OK", GTK_RESPONSE_ACCEPT, nullptr);
    gtk_window_set_modal(GTK_WINDOW(Dialog), TRUE);
    GtkFileChooser *chooser = GTK_FILE_CHOOSER(Dialog);
    gtk_file_chooser_set_local_only(chooser, TRUE);
    if (initial != nullptr && initial[0] != 0 && g_file_test(initial, G_FILE_TEST_IS_DIR))
        gtk_file_chooser_set_filename(chooser, initial);
}

CFolderPicker::~CFolderPicker() {
    if (Dialog != nullptr)
        gtk_widget_destroy(Dialog);
    Dialog = nullptr;
}

int CFolderPicker::Finish(int response, char *answer, int size) {
    if (size > 0)
        answer[0] = 0;
    if (response != GTK_RESPONSE_ACCEPT)
        return 0;
    char *path = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(Dialog));
    // A link to a folder is a folder: the test follows links.
    if (path == nullptr || !g_file_test(path, G_FILE_TEST_IS_DIR)) {
        g_free(path);
        return -1;
    }
    int result = 1;
    int length = static_cast<int>(std::strlen(path));
    if (length > FOLDER_ANSWER_MAX || length >= size) {
        Frontend_Log(FRONTEND_LOG_WARNING, "CFolderPicker::Finish() folder too long (%d bytes)",
                     length);
        result = 0;
    } else {
        Zyl_StrCopy(answer, path, size);
    }
    g_free(path);
    return result;
}

int CFolderPicker::Run(char *answer, int size) {
    int result = -1;
    while (result < 0)
        result = Finish(gtk_dialog_run(GTK_DIALOG(Dialog)), answer, size);
    gtk_widget_hide(Dialog);
    return result;
}
