// The model's window onto the page: calls named functions of the page's script
// with typed arguments (the browser-bound class does the calling), navigates,
// checks the page's script version once, and receives the page's calls of the
// four methods of its scripting object (answered through the ScriptResponder).
#pragma once

#include <cstdint>

#include "frontend/hostlink.h"

class CLauncherModelScriptable;
class ScriptResponder;

enum {
    SCRIPT_ANSWER_SIZE = 320,  // string answers of the scripting object
    SCRIPT_ADDRESS_MAX = 1023, // longest address Navigate composes
    SCRIPT_PAGE_VERSION = 5,   // what "__Launcher_getVersion" must answer
    SCRIPT_ERROR_VERSION = 18, // error code of a page of another version
};

// A page function's answer: an int, or a bool (Value 1 or 0).
struct ScriptResult {
    int32_t Value;
    ScriptValueType Type; // SCRIPT_VALUE_INT or SCRIPT_VALUE_BOOL
};

class ScriptFacade {
  public:
    explicit ScriptFacade(CLauncherModelScriptable *model);
    virtual ~ScriptFacade();
    ScriptFacade(const ScriptFacade &) = delete;
    ScriptFacade &operator=(const ScriptFacade &) = delete;

    // Browser set-up. Returns 1.
    virtual int Initialize();
    // Calls the page function name with count arguments. 1 when the call was
    // made and answered an int or a bool (stored in *result, zeroed first); 0
    // (logged) when the page, the function or a fitting answer is missing.
    virtual int ExecuteWithResult(const char *name, const ScriptArgument *arguments, int count,
                                  ScriptResult *result) = 0;
    // As ExecuteWithResult, any answer. 1 when the call was made.
    virtual int ExecuteNoResult(const char *name, const ScriptArgument *arguments, int count) = 0;
    // Every completed document; the first one has its script version checked.
    // Returns 1.
    virtual int OnDocumentComplete();
    // Shows address: relative ones (not "http://" or "https://", any case) in the
    // program's folder. external 1 hands the address as given to the user's
    // programs instead. 1; 0 (logged) when the composed address is longer than
    // 1023 bytes.
    virtual int Navigate(const char *address, int external);
    // The four methods of the scripting object (the event is parsed already).
    // ReceiveScriptBool: 1 when the outside library or the command table handled
    // the call. The string forms put their answer into answer (size bytes),
    // empty when there is none. Each returns 1 when a command answered.
    virtual int ReceiveScriptBool(const ScriptEvent *event);
    virtual int ReceiveScriptString(const ScriptEvent *event, char *answer, int size);
    virtual int ReceiveScriptSettings(const ScriptEvent *event, char *answer, int size);
    virtual int ReceiveScriptPackageOptions(const ScriptEvent *event, char *answer, int size);

    // Asks "__Launcher_getVersion"; any answer but 5 is a fatal error 18 for the
    // model. 1 when the page was accepted.
    int CheckVersion();
    CLauncherModelScriptable *GetModel() const { return Model; }
    // 1 once the first document has completed (its script can answer).
    int HasCompletedDocument() const { return VersionChecked; }

  protected:
    CLauncherModelScriptable *Model; // not owned
    ScriptResponder *Responder;      // owned
    int32_t VersionChecked = 0;
};
