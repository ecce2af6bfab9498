// The native windows beside the page: the licence agreement shown at start
// until it is accepted, the log viewer with its Copy button, and the folder
// picker. Each is modal over the main window and lives only while shown; the
// texts come from the language module.
#pragma once

#include <gtk/gtk.h>
#include <string>
#include <vector>

class CLanguageModule;

enum {
    EULA_RESPONSE_ACCEPT = 1005,
    EULA_RESPONSE_DECLINE = 1004,
    LOG_RESPONSE_COPY = 1002,
    FOLDER_ANSWER_MAX = 319, // longest folder answered, bytes
};

// What the accept button waits for: the end of the agreement on screen.
class IEULAControl {
  public:
    virtual ~IEULAControl() {}
    virtual void OnScrolledToEnd() = 0;
};

class CEULADlg : public IEULAControl {
  public:
    CEULADlg(GtkWindow *parent, const CLanguageModule &language);
    ~CEULADlg() override;
    CEULADlg(const CEULADlg &) = delete;
    CEULADlg &operator=(const CEULADlg &) = delete;

    // The agreement's text from path: UTF-8 as it is, other bytes read as
    // Windows-1252. 1 when the file was read; 0 (logged, text empty) otherwise.
    int LoadAgreement(const char *path);
    // Shows the dialog and waits. 1 when accepted, 0 when declined or closed.
    int Run();
    void OnScrolledToEnd() override;

    GtkWidget *GetDialog() const { return Dialog; }
    GtkWidget *GetAcceptButton() const { return Accept; }
    GtkAdjustment *GetScroll() const;
    // Enables Accept when the end of the text is visible. Returns 1 when it is.
    int CheckEndVisible();
    // After a layout: the check once the text's lines are measured.
    void ScheduleCheck();
    void CheckLaidOut();

  private:
    GtkWidget *Dialog = nullptr;
    GtkWidget *Text = nullptr;
    GtkWidget *Scrolled = nullptr;
    GtkWidget *Accept = nullptr;
    guint PendingCheck = 0; // the idle check after a layout, 0 when none
};

// The agreement as UTF-8 from raw bytes (valid UTF-8 kept, else Windows-1252).
std::string EULA_ToUtf8(const std::string &bytes);

class CLogDlg {
  public:
    CLogDlg(GtkWindow *parent, const CLanguageModule &language,
            const std::vector<std::string> &lines);
    ~CLogDlg();
    CLogDlg(const CLogDlg &) = delete;
    CLogDlg &operator=(const CLogDlg &) = delete;

    // Shows the lines scrolled to the end and waits for OK. Returns 1.
    int Run();
    // Puts the lines, each followed by "\n", on the CLIPBOARD selection and
    // hands them to the clipboard manager so they outlive the dialog. Returns 1.
    int Copy();
    GtkWidget *GetDialog() const { return Dialog; }
    GtkWidget *GetList() const { return List; }

  private:
    std::vector<std::string> Lines;
    GtkWidget *Dialog = nullptr;
    GtkWidget *List = nullptr;
};

// The text Copy places: every line followed by "\n".
std::string LogDlg_Text(const std::vector<std::string> &lines);

class CFolderPicker {
  public:
    CFolderPicker(GtkWindow *parent, const char *initial);
    ~CFolderPicker();
    CFolderPicker(const CFolderPicker &) = delete;
    CFolderPicker &operator=(const CFolderPicker &) = delete;

    // Waits for a folder. 1 with the folder in answer (size bytes); 0 with ""
    // when cancelled or when the folder is longer than 319 bytes (logged).
    int Run(char *answer, int size);
    // The answer for one response of the dialog: 1 with answer set; 0 with ""
    // for cancel; -1 when the selection is not an existing folder (the dialog
    // stays open).
    int Finish(int response, char *answer, int size);
    GtkWidget *GetDialog() const { return Dialog; }

  private:
    GtkWidget *Dialog = nullptr;
};
