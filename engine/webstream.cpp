// The web stream's least record: bound to its manager once.
#include "engine/webstream.h"

#include "core/zyl.h"

static const char kStreamTag[] = "WebStreamStruct";

int WebStream_Create(WebStreamStruct **stream) {
    ZYL_CHECK_PTR(stream);
    WebStreamStruct *s = ZYL_NEW(WebStreamStruct);
    s->Tag = kStreamTag;
    *stream = s;
    return 1;
}

int WebStream_Destroy(WebStreamStruct **stream) {
    ZYL_CHECK_PTR(stream);
    WebStreamStruct *s = *stream;
    if (s == nullptr)
        return 1;
    ZYL_CHECK_TAG(s, kStreamTag);
    *stream = nullptr;
    s->Tag = Zyl_DeadTag;
    ZYL_FREE(s, sizeof(WebStreamStruct));
    return 1;
}

int WebStream_SetParent(ManagerStruct *manager, WebStreamStruct *stream) {
    ZYL_CHECK_TAG(stream, kStreamTag);
    ZYL_CHECK_PTR(manager);
    if (stream->Manager != nullptr) {
        ZYL_FATAL("Parent handle already set\n");
    }
    stream->Manager = manager;
    return 1;
}
