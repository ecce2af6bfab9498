// Reads the language module with TinyXML: every <String id="N"> under the root,
// the id in decimal (1 to 65535), the text as UTF-8; later duplicates win.
#include "frontend/language.h"

#include "frontend/frontendlog.h"

#include <tinyxml.h>

std::string CLanguageModule::FileNameFor(const char *code) {
    return std::string("launcher.lang-") + code + ".xml";
}

int CLanguageModule::Load(const char *path) {
    Free();
    TiXmlDocument document;
    if (!document.LoadFile(path, TIXML_ENCODING_UTF8)) {
        Frontend_Log(FRONTEND_LOG_WARNING, "CLanguageModule::Load() [%s] fails: %s", path,
                     document.ErrorDesc());
        return 0;
    }
    const TiXmlElement *root = document.RootElement();
    if (root == nullptr) {
        Frontend_Log(FRONTEND_LOG_WARNING, "CLanguageModule::Load() [%s] has no root", path);
        return 0;
    }
    for (const TiXmlElement *e = root->FirstChildElement("String"); e;
         e = e->NextSiblingElement("String")) {
        const char *id = e->Attribute("id");
        if (id == nullptr)
            continue;
        int64_t number = Frontend_ParseInt64(id);
        if (number < 1 || number > 65535)
            continue;
        const char *text = e->GetText();
        char copy[LANGUAGE_TEXT_SIZE];
        Frontend_CopyUtf8(copy, text != nullptr ? text : "", sizeof(copy));
        Strings[static_cast<int>(number)] = copy;
    }
    Loaded = 1;
    return 1;
}

const char *CLanguageModule::Get(int id) const {
    auto found = Strings.find(id);
    return found == Strings.end() ? "" : found->second.c_str();
}

void CLanguageModule::Free() {
    Strings.clear();
    Loaded = 0;
}
