// Turns links found in documents (HTML pages, UPnP descriptions) into absolute
// URLs against a base URL, with its own cleaning and path normalising rules.
#pragma once

enum { URL_TEXT_SIZE = 2048, URL_HOST_SIZE = 320, URL_SCHEME_SIZE = 16 };

struct UrlStruct {
    const char *Tag;
    int Trace;         // 0: the trace lines are never written
    int StripFragment; // 1: a link is cut at "#"
    int SpaceAsPlus;   // 0: a blank becomes %20, 1: "+"
    char Scheme[URL_SCHEME_SIZE];
    char Base[URL_TEXT_SIZE]; // directory URL of the base, ends with "/"
    char Host[URL_HOST_SIZE]; // host part of the base (with port)
    char File[URL_TEXT_SIZE]; // last segment of the base path
};

// A new object after Url_Reset into *url; returns 1.
int Url_Create(UrlStruct **url);
// Frees the object and clears *url; accepts null. Returns 1.
int Url_Destroy(UrlStruct **url);
// Base "/", scheme "http", fragments stripped, blanks as %20; returns 1.
int Url_Reset(UrlStruct *url);
// Sets the base URL that links are resolved against; returns 1.
int Url_SetBase(UrlStruct *url, const char *base);
// Resolves `link` against the base into `buffer` (`size` bytes). Returns 1 with
// the absolute URL (an empty text for a link that names no host, such as
// "///x"), or 0 with an empty buffer when the link is refused (empty,
// "javascript:") or the result does not fit.
int Url_MakeAbsolute(UrlStruct *url, const char *link, char *buffer, int size);
// Cleans the path of a URL in place: drops ";" parameters, "./" segments and
// resolves "../" (never above the path's start); the query is kept. Returns 1.
int Url_Normalize(UrlStruct *url, char *text, int size);
