// Query-string helpers for the embedded web server: quote-aware tokens, name=value
// pairs and URL decoding, all bounded by the caller's buffer sizes.
#pragma once

// Copies the next token of `text` (up to the first `separator` outside double
// quotes; the quotes are dropped) into buffer, then skips all following
// separators; *consumed = characters of `text` used. Returns 1 when a token was
// found; 0 (buffer empty, *consumed 0) for an empty text or when the token does
// not fit in size - 1 characters.
int Cgi_GetToken(char *buffer, int size, char separator, const char *text, int *consumed);
// Splits `text` at the first separator into name (the whole text before it) and
// value (the rest). Both buffers hold `size` bytes. Returns 1; 0 (both empty)
// when there is no separator, the text is empty, or the name or the value does
// not fit.
int Cgi_SplitPair(char *name, char *value, int size, char separator, const char *text);
// As Cgi_SplitPair, then removes leading ' ' and '+' characters from the value.
int Cgi_SplitPairTrim(char *name, char *value, int size, char separator, const char *text);
// Decodes "%XX" (two hex digits, either case) to that byte and '+' to a blank;
// any other character, also a '%' without two hex digits, is copied. Writes at
// most size - 1 characters and a NUL. With repeat 1 the text is decoded again
// while escapes remain (at most 8 passes). Returns 1; 0 when the result was cut.
int Cgi_UrlDecode(const char *text, char *buffer, int size, int repeat);
