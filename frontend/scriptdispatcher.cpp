// The page's scripting object: method lookup, the parse of a call's event name
// and parameter text ("type:value|type:value"), and the hand-over to the facade.
#include "frontend/scriptdispatcher.h"

#include "core/zyl.h"
#include "frontend/frontendlog.h"
#include "frontend/scriptfacade.h"

#include <cstring>
#include <string>

namespace {

const struct {
    const char *Name;
    int Id;
} kMethods[] = {
    {"XRBLauncher_ReturnBool", SCRIPT_DISPID_RETURNBOOL},
    {"XRBLauncher_ReturnSettings", SCRIPT_DISPID_RETURNSETTINGS},
    {"XRBLauncher_ReturnString", SCRIPT_DISPID_RETURNSTRING},
    {"XRBLauncher_ReturnPackageOptions", SCRIPT_DISPID_RETURNPACKAGEOPTIONS},
};

// Fills parameter from one "type:value" token. 0 when a string value is over
// its 127 bytes.
int ParseToken(ScriptParameter *parameter, const std::string &token) {
    std::memset(parameter, 0, sizeof(*parameter));
    parameter->Type = SCRIPT_VALUE_STRING;
    size_t colon = token.find(':');
    if (colon == std::string::npos) {
        Frontend_Log(FRONTEND_LOG_WARNING, "Unable to properly parse [%s]", token.c_str());
        return 1;
    }
    std::string type = token.substr(0, colon);
    std::string value = token.substr(colon + 1);
    if (Zyl_StrEqualNoCase(type.c_str(), "int")) {
        parameter->Type = SCRIPT_VALUE_INT;
        parameter->Value.Int = Frontend_ParseInt32(value.c_str());
    } else if (Zyl_StrEqualNoCase(type.c_str(), "double")) {
        parameter->Type = SCRIPT_VALUE_DOUBLE;
        parameter->Value.Double = Zyl_AtoF(value.c_str());
    } else if (Zyl_StrEqualNoCase(type.c_str(), "numeric")) {
        parameter->Type = SCRIPT_VALUE_NUMERIC;
        parameter->Value.Numeric = Frontend_ParseInt64(value.c_str());
    } else if (Zyl_StrEqualNoCase(type.c_str(), "bool")) {
        int flag = 0;
        Zyl_ParseBool(value.c_str(), &flag, 0);
        parameter->Type = SCRIPT_VALUE_BOOL;
        parameter->Value.Bool = flag;
    } else {
        // "string" and any unknown type name.
        if (value.size() >= SCRIPT_PARAMETER_VALUE_SIZE)
            return 0;
        Zyl_StrCopy(parameter->Value.Text, value.c_str(), SCRIPT_PARAMETER_VALUE_SIZE);
    }
    return 1;
}

} // namespace

ScriptDispatcher::ScriptDispatcher(ScriptFacade *facade) : Facade(facade) {}

int ScriptDispatcher::AddRef() {
    return ++References;
}

int ScriptDispatcher::Release() {
    int left = --References;
    if (left == 0)
        delete this;
    return left;
}

int ScriptDispatcher::GetIDOfName(const char *name) {
    for (const auto &method : kMethods)
        if (name != nullptr && std::strcmp(name, method.Name) == 0)
            return method.Id;
    return SCRIPT_DISPID_UNKNOWN;
}

int ScriptDispatcher::ParseParameters(ScriptCall *call, const ScriptPageValue *arguments,
                                      int count) {
    std::memset(&call->Event, 0, sizeof(call->Event));
    call->Parameters.clear();
    if (count <= 0 || count >= 3) {
        Frontend_Log(FRONTEND_LOG_WARNING,
                     "ScriptDispatcher::ParseParameters() insufficient # of parameters");
        return SCRIPT_PARSE_FAILED;
    }
    for (int i = 0; i < count; i++) {
        if (arguments[i].IsText != 1 || arguments[i].Text == nullptr) {
            Frontend_Log(FRONTEND_LOG_WARNING,
                         "ScriptDispatcher::ParseParameters() argument not a BSTR");
            return SCRIPT_PARSE_FAILED;
        }
    }
    Frontend_CopyUtf8(call->Event.Name, arguments[0].Text, SCRIPT_EVENT_NAME_SIZE);
    if (count == 1)
        return SCRIPT_PARSE_OK;
    std::string text = arguments[1].Text;
    if (text.size() > SCRIPT_PARAMETER_TEXT_MAX) {
        Frontend_Log(FRONTEND_LOG_WARNING,
                     "ScriptDispatcher::ParseParameters() parameters of [%s] longer than %d bytes",
                     call->Event.Name, (int)SCRIPT_PARAMETER_TEXT_MAX);
        return SCRIPT_PARSE_TOO_LONG;
    }
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('|', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start) {
            ScriptParameter parameter;
            if (ParseToken(&parameter, text.substr(start, end - start)) != 1) {
                Frontend_Log(FRONTEND_LOG_WARNING,
                             "ScriptDispatcher::ParseParameters() value of [%s] longer than %d "
                             "bytes",
                             call->Event.Name, SCRIPT_PARAMETER_VALUE_SIZE - 1);
                call->Parameters.clear();
                return SCRIPT_PARSE_TOO_LONG;
            }
            call->Parameters.push_back(parameter);
        }
        start = end + 1;
    }
    call->Event.Parameters = call->Parameters.empty() ? nullptr : call->Parameters.data();
    call->Event.Count = (int32_t)call->Parameters.size();
    return SCRIPT_PARSE_OK;
}

int ScriptDispatcher::Invoke(int dispid, const ScriptPageValue *arguments, int count,
                             int *boolAnswer, char *text, int size) {
    int known = 0;
    for (const auto &method : kMethods)
        known |= method.Id == dispid;
    if (!known)
        return 1; // the answers stay untouched
    if (dispid == SCRIPT_DISPID_RETURNBOOL)
        *boolAnswer = 0;
    else if (size > 0)
        text[0] = 0;
    ScriptCall call;
    int parsed = ParseParameters(&call, arguments, count);
    if (parsed == SCRIPT_PARSE_TOO_LONG) {
        // A parameter error: answered as the command table answers one.
        if (dispid == SCRIPT_DISPID_RETURNBOOL)
            *boolAnswer = 1;
        return 1;
    }
    if (parsed != SCRIPT_PARSE_OK)
        return 1;
    char answer[SCRIPT_ANSWER_SIZE] = "";
    switch (dispid) {
    case SCRIPT_DISPID_RETURNBOOL:
        *boolAnswer = Facade->ReceiveScriptBool(&call.Event) == 1 ? 1 : 0;
        return 1;
    case SCRIPT_DISPID_RETURNSETTINGS:
        Facade->ReceiveScriptSettings(&call.Event, answer, sizeof(answer));
        break;
    case SCRIPT_DISPID_RETURNSTRING:
        Facade->ReceiveScriptString(&call.Event, answer, sizeof(answer));
        break;
    default:
        Facade->ReceiveScriptPackageOptions(&call.Event, answer, sizeof(answer));
        break;
    }
    Frontend_CopyUtf8(text, answer, size);
    return 1;
}
