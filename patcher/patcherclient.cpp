// The download client's dispatch: checks each call and passes it to the
// implementation the client was created with.
#include "patcher/patcherclient.h"

#include "core/zyl.h"
#include "patcher/patcherlog.h"

#include <atomic>
#include <cstring>

static const char kTag[] = "patcherclient";

struct PatcherClient {
    const char *Tag;
    const PatcherClientOperations *Operations; // fixed for the client's life
    void *Object;                              // the implementation's own
};

static std::atomic<const PatcherClientOperations *> gOperations{nullptr};

int PatcherClient_SetOperations(const PatcherClientOperations *operations) {
    gOperations.store(operations);
    return 1;
}

const PatcherClientOperations *PatcherClient_GetOperations(void) {
    return gOperations.load();
}

int PatcherClient_Create(PatcherClient **client, const char *registryPath, const char *settingsUrl,
                         const PatcherOptions *options) {
    ZYL_CHECK_PTR(client);
    ZYL_CHECK_PTR(registryPath);
    ZYL_CHECK_PTR(settingsUrl);
    ZYL_CHECK_PTR(options);
    *client = nullptr;
    const PatcherClientOperations *operations = gOperations.load();
    if (operations == nullptr) {
        Patcher_Log(PATCHER_LOG_WARNING, "PatcherClient_Create(): no download client");
        return 0;
    }
    PatcherClient *created = ZYL_NEW(PatcherClient);
    created->Tag = kTag;
    created->Operations = operations;
    if (operations->Create(&created->Object, registryPath, settingsUrl, options) != 1) {
        created->Tag = Zyl_DeadTag;
        ZYL_FREE(created, sizeof(PatcherClient));
        return 0;
    }
    *client = created;
    return 1;
}

int PatcherClient_Destroy(PatcherClient **client) {
    ZYL_CHECK_PTR(client);
    PatcherClient *doomed = *client;
    if (doomed == nullptr)
        return 1;
    ZYL_CHECK_TAG(doomed, kTag);
    doomed->Operations->Destroy(&doomed->Object);
    doomed->Tag = Zyl_DeadTag;
    ZYL_FREE(doomed, sizeof(PatcherClient));
    *client = nullptr;
    return 1;
}

int PatcherClient_Stop(PatcherClient **client) {
    ZYL_CHECK_PTR(client);
    if (*client == nullptr)
        return 1;
    ZYL_CHECK_TAG(*client, kTag);
    return (*client)->Operations->Stop((*client)->Object);
}

int PatcherClient_SetOptions(PatcherClient *client, const PatcherOptions *options) {
    ZYL_CHECK_TAG(client, kTag);
    ZYL_CHECK_PTR(options);
    return client->Operations->SetOptions(client->Object, options);
}

int PatcherClient_SetSettingsCallback(PatcherClient *client,
                                      PatcherClientSettingsForwarder callback, void *userData) {
    ZYL_CHECK_TAG(client, kTag);
    return client->Operations->SetSettingsCallback(client->Object, callback, userData);
}

int PatcherClient_AddDownload(PatcherClient *client, const int32_t *switches, const char *name,
                              const char *skinSource, const char *metafile, const char *outputPath,
                              PatcherClientStateFunc callback, void *userData,
                              const int32_t *elementOptions) {
    ZYL_CHECK_TAG(client, kTag);
    ZYL_CHECK_PTR(switches);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(skinSource);
    ZYL_CHECK_PTR(metafile);
    ZYL_CHECK_PTR(outputPath);
    ZYL_CHECK_PTR(elementOptions);
    if (skinSource[0] == 0) {
        Patcher_ReportError(5, "Unspecified SkinSource [%s]", skinSource);
        return 0;
    }
    return client->Operations->AddDownload(client->Object, client, switches, name, skinSource,
                                           metafile, outputPath, callback, userData,
                                           elementOptions);
}

int PatcherClient_RemoveDownload(PatcherClient *client, const char *name) {
    ZYL_CHECK_TAG(client, kTag);
    ZYL_CHECK_PTR(name);
    return client->Operations->RemoveDownload(client->Object, name);
}

int PatcherClient_GetDownloadStatus(const char *name, PatcherClient *client,
                                    PatcherDownloadStatus *status) {
    ZYL_CHECK_TAG(client, kTag);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(status);
    PatcherDownloadStatus_Init(status);
    return client->Operations->GetDownloadStatus(client->Object, name, status);
}

int PatcherClient_SetDownloadSwitches(PatcherClient *client, const char *name,
                                      const int32_t *switches) {
    ZYL_CHECK_TAG(client, kTag);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(switches);
    return client->Operations->SetDownloadSwitches(client->Object, name, switches);
}

int PatcherClient_SetDownloadActive(PatcherClient *client, const char *name, int flag) {
    ZYL_CHECK_TAG(client, kTag);
    ZYL_CHECK_PTR(name);
    return client->Operations->SetDownloadActive(client->Object, name, flag);
}

int ServerOptions_SetDefaults(ServerOptions *options) {
    ZYL_CHECK_PTR(options);
    memset(options, 0, sizeof(*options));
    options->AllowBitBase = 1;
    options->AllowWebBase = 1;
    options->PieceOrder = 2;
    options->ReliableReserveMaxPieces = 1;
    return 1;
}

int PatcherClient_GetObject(PatcherClient *client, const PatcherClientOperations *operations,
                            void **object) {
    ZYL_CHECK_TAG(client, kTag);
    ZYL_CHECK_PTR(object);
    *object = client->Operations == operations ? client->Object : nullptr;
    return *object != nullptr;
}
