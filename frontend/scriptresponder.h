// The page's command table: each boolean or string command by its exact name,
// its parameter count and types checked, then the model, the view or the patch
// engine asked. Stateless; owned by its facade.
#pragma once

#include "frontend/hostlink.h"

class ScriptFacade;

// A parameter's text: its value when it is a string, else "".
const char *ScriptParameter_Text(const ScriptParameter *parameter);

class ScriptResponder {
  public:
    explicit ScriptResponder(ScriptFacade *facade) : Facade(facade) {}
    // 1 when a command of that name answered 1 (wrong parameters are logged and
    // answered 1); 0 when none matched or the command's work failed.
    int HandleBoolEvent(const ScriptEvent *event);
    // "openNativeDirectoryBrowserPage": the chosen folder into answer. 1 when
    // the command matched (whatever the picker did), else 0.
    int HandleStringEvent(const ScriptEvent *event, char *answer, int size);

  private:
    ScriptFacade *Facade; // not owned
};
