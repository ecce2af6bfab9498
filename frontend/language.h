// The front end's message strings: "launcher.lang-<code>.xml" beside the program,
// a root element holding <String id="127">text</String> elements. Loaded once at
// start-up, read on the UI thread; a string the file lacks is empty.
#pragma once

#include <cstdint>
#include <map>
#include <string>

enum {
    LANGUAGE_TEXT_SIZE = 4096, // longest string kept, bytes (cut at a character boundary)
    LANGUAGE_STRING_LOG_TITLE = 116,
    LANGUAGE_STRING_LOG_OK = 122,
    LANGUAGE_STRING_LOG_COPY = 123,
    LANGUAGE_STRING_START_FAILED = 127,
    LANGUAGE_STRING_EULA_HEADING = 134,
    LANGUAGE_STRING_EULA_DECLINE = 135,
    LANGUAGE_STRING_EULA_ACCEPT = 136,
    LANGUAGE_STRING_EULA_PROMPT = 137,
    LANGUAGE_STRING_EULA_TITLE = 138,
    LANGUAGE_STRING_NO_RIGHTS = 140,
    LANGUAGE_STRING_ENV_1 = 159,
    LANGUAGE_STRING_ENV_2 = 160,
};

class CLanguageModule {
  public:
    // The file name of the module for code: "launcher.lang-<code>.xml".
    static std::string FileNameFor(const char *code);
    // Reads the module at path, replacing what was loaded. 1 when the file was
    // read and its root holds the strings; 0 (logged, nothing kept) when it is
    // missing or not XML. Elements without a valid id are skipped.
    int Load(const char *path);
    // The string id, "" when the module lacks it.
    const char *Get(int id) const;
    int IsLoaded() const { return Loaded; }
    void Free();

  private:
    std::map<int, std::string> Strings;
    int32_t Loaded = 0;
};
