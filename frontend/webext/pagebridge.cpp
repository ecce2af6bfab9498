// The web-process side of the page bridge: connects to the program's private
// socket (path and secret from the initialisation data), announces every new
// main-frame document, defines the page object QTRLauncher where the program
// admits the document, and marshals calls both ways. Parsing and checks stay in
// the program. A method call blocks on the socket, running the program's page
// function invocations as they come, until its own answer arrives.
#include <glib-unix.h>
#include <webkit2/webkit-web-extension.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "frontend/bridgeframe.h"

namespace {

struct PageBridge {
    int Socket = -1;
    BridgeReader Reader;
    uint32_t NextId = 1;
    JSCContext *Context = nullptr; // the admitted main-frame document's, or null
    std::vector<uint8_t> Buffer = std::vector<uint8_t>(BRIDGE_HEADER_SIZE + BRIDGE_CHUNK_MAX + 1);
};

PageBridge g_bridge;

const char *const kMethods[BRIDGE_METHOD_COUNT] = {
    "XRBLauncher_ReturnBool",
    "XRBLauncher_ReturnSettings",
    "XRBLauncher_ReturnString",
    "XRBLauncher_ReturnPackageOptions",
};

void Disconnect(const char *why) {
    if (g_bridge.Socket < 0)
        return;
    g_warning("page bridge: %s; page calls answer false from now on", why);
    close(g_bridge.Socket);
    g_bridge.Socket = -1;
}

int Send(const BridgeMessage &message) {
    std::vector<std::vector<uint8_t>> chunks;
    if (g_bridge.Socket < 0 || Bridge_Encode(message, &chunks) != 1)
        return 0;
    for (const auto &chunk : chunks) {
        ssize_t sent;
        do
            sent = send(g_bridge.Socket, chunk.data(), chunk.size(), MSG_NOSIGNAL);
        while (sent < 0 && errno == EINTR);
        if (sent != (ssize_t)chunk.size()) {
            Disconnect("send failed");
            return 0;
        }
    }
    return 1;
}

// Reads one whole message (blocking unless dontWait). 1 with it in *message;
// 0 when nothing is waiting (dontWait) or the socket is gone.
int Receive(BridgeMessage *message, int dontWait) {
    for (;;) {
        if (g_bridge.Socket < 0)
            return 0;
        ssize_t got = recv(g_bridge.Socket, g_bridge.Buffer.data(), g_bridge.Buffer.size(),
                           dontWait ? MSG_DONTWAIT : 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        if (got <= 0) {
            Disconnect("the program closed the connection");
            return 0;
        }
        BridgeFeed fed = g_bridge.Reader.Feed(g_bridge.Buffer.data(), (size_t)got);
        if (fed == BRIDGE_FEED_ERROR) {
            Disconnect(g_bridge.Reader.Error());
            return 0;
        }
        if (fed == BRIDGE_FEED_MESSAGE) {
            *message = g_bridge.Reader.Message();
            return 1;
        }
    }
}

// Calls the page function an invocation names; answers its RESULT.
void Invoke(const BridgeMessage &message) {
    BridgeMessage result;
    result.Type = BRIDGE_RESULT;
    result.Id = message.Id;
    result.Code = BRIDGE_OUTCOME_NO_PAGE;
    JSCContext *context = g_bridge.Context;
    if (context != nullptr) {
        g_object_ref(context);
        JSCValue *global = jsc_context_get_global_object(context);
        JSCValue *function = jsc_value_object_get_property(global, message.Name.c_str());
        result.Code = BRIDGE_OUTCOME_MISSING;
        if (function != nullptr && jsc_value_is_function(function)) {
            std::vector<JSCValue *> arguments;
            for (const BridgeValue &value : message.Values) {
                if (value.Kind == BRIDGE_VALUE_INT)
                    arguments.push_back(jsc_value_new_number(context, (double)value.Number));
                else if (value.Kind == BRIDGE_VALUE_DOUBLE)
                    arguments.push_back(jsc_value_new_number(context, value.Double));
                else
                    arguments.push_back(jsc_value_new_string(context, value.Text.c_str()));
            }
            jsc_context_clear_exception(context);
            JSCValue *answer =
                jsc_value_function_callv(function, (guint)arguments.size(), arguments.data());
            if (jsc_context_get_exception(context) != nullptr) {
                result.Code = BRIDGE_OUTCOME_THREW;
                jsc_context_clear_exception(context);
            } else if (answer != nullptr && jsc_value_is_boolean(answer)) {
                result.Code = BRIDGE_OUTCOME_BOOL;
                result.Number = jsc_value_to_boolean(answer) ? 1 : 0;
            } else if (answer != nullptr && jsc_value_is_number(answer)) {
                double number = jsc_value_to_double(answer);
                result.Code = BRIDGE_OUTCOME_OTHER;
                if (number == std::floor(number) && number >= INT32_MIN && number <= INT32_MAX) {
                    result.Code = BRIDGE_OUTCOME_INT;
                    result.Number = (int64_t)number;
                }
            } else {
                result.Code = BRIDGE_OUTCOME_OTHER;
            }
            if (answer != nullptr)
                g_object_unref(answer);
            for (JSCValue *argument : arguments)
                g_object_unref(argument);
        }
        if (function != nullptr)
            g_object_unref(function);
        g_object_unref(global);
        g_object_unref(context);
    }
    Send(result);
}

// Sends request and waits for the program's message of type with its id,
// serving invocations meanwhile. 1 with the answer in *answer.
int Ask(BridgeMessage request, uint8_t type, BridgeMessage *answer) {
    request.Id = g_bridge.NextId++;
    if (Send(request) != 1)
        return 0;
    BridgeMessage message;
    while (Receive(&message, 0) == 1) {
        if (message.Type == BRIDGE_INVOKE)
            Invoke(message);
        else if (message.Type == type && message.Id == request.Id) {
            *answer = std::move(message);
            return 1;
        }
        // Anything else is an answer nobody waits for any more.
    }
    return 0;
}

// Sends one method call of the page; 1 with the program's answer.
int Call(int method, GPtrArray *arguments, BridgeMessage *answer) {
    BridgeMessage call;
    call.Type = BRIDGE_CALL;
    call.Code = (uint32_t)method;
    // The program takes one or two arguments: a third only has to be seen.
    for (guint i = 0; i < arguments->len && i < 3; i++) {
        JSCValue *argument = (JSCValue *)g_ptr_array_index(arguments, i);
        BridgeValue value;
        value.Kind = BRIDGE_VALUE_OTHER;
        if (jsc_value_is_string(argument)) {
            char *text = jsc_value_to_string(argument);
            size_t length = strlen(text);
            value.Kind = length > BRIDGE_TEXT_PREFIX ? BRIDGE_VALUE_LONG : BRIDGE_VALUE_TEXT;
            value.Text = Bridge_ValidUtf8(text, length, BRIDGE_TEXT_PREFIX);
            g_free(text);
        }
        call.Values.push_back(std::move(value));
    }
    return Ask(call, BRIDGE_ANSWER, answer);
}

gboolean ReturnBool(GPtrArray *arguments, gpointer) {
    BridgeMessage answer;
    return Call(BRIDGE_METHOD_BOOL, arguments, &answer) == 1 && answer.Code == 1;
}

char *ReturnText(GPtrArray *arguments, gpointer method) {
    BridgeMessage answer;
    if (Call((int)GPOINTER_TO_INT(method), arguments, &answer) != 1)
        return g_strdup("");
    return g_strdup(answer.Name.c_str());
}

void DefineObject(JSCContext *context) {
    JSCValue *object = jsc_value_new_object(context, nullptr, nullptr);
    for (int method = 0; method < BRIDGE_METHOD_COUNT; method++) {
        JSCValue *function =
            method == BRIDGE_METHOD_BOOL
                ? jsc_value_new_function_variadic(context, kMethods[method], G_CALLBACK(ReturnBool),
                                                  nullptr, nullptr, G_TYPE_BOOLEAN)
                : jsc_value_new_function_variadic(context, kMethods[method], G_CALLBACK(ReturnText),
                                                  GINT_TO_POINTER(method), nullptr, G_TYPE_STRING);
        jsc_value_object_set_property(object, kMethods[method], function);
        g_object_unref(function);
    }
    JSCValue *global = jsc_context_get_global_object(context);
    jsc_value_object_set_property(global, "QTRLauncher", object);
    JSCValue *document = jsc_value_object_get_property(global, "document");
    if (document != nullptr && jsc_value_is_object(document))
        jsc_value_object_set_property(document, "QTRLauncher", object);
    if (document != nullptr)
        g_object_unref(document);
    g_object_unref(global);
    g_object_unref(object);
}

void OnWindowObjectCleared(WebKitScriptWorld *world, WebKitWebPage *page, WebKitFrame *frame,
                           gpointer) {
    if (!webkit_frame_is_main_frame(frame))
        return;
    if (g_bridge.Context != nullptr)
        g_object_unref(g_bridge.Context);
    g_bridge.Context = nullptr;
    BridgeMessage ready;
    ready.Type = BRIDGE_READY;
    ready.Number = (int64_t)webkit_web_page_get_id(page);
    const char *uri = webkit_frame_get_uri(frame);
    ready.Name = uri != nullptr ? uri : "";
    if (ready.Name.size() > 8192)
        ready.Name.resize(8192); // refused by the program as it stands
    BridgeMessage admit;
    if (Ask(ready, BRIDGE_ADMIT, &admit) != 1 || admit.Code != 1)
        return;
    g_bridge.Context = webkit_frame_get_js_context_for_script_world(frame, world);
    DefineObject(g_bridge.Context);
}

// Invocations that arrive while the page is idle.
gboolean OnReadable(gint, GIOCondition, gpointer) {
    BridgeMessage message;
    while (Receive(&message, 1) == 1)
        if (message.Type == BRIDGE_INVOKE)
            Invoke(message);
    return g_bridge.Socket >= 0 ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

int Connect(const char *path, const char *token) {
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof(address.sun_path) || strlen(token) != BRIDGE_TOKEN_SIZE)
        return 0;
    memcpy(address.sun_path, path, strlen(path) + 1);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    if (connect(fd, (struct sockaddr *)&address, sizeof(address)) != 0) {
        g_warning("page bridge: connect to %s failed: %s", path, strerror(errno));
        close(fd);
        return 0;
    }
    g_bridge.Socket = fd;
    BridgeMessage hello;
    hello.Type = BRIDGE_HELLO;
    hello.Name = token;
    if (Send(hello) != 1)
        return 0;
    GSource *source = g_unix_fd_source_new(fd, G_IO_IN);
    g_source_set_can_recurse(source, TRUE);
    g_source_set_callback(source, (GSourceFunc)(void (*)(void))OnReadable, nullptr, nullptr);
    g_source_attach(source, nullptr);
    g_source_unref(source);
    return 1;
}

} // namespace

extern "C" G_MODULE_EXPORT void
webkit_web_extension_initialize_with_user_data(WebKitWebExtension *, const GVariant *data) {
    const char *path = nullptr;
    const char *token = nullptr;
    if (data == nullptr || !g_variant_is_of_type((GVariant *)data, G_VARIANT_TYPE("(ss)"))) {
        g_warning("page bridge: no connection data; the page object stays undefined");
        return;
    }
    g_variant_get((GVariant *)data, "(&s&s)", &path, &token);
    if (Connect(path, token) != 1)
        return;
    g_signal_connect(webkit_script_world_get_default(), "window-object-cleared",
                     G_CALLBACK(OnWindowObjectCleared), nullptr);
}
