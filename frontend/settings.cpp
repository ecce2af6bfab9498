// Reads and writes "launcher.settings.xml" with TinyXML; the write goes through
// the platform's durable replacement (temporary file, fsync, rename).
#include "frontend/settings.h"

#include "core/oshelper.h"
#include "core/zyl.h"
#include "frontend/config.h"
#include "frontend/frontendlog.h"
#include "platform/durable.h"

#include <string>
#include <tinyxml.h>

int64_t CSettings_ClampRate(int64_t value, int64_t max) {
    if (value < 0)
        value = 0;
    if (max <= value)
        value = max;
    return value;
}

void CSettings::Reset(const CConfig &config) {
    P2PEnabled = 1;
    WebEnabled = 1;
    RateLimitEnabled = config.RateLimitEnabled;
    RateLimitUp = config.UploadRate.Default;
    RateLimitDown = config.DownloadRate.Default;
    EULAAccepted = 0;
    OptionalPatchDownload = config.OptionalPatchDownloadDefault;
}

void CSettings::Clamp(const CConfig &config) {
    RateLimitUp = CSettings_ClampRate(RateLimitUp, config.UploadRate.Max);
    RateLimitDown = CSettings_ClampRate(RateLimitDown, config.DownloadRate.Max);
}

int CSettings::Read(const char *path, const CConfig &config) {
    Reset(config);
    TiXmlDocument document;
    if (!document.LoadFile(path, TIXML_ENCODING_UTF8))
        return 0;
    const TiXmlElement *root = document.RootElement();
    if (root == nullptr)
        return 0;
    struct {
        const char *Name;
        int32_t *Field;
    } words[] = {{"P2PEnabled", &P2PEnabled},
                 {"WebEnabled", &WebEnabled},
                 {"RateLimitEnabled", &RateLimitEnabled},
                 {"EULAAccepted", &EULAAccepted},
                 {"OptionalPatchDownload", &OptionalPatchDownload}};
    for (const TiXmlElement *e = root->FirstChildElement(); e; e = e->NextSiblingElement()) {
        const char *text = e->GetText();
        if (text == nullptr)
            continue;
        for (auto &word : words)
            if (Zyl_StrEqualNoCase(e->Value(), word.Name))
                *word.Field = Frontend_ParseInt32(text);
        if (Zyl_StrEqualNoCase(e->Value(), "RateLimitUp"))
            RateLimitUp = CSettings_ClampRate(Frontend_ParseInt64(text), config.UploadRate.Max);
        else if (Zyl_StrEqualNoCase(e->Value(), "RateLimitDown"))
            RateLimitDown = CSettings_ClampRate(Frontend_ParseInt64(text), config.DownloadRate.Max);
    }
    return 1;
}

namespace {

void AddValue(TiXmlElement *root, const char *name, int64_t value) {
    char text[32];
    Zyl_FormatString(text, sizeof(text), "%I64d", value);
    TiXmlElement element(name);
    element.InsertEndChild(TiXmlText(text));
    root->InsertEndChild(element);
}

} // namespace

int CSettings::Write(const char *path) const {
    TiXmlDocument document;
    // The declaration names the version, without which it is not well-formed XML.
    document.InsertEndChild(TiXmlDeclaration("1.0", "", ""));
    TiXmlElement root("Config");
    AddValue(&root, "P2PEnabled", P2PEnabled);
    AddValue(&root, "WebEnabled", WebEnabled);
    AddValue(&root, "RateLimitEnabled", RateLimitEnabled);
    AddValue(&root, "RateLimitUp", RateLimitUp);
    AddValue(&root, "RateLimitDown", RateLimitDown);
    AddValue(&root, "EULAAccepted", EULAAccepted);
    AddValue(&root, "OptionalPatchDownload", OptionalPatchDownload);
    document.InsertEndChild(root);
    TiXmlPrinter printer;
    document.Accept(&printer);
    std::string text = printer.Str();
    DurableReplace replace;
    if (Durable_WriteFile(&replace, path, text.data(), (int64_t)text.size(), -1) != 1) {
        char reason[256];
        Zyl_GetErrorTextFor(replace.Error, reason, sizeof(reason));
        Frontend_Log(FRONTEND_LOG_WARNING, "CSettings::Write() %s [%s] failed: %s (%d)",
                     replace.Call, path, reason, replace.Error);
        return 0;
    }
    return 1;
}
