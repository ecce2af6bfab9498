// The scripting object the page reaches as the property QTRLauncher: four
// methods, each taking an event name and an optional parameter text. Parses a
// call into a ScriptEvent and hands it to the facade. The browser-bound code
// turns the page's values into ScriptPageValue records.
#pragma once

#include <cstdint>
#include <vector>

#include "frontend/hostlink.h"

class ScriptFacade;

// The method numbers of the four methods.
enum {
    SCRIPT_DISPID_UNKNOWN = -1,
    SCRIPT_DISPID_RETURNBOOL = 0x10329,
    SCRIPT_DISPID_RETURNSETTINGS = 0x1032A,
    SCRIPT_DISPID_RETURNSTRING = 0x1032B,
    SCRIPT_DISPID_RETURNPACKAGEOPTIONS = 0x1032C,
};

// What ParseParameters made of a call.
enum {
    SCRIPT_PARSE_FAILED = 0, // wrong shape: answered false or ""
    SCRIPT_PARSE_OK = 1,
    SCRIPT_PARSE_TOO_LONG = 2, // a text over its limit: refused as a parameter error
};

// One argument of a page call in script order: a text, or any other value.
struct ScriptPageValue {
    int IsText;
    const char *Text; // UTF-8 when IsText is 1
};

// A parsed call: the event and the parameter array it points into.
struct ScriptCall {
    ScriptEvent Event;
    std::vector<ScriptParameter> Parameters;
};

class ScriptDispatcher {
  public:
    // The reference count starts at 1 (the facade's reference).
    explicit ScriptDispatcher(ScriptFacade *facade);
    ScriptDispatcher(const ScriptDispatcher &) = delete;
    ScriptDispatcher &operator=(const ScriptDispatcher &) = delete;
    int AddRef();
    // Deletes the object when the count reaches 0. Returns the new count.
    int Release();
    // The method number of name (exact), or SCRIPT_DISPID_UNKNOWN.
    static int GetIDOfName(const char *name);
    // Calls method dispid with the page's arguments. ReturnBool answers in
    // *boolAnswer (0 or 1), the others in text (size bytes, at most 320 used).
    // An unknown method leaves the answers untouched. Returns 1.
    int Invoke(int dispid, const ScriptPageValue *arguments, int count, int *boolAnswer, char *text,
               int size);
    // Parses one or two page arguments (the event name, then the parameter
    // text) into call. Returns SCRIPT_PARSE_OK, SCRIPT_PARSE_FAILED (no argument,
    // three or more, or one that is not a text; logged) or SCRIPT_PARSE_TOO_LONG
    // (a parameter text over 319 bytes or a string value over 127; logged).
    static int ParseParameters(ScriptCall *call, const ScriptPageValue *arguments, int count);

  private:
    ~ScriptDispatcher() {}
    int References = 1;
    ScriptFacade *Facade; // not owned
};
