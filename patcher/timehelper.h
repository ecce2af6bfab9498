// Dates of HTTP replies and the clock on the one minute scale of the core
// runtime (Zyl_DateToMinutes): file times, reply dates and now are compared as
// minutes, so every value here goes through that scale.
#pragma once

#include <cstdint>
#include <ctime>

// The current UTC time in minutes (Zyl_DateToMinutes of the broken-down UTC
// time). Returns 1.
int TimeHelper_NowMinutes(int32_t *minutes);
// A time in seconds since the epoch (a file's modification time) on the same
// minute scale, UTC. Returns 1; 0 with 0 when the time cannot be broken down.
int TimeHelper_UnixToMinutes(time_t seconds, int32_t *minutes);
// Reads an HTTP date in the RFC 1123 ("Sun, 06 Nov 1994 08:49:37 GMT"), RFC
// 850 ("Sunday, 06-Nov-94 08:49:37 GMT") or asctime ("Sun Nov  6 08:49:37
// 1994") form: at most 10 tokens split at blanks, commas, hyphens and colons,
// exactly 7 or 8 of them. Month 0-11 ("Jan" to "Dec", any case), year as in
// struct tm (1994 and 94 give 94, 2026 gives 126, 0-69 mean 2000-2069).
// Returns 1 with every output set; 0 with every output 0 for an empty text, a
// token count other than 7 or 8, an unknown month, a field that is not a
// decimal number or a field out of range (day 1-31, hour 0-23, minute 0-59,
// second 0-60, a year before 1970).
int TimeHelper_ParseHttpDate(int *minute, int *second, int *day, int *month, const char *text,
                             int *hour, int *year);
// The date's minutes on the scale above. Returns 1; 0 (0) when it does not parse.
int TimeHelper_HttpDateToMinutes(const char *text, int32_t *minutes);
