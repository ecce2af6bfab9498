// In-place text helpers: quote removal, shifting and replace-all within a
// caller's buffer. Never writes past the given size.
#pragma once

// Removes the run of '"' at the start of text. Returns 1.
int StrHlpr_StripLeadingQuotes(char *text);
// Removes every '"' within the first 1,024 characters. Returns 1.
int StrHlpr_RemoveQuotes(char *text);
// Deletes the first n characters (n is limited to the length). Returns 1; 0 when
// the text is empty or n < 1 (text unchanged).
int StrHlpr_ShiftLeft(char *text, int n);
// Moves every character after the first, with the NUL, n places right and blanks
// the places they left. Returns 1; 0 when the text is empty, n < 1 or
// length + n + 1 exceeds size (text unchanged).
int StrHlpr_ShiftRight(char *text, int n, int size);
// Replaces every occurrence of `find` (case-sensitive, left to right, resuming
// after each inserted replacement) within the buffer size. Returns 1; 0 when find
// or the text is empty, or when a longer replacement would not fit (the
// replacements made so far stay).
int StrHlpr_ReplaceAll(char *text, const char *find, const char *replacement, int size);
