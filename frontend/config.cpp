// Reads "launcher.config.xml" with TinyXML: sections under the root, element
// names compared ignoring case, empty elements skipped, unknown ones ignored.
#include "frontend/config.h"

#include "core/zyl.h"
#include "frontend/frontendlog.h"

#include <tinyxml.h>

void CConfig::Reset() {
    // Plain data fields: the copy keeps this object's own vtable pointer.
    *this = CConfig();
}

namespace {

int NameIs(const TiXmlElement *element, const char *name) {
    return Zyl_StrEqualNoCase(element->Value(), name);
}

// The element's text, or null when it has none (such elements are skipped).
const char *TextOf(const TiXmlElement *element) {
    const char *text = element->GetText();
    return text != nullptr && text[0] != 0 ? text : nullptr;
}

int32_t NotNegative(int32_t value) {
    return value < 0 ? 0 : value;
}

// "1"/"0", "TRUE"/"FALSE", "YES"/"NO", "ON"/"OFF" in any case; other texts
// give fallback.
int32_t BoolOr(const char *text, int32_t fallback) {
    int value = 0;
    return Zyl_ParseBool(text, &value, fallback) == 1 ? value : fallback;
}

void ReadLauncher(CConfig *config, const TiXmlElement *section) {
    for (const TiXmlElement *e = section->FirstChildElement(); e; e = e->NextSiblingElement()) {
        const char *text = TextOf(e);
        if (text == nullptr)
            continue;
        if (NameIs(e, "PackageName"))
            Zyl_StrCopy(config->Launcher.PackageName, text, CONFIG_TEXT_SIZE);
        else if (NameIs(e, "Url"))
            Zyl_StrCopy(config->Launcher.Url, text, CONFIG_TEXT_SIZE);
        else if (NameIs(e, "AppName"))
            Zyl_StrCopy(config->AppName, text, CONFIG_TEXT_SIZE);
        else if (NameIs(e, "AppRegistryPath"))
            Zyl_StrCopy(config->AppRegistryPath, text, CONFIG_TEXT_SIZE);
        else if (NameIs(e, "GlobalSettingsUrl"))
            Zyl_StrCopy(config->GlobalSettingsUrl, text, CONFIG_TEXT_SIZE);
        else if (NameIs(e, "ConfigureFirewall"))
            config->ConfigureFirewall = BoolOr(text, 1);
        else if (NameIs(e, "MinimizeToTray"))
            config->MinimizeToTray = BoolOr(text, 1);
        else if (NameIs(e, "DisplayEULA"))
            config->DisplayEULA = BoolOr(text, 1);
        else if (NameIs(e, "OptionalPatchDownloadDefault"))
            config->OptionalPatchDownloadDefault =
                Zyl_StrEqualNoCase(text, "RESUME")     ? CONFIG_PLAY_RESUME
                : Zyl_StrEqualNoCase(text, "CONTINUE") ? CONFIG_PLAY_CONTINUE
                                                       : CONFIG_PLAY_CLOSE;
        else if (NameIs(e, "MiniDumpType"))
            config->MiniDumpType = Zyl_StrEqualNoCase(text, "Full") ? 0 : 1;
    }
}

void ReadEvents(CConfig *config, const TiXmlElement *section) {
    for (const TiXmlElement *e = section->FirstChildElement(); e; e = e->NextSiblingElement()) {
        if (!NameIs(e, "OnPlay"))
            continue;
        for (const TiXmlElement *c = e->FirstChildElement(); c; c = c->NextSiblingElement()) {
            const char *text = TextOf(c);
            if (text != nullptr && NameIs(c, "RelativePath")) {
                Zyl_StrCopy(config->OnPlayRelativePath, text, CONFIG_TEXT_SIZE);
                Frontend_SlashPath(config->OnPlayRelativePath);
            }
        }
    }
}

void ReadPorts(CConfig *config, const TiXmlElement *section) {
    for (const TiXmlElement *e = section->FirstChildElement(); e; e = e->NextSiblingElement()) {
        const char *text = TextOf(e);
        if (text == nullptr)
            continue;
        if (NameIs(e, "RandomPortMin"))
            config->RandomPortMin = NotNegative(Frontend_ParseInt32(text));
        else if (NameIs(e, "RandomPortMax"))
            config->RandomPortMax = NotNegative(Frontend_ParseInt32(text));
    }
}

void ReadRate(CConfigRate *rate, const TiXmlElement *element) {
    for (const TiXmlElement *c = element->FirstChildElement(); c; c = c->NextSiblingElement()) {
        const char *text = TextOf(c);
        if (text == nullptr)
            continue;
        if (NameIs(c, "Default"))
            rate->Default = Frontend_ParseInt64(text);
        else if (NameIs(c, "Max")) {
            // A negative bound would make every rate negative: it reads as 0.
            int64_t max = Frontend_ParseInt64(text);
            rate->Max = max < 0 ? 0 : max;
        }
    }
}

void ReadRateLimit(CConfig *config, const TiXmlElement *section) {
    for (const TiXmlElement *e = section->FirstChildElement(); e; e = e->NextSiblingElement()) {
        if (NameIs(e, "UploadRate"))
            ReadRate(&config->UploadRate, e);
        else if (NameIs(e, "DownloadRate"))
            ReadRate(&config->DownloadRate, e);
        else if (NameIs(e, "RateLimitEnabled") && TextOf(e) != nullptr)
            config->RateLimitEnabled = BoolOr(TextOf(e), config->RateLimitEnabled);
    }
}

// "red,green,blue"; missing pieces stay 0.
void ReadColor(CConfig *config, const char *text) {
    for (int i = 0; i < 3; i++) {
        config->TransparencyColor[i] = Frontend_ParseInt32(text);
        while (*text != 0 && *text != ',')
            text++;
        if (*text == 0)
            return;
        text++;
    }
}

void ReadLayout(CConfig *config, const TiXmlElement *section) {
    for (const TiXmlElement *e = section->FirstChildElement(); e; e = e->NextSiblingElement()) {
        const char *text = TextOf(e);
        if (text == nullptr)
            continue;
        if (NameIs(e, "Url"))
            Zyl_StrCopy(config->LayoutUrl, text, CONFIG_TEXT_SIZE);
        else if (NameIs(e, "Width"))
            config->LayoutWidth = NotNegative(Frontend_ParseInt32(text));
        else if (NameIs(e, "Height"))
            config->LayoutHeight = NotNegative(Frontend_ParseInt32(text));
        else if (NameIs(e, "FrameBitmap")) {
            Zyl_StrCopy(config->FrameBitmap, text, CONFIG_TEXT_SIZE);
            Frontend_SlashPath(config->FrameBitmap);
        } else if (NameIs(e, "TransparencyColor"))
            ReadColor(config, text);
    }
}

void ReadUpdater(CConfig *config, const TiXmlElement *section) {
    CUpdaterInfo &updater = config->Updater;
    for (const TiXmlElement *e = section->FirstChildElement(); e; e = e->NextSiblingElement()) {
        const char *text = TextOf(e);
        if (text == nullptr)
            continue;
        if (NameIs(e, "Mode"))
            updater.Mode = Zyl_StrEqualNoCase(text, "Patcher") ? CONFIG_MODE_PACKAGE_LIST
                                                               : CONFIG_MODE_DOWNLOAD;
        else if (NameIs(e, "Target") || NameIs(e, "Url"))
            Zyl_StrCopy(updater.Target, text, CONFIG_TEXT_SIZE);
        else if (NameIs(e, "OutputPath")) {
            Zyl_StrCopy(updater.OutputPath, text, CONFIG_TEXT_SIZE);
            Frontend_SlashPath(updater.OutputPath);
        } else if (NameIs(e, "AuthorizationUrl"))
            Zyl_StrCopy(updater.AuthorizationUrl, text, CONFIG_TEXT_SIZE);
    }
}

} // namespace

int CConfig::Read(const char *path) {
    Reset();
    TiXmlDocument document;
    if (!document.LoadFile(path, TIXML_ENCODING_UTF8)) {
        Frontend_Log(FRONTEND_LOG_WARNING, "CConfig::Read() unable to load [%s] (%s)", path,
                     document.ErrorDesc());
        return 0;
    }
    const TiXmlElement *root = document.RootElement();
    if (root == nullptr) {
        Frontend_Log(FRONTEND_LOG_WARNING, "CConfig::Read() no root element in [%s]", path);
        return 0;
    }
    for (const TiXmlElement *s = root->FirstChildElement(); s; s = s->NextSiblingElement()) {
        if (NameIs(s, "Launcher"))
            ReadLauncher(this, s);
        else if (NameIs(s, "Events"))
            ReadEvents(this, s);
        else if (NameIs(s, "Ports"))
            ReadPorts(this, s);
        else if (NameIs(s, "RateLimit"))
            ReadRateLimit(this, s);
        else if (NameIs(s, "LayoutInfo"))
            ReadLayout(this, s);
        else if (NameIs(s, "Updater") || NameIs(s, "PackageList"))
            ReadUpdater(this, s);
    }
    return 1;
}
